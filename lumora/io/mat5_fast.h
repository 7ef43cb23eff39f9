// A fast path for the common case of reading one compressed numeric variable
// from a little-endian Level 5 MAT-file: the whole zlib stream is inflated in
// one call with libdeflate (several times faster than streaming zlib) into a
// buffer the array then lives in. Anything unusual (big-endian files,
// complex or sparse data, uncompressed variables) is left to matio.
#pragma once

#include <optional>
#include <string>

#include "lumora/io/ndarray.h"

namespace lumora {

// The variable `name` as stored (column-major strides), or nothing when the
// fast path does not apply and the caller should use matio.
std::optional<NdArray> read_mat5_compressed(const std::string& path, const std::string& name);

}  // namespace lumora
