// libFuzzer target: damaged state images fed to the reader of a new
// program that takes a lobby over. Each is refused, or restored into a
// lobby that then reads back to the same bytes and serves without a fault;
// anything else aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string fault = fuzz::run_state_image(data, size);
  if (!fault.empty()) {
    std::fprintf(stderr, "state image fault: %s\n", fault.c_str());
    std::abort();
  }
  return 0;
}
