// libFuzzer target: a lobby of several clients driven through the server's
// own serving loop by a fuzzed script of connects, drops, messages, passes
// and clock ticks. Aborts when an output
// is malformed or the tables break a rule after any step.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string fault = fuzz::run_lobby_script(data, size);
  if (!fault.empty()) {
    std::fprintf(stderr, "lobby script fault: %s\n", fault.c_str());
    std::abort();
  }
  return 0;
}
