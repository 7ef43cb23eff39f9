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

// A label map's values become class ids by conversion to int64 (fractions
// truncated toward zero; 0 and negative values mean unlabelled). Values that
// have no such meaning (NaN, infinite) or become ids above kMaxClassId fail
// with a ValueError naming `path` and `variable` (empty for files whose
// label map has no variable name, such as images).
void check_label_map(const NdArray& labels, const std::string& path, const std::string& variable);

}  // namespace lumora
