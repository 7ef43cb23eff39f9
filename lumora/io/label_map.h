// Label maps as read from a file, checked before anything is sized by them:
// a container, a histogram bin or an output channel per class is made from
// the largest id, so an id of 2^63 - 1 (or 1e9) must fail here with a clear
// error, not later as a wrapped class count or a 20 GB allocation.
#pragma once

#include <cstdint>
#include <string>

#include "lumora/io/ndarray.h"

namespace lumora {

// The largest class id a label map may hold.
constexpr int64_t kMaxClassId = 65535;

// Every value of `labels` must be a whole number from 0 (unlabelled) to
// kMaxClassId: NaN, infinite, fractional, negative and larger values fail
// with a ValueError naming `path` and `variable` (empty for files whose
// label map has no variable name, such as images).
void check_label_map(const NdArray& labels, const std::string& path, const std::string& variable);

}  // namespace lumora
