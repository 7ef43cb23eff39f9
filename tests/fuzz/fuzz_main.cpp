// libFuzzer's entry point over the harness linked beside it.
#include "fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lumora::fuzz::one_input(data, size);
  return 0;
}
