// One libFuzzer target per codec check; RAVIK_FUZZ_CHECK names the check this target runs.
#include "tests/fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RAVIK_FUZZ_CHECK(data, size);
  return 0;
}
