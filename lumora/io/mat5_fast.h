// Compressed Level 5 variables in one pass with libdeflate (several times
// faster than streaming zlib), reading and writing. Reading lives in
// mat5_reader.h; read_mat5_compressed is its compressed-only entry.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "lumora/io/ndarray.h"

namespace lumora {

// The compressed numeric variable `name` of a little-endian Level 5 file as
// stored (column-major strides), or nothing when the file has no such
// variable. A damaged file or variable is an error, never nothing.
std::optional<NdArray> read_mat5_compressed(const std::string& path, const std::string& name);

// The writing counterpart: the 128-byte Level 5 file header, then one
// variable as a compressed element whose zlib stream libdeflate produces in
// one pass (several times faster than zlib's deflate at the same level).
// A column-major array whose bytes need no padding is compressed where it
// lies; others are copied once. Errors name `path`.
void write_mat5_header(std::FILE* out, const std::string& path);
void write_mat5_compressed(std::FILE* out, const std::string& path, const std::string& name, const NdArray& array);

}  // namespace lumora
