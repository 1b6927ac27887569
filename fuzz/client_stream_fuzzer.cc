// libFuzzer target: one client's bytes, cut into fuzzed chunks, through the
// server's own serving loop on an in-memory lobby. Aborts when an
// output is malformed, the tables break a rule, or the replies and tables
// differ from those of the same bytes in whole receives.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string fault = fuzz::run_client_stream(data, size);
  if (!fault.empty()) {
    std::fprintf(stderr, "client stream fault: %s\n", fault.c_str());
    std::abort();
  }
  return 0;
}
