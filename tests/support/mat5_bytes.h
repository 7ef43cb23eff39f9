// Level 5 MAT-files byte by byte, for tests that need files no writer
// produces: cut, corrupt, lying about sizes, big-endian.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace lumora::testing::mat5 {

// Element types and array classes as the format numbers them.
constexpr uint32_t kInt8 = 1, kUInt8 = 2, kInt16 = 3, kInt32 = 5, kUInt32 = 6, kSingle = 7, kDouble = 9, kInt64 = 12,
                   kUInt64 = 13, kMatrix = 14, kCompressed = 15;
constexpr uint32_t kClassCell = 1, kClassDouble = 6, kClassSingle = 7, kClassUInt8 = 9, kClassInt16 = 10,
                   kClassInt64 = 14, kClassUInt64 = 15;

// The 128-byte file header.
std::string header(bool big_endian = false);

// A 32-bit word in the file's byte order.
std::string word(uint32_t v, bool big_endian = false);

// An element: tag, payload, padding to 8 bytes.
std::string element(uint32_t type, const std::string& payload, bool big_endian = false);

// The values' bytes in the file's byte order.
template <typename T>
std::string values(const std::vector<T>& v, bool big_endian = false) {
  std::string out(v.size() * sizeof(T), '\0');
  for (size_t i = 0; i < v.size(); ++i) {
    unsigned char b[sizeof(T)];
    std::memcpy(b, &v[i], sizeof(T));
    for (size_t k = 0; k < sizeof(T); ++k) out[i * sizeof(T) + k] = static_cast<char>(big_endian ? b[sizeof(T) - 1 - k] : b[k]);
  }
  return out;
}

// A numeric matrix element: flags, dimensions, name, then `data` as the
// real part of element type `data_type` (its bytes already encoded).
struct Matrix {
  std::string name = "x";
  uint32_t array_class = kClassDouble;
  uint32_t flag_bits = 0;  // 0x0200 logical, 0x0800 complex
  std::vector<int32_t> dims = {1, 1};
  uint32_t data_type = kDouble;
  std::string data;
};
std::string matrix(const Matrix& m, bool big_endian = false);

// A matrix element (as matrix() gives it) wrapped in a compressed element.
std::string compressed(const std::string& matrix_element, bool big_endian = false);

// The zlib stream of `bytes`.
std::string zlib(const std::string& bytes);

void write_bytes(const std::string& path, const std::string& bytes);

}  // namespace lumora::testing::mat5
