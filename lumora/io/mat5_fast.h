// A fast path for the common case of reading one compressed numeric variable
// from a little-endian Level 5 MAT-file: the whole zlib stream is inflated in
// one call with libdeflate (several times faster than streaming zlib) into a
// buffer the array then lives in. Anything unusual (big-endian files,
// complex or sparse data, uncompressed variables) is left to matio.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "lumora/io/ndarray.h"

namespace lumora {

// The variable `name` as stored (column-major strides), or nothing when the
// fast path does not apply and the caller should use matio.
std::optional<NdArray> read_mat5_compressed(const std::string& path, const std::string& name);

// The writing counterpart: the 128-byte Level 5 file header, then one
// variable as a compressed element whose zlib stream libdeflate produces in
// one pass (several times faster than zlib's deflate at the same level).
// A column-major array whose bytes need no padding is compressed where it
// lies; others are copied once. Errors name `path`.
void write_mat5_header(std::FILE* out, const std::string& path);
void write_mat5_compressed(std::FILE* out, const std::string& path, const std::string& name, const NdArray& array);

}  // namespace lumora
