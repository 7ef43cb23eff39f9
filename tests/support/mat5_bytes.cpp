#include "support/mat5_bytes.h"

#include <zlib.h>

#include <fstream>
#include <stdexcept>

namespace lumora::testing::mat5 {

std::string header(bool big_endian) {
  std::string h = "MATLAB 5.0 MAT-file, Platform: test, Created by: lumora tests";
  h.resize(116, ' ');
  h.append(8, '\0');
  h += big_endian ? std::string("\x01\x00MI", 4) : std::string("\x00\x01IM", 4);
  return h;
}

std::string word(uint32_t v, bool big_endian) { return values<uint32_t>({v}, big_endian); }

std::string element(uint32_t type, const std::string& payload, bool big_endian) {
  std::string out = word(type, big_endian) + word(static_cast<uint32_t>(payload.size()), big_endian) + payload;
  out.append((8 - payload.size() % 8) % 8, '\0');
  return out;
}

std::string matrix(const Matrix& m, bool big_endian) {
  std::string body = element(kUInt32, word(m.array_class | m.flag_bits, big_endian) + word(0, big_endian), big_endian);
  std::string dims;
  for (int32_t d : m.dims) dims += word(static_cast<uint32_t>(d), big_endian);
  body += element(kInt32, dims, big_endian);
  body += element(kInt8, m.name, big_endian);
  body += element(m.data_type, m.data, big_endian);
  return word(kMatrix, big_endian) + word(static_cast<uint32_t>(body.size()), big_endian) + body;
}

std::string zlib(const std::string& bytes) {
  uLongf n = compressBound(static_cast<uLong>(bytes.size()));
  std::string out(n, '\0');
  if (compress(reinterpret_cast<Bytef*>(out.data()), &n, reinterpret_cast<const Bytef*>(bytes.data()),
               static_cast<uLong>(bytes.size())) != Z_OK)
    throw std::runtime_error("zlib compress failed");
  out.resize(n);
  return out;
}

std::string compressed(const std::string& matrix_element, bool big_endian) {
  const std::string stream = zlib(matrix_element);
  return word(kCompressed, big_endian) + word(static_cast<uint32_t>(stream.size()), big_endian) + stream;
}

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace lumora::testing::mat5
