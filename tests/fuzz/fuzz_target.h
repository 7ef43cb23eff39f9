// One fuzz harness is one function over one input. fuzz_main.cpp hands it
// to libFuzzer (-DLUMORA_FUZZ=ON); replay_test.cpp feeds it every stored
// input (seed corpus and regressions) in the normal test build.
//
// The function returns normally when the input loads or fails with one of
// the project's errors (lumora::Error); anything else escapes (another
// exception, a crash, a sanitizer report) and is a finding.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumora::fuzz {

void one_input(const uint8_t* data, size_t size);

}  // namespace lumora::fuzz
