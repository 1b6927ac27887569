// libFuzzer target: the bytes a trusted proxy's connection sends, through the
// PROXY header reader after every byte. Aborts when a header read whole
// breaks its version's bounds, or the reading of a beginning of the bytes
// disagrees with that of all of them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string fault = fuzz::run_proxy_header(data, size);
  if (!fault.empty()) {
    std::fprintf(stderr, "proxy header fault: %s\n", fault.c_str());
    std::abort();
  }
  return 0;
}
