#include "lumora/io/mat5_fast.h"

#include "lumora/io/mat5_reader.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <fstream>
#include <memory>
#include <vector>

namespace lumora {
namespace {

// Level 5 data types.
constexpr uint32_t kMiInt8 = 1, kMiUInt8 = 2, kMiInt16 = 3, kMiUInt16 = 4, kMiInt32 = 5, kMiUInt32 = 6,
                   kMiSingle = 7, kMiDouble = 9, kMiInt64 = 12, kMiUInt64 = 13, kMiMatrix = 14, kMiCompressed = 15;

}  // namespace

std::optional<NdArray> read_mat5_compressed(const std::string& path, const std::string& name) {
  uint8_t header[128] = {};
  {
    std::ifstream in(path, std::ios::binary);
    if (!in || !in.read(reinterpret_cast<char*>(header), 128)) return std::nullopt;
  }
  if (!mat5::is_level5(header, 128) || header[126] != 'I') return std::nullopt;  // little-endian only
  const mat5::File file(path);
  for (const auto& e : file.entries()) {
    if (e.name != name) continue;
    if (!e.compressed || !e.numeric()) return std::nullopt;
    return file.load(e);
  }
  return std::nullopt;
}

}  // namespace lumora

// ---------------------------------------------------------------- writing

namespace lumora {
namespace {

void put_u32(std::string& out, uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); }

void pad8(std::string& out) { out.append((8 - out.size() % 8) % 8, '\0'); }

struct WriteClass {
  uint32_t array_class, data_type;
};

WriteClass write_class(DType dtype) {
  switch (dtype) {
    case DType::Float64: return {6, kMiDouble};
    case DType::Float32: return {7, kMiSingle};
    case DType::Int8: return {8, kMiInt8};
    case DType::UInt8: return {9, kMiUInt8};
    case DType::Int16: return {10, kMiInt16};
    case DType::UInt16: return {11, kMiUInt16};
    case DType::Int32: return {12, kMiInt32};
    case DType::UInt32: return {13, kMiUInt32};
    case DType::Int64: return {14, kMiInt64};
    case DType::UInt64: return {15, kMiUInt64};
    case DType::Bool: return {9, kMiUInt8};  // uint8 with the logical flag
  }
  return {9, kMiUInt8};
}

// Big-endian 32-bit value, as the zlib trailer stores its checksum.
void put_be32(std::string& out, uint32_t v) {
  const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                     static_cast<char>(v)};
  out.append(b, 4);
}

struct CompressorDeleter {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

void write_all(std::FILE* out, const void* data, size_t n, const std::string& path) {
  if (n && std::fwrite(data, 1, n, out) != n) throw std::runtime_error("cannot write '" + path + "'");
}

}  // namespace

void write_mat5_header(std::FILE* out, const std::string& path) {
  std::string text = "MATLAB 5.0 MAT-file, Platform: posix, Created by: lumora";
  text.resize(116, ' ');
  text.append(8, '\0');  // no subsystem data
  const uint16_t version = 0x0100;
  text.append(reinterpret_cast<const char*>(&version), 2);
  text += "IM";
  write_all(out, text.data(), text.size(), path);
}

void write_mat5_compressed(std::FILE* out, const std::string& path, const std::string& name, const NdArray& array) {
  // MATLAB stores column-major: reversing the axes of a row-major view gives
  // the byte order, and an array already laid out that way is used in place.
  std::vector<int64_t> perm(array.shape.size());
  for (size_t i = 0; i < perm.size(); ++i) perm[i] = static_cast<int64_t>(perm.size() - 1 - i);
  const torch::Tensor column_major = array.raw().permute(perm);
  std::vector<int64_t> dims = array.shape;
  if (dims.size() == 1) dims.push_back(1);  // MAT-files have at least two dimensions
  if (dims.empty()) dims = {1, 1};

  const uint64_t nbytes = static_cast<uint64_t>(array.numel()) * dtype_size(array.dtype);
  const WriteClass wc = write_class(array.dtype);
  std::string head;
  head.reserve(256);
  put_u32(head, kMiMatrix);
  put_u32(head, 0);  // matrix size, set below
  put_u32(head, kMiUInt32);
  put_u32(head, 8);
  put_u32(head, wc.array_class | (array.dtype == DType::Bool ? 0x0200u : 0u));
  put_u32(head, 0);
  put_u32(head, kMiInt32);
  put_u32(head, static_cast<uint32_t>(4 * dims.size()));
  for (int64_t d : dims) {
    if (d > INT32_MAX) throw std::runtime_error("variable '" + name + "' is too large for a Level 5 MAT-file");
    put_u32(head, static_cast<uint32_t>(d));
  }
  pad8(head);
  if (!name.empty() && name.size() <= 4) {  // small data element
    put_u32(head, (static_cast<uint32_t>(name.size()) << 16) | kMiInt8);
    std::string packed = name;
    packed.resize(4, '\0');
    head += packed;
  } else {
    put_u32(head, kMiInt8);
    put_u32(head, static_cast<uint32_t>(name.size()));
    head += name;
    pad8(head);
  }
  put_u32(head, wc.data_type);
  const size_t pad = static_cast<size_t>((8 - nbytes % 8) % 8);
  const uint64_t matrix_bytes = head.size() + 4 + nbytes + pad - 8;
  if (nbytes > UINT32_MAX || matrix_bytes > UINT32_MAX)
    throw std::runtime_error("variable '" + name + "' holds " + std::to_string(nbytes) +
                             " bytes, more than a Level 5 MAT-file can store (4 GiB)");
  put_u32(head, static_cast<uint32_t>(nbytes));
  const uint32_t mb = static_cast<uint32_t>(matrix_bytes);
  std::memcpy(&head[4], &mb, 4);

  std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(libdeflate_alloc_compressor(6));
  if (!compressor) throw std::runtime_error("cannot compress '" + path + "': out of memory");

  std::string stream;  // the zlib stream, when built in memory
  std::unique_ptr<uint8_t[]> body;
  size_t body_size = 0;
  if (column_major.is_contiguous() && pad == 0 && nbytes > 0) {
    // In place: zlib header, the matrix header as a stored (uncompressed)
    // deflate block, the data as libdeflate's raw deflate stream, then the
    // Adler-32 of everything. Stored blocks end on a byte boundary, so the
    // two deflate parts join into one valid stream.
    const auto* data = static_cast<const uint8_t*>(column_major.data_ptr());
    const size_t bound = libdeflate_deflate_compress_bound(compressor.get(), nbytes);
    body.reset(new uint8_t[bound]);
    body_size = libdeflate_deflate_compress(compressor.get(), data, nbytes, body.get(), bound);
    if (body_size == 0) throw std::runtime_error("cannot compress variable '" + name + "' for '" + path + "'");
    uLong adler = adler32(0L, Z_NULL, 0);
    adler = adler32(adler, reinterpret_cast<const Bytef*>(head.data()), static_cast<uInt>(head.size()));
    for (uint64_t off = 0; off < nbytes;) {
      const uInt n = static_cast<uInt>(std::min<uint64_t>(nbytes - off, 1u << 30));
      adler = adler32(adler, data + off, n);
      off += n;
    }
    stream = "\x78\x9c";
    stream += '\0';  // BFINAL 0, BTYPE 00 (stored)
    const uint16_t len = static_cast<uint16_t>(head.size()), nlen = static_cast<uint16_t>(~len);
    stream.append(reinterpret_cast<const char*>(&len), 2);
    stream.append(reinterpret_cast<const char*>(&nlen), 2);
    stream += head;
    std::string trailer;
    put_be32(trailer, static_cast<uint32_t>(adler));
    const uint64_t total = stream.size() + body_size + trailer.size();
    if (total > UINT32_MAX) throw std::runtime_error("variable '" + name + "' is too large for a Level 5 MAT-file");
    std::string tag;
    put_u32(tag, kMiCompressed);
    put_u32(tag, static_cast<uint32_t>(total));
    write_all(out, tag.data(), tag.size(), path);
    write_all(out, stream.data(), stream.size(), path);
    write_all(out, body.get(), body_size, path);
    write_all(out, trailer.data(), trailer.size(), path);
    return;
  }

  // Otherwise one buffer holds the whole matrix element.
  const size_t total = head.size() + nbytes + pad;
  std::unique_ptr<uint8_t[]> element(new uint8_t[total]);
  std::memcpy(element.get(), head.data(), head.size());
  if (nbytes > 0) {
    auto target = torch::from_blob(element.get() + head.size(), column_major.sizes(),
                                   torch::TensorOptions().dtype(column_major.scalar_type()));
    target.copy_(column_major);
  }
  std::memset(element.get() + head.size() + nbytes, 0, pad);
  const size_t bound = libdeflate_zlib_compress_bound(compressor.get(), total);
  body.reset(new uint8_t[bound]);
  body_size = libdeflate_zlib_compress(compressor.get(), element.get(), total, body.get(), bound);
  if (body_size == 0 || body_size > UINT32_MAX)
    throw std::runtime_error("cannot compress variable '" + name + "' for '" + path + "'");
  element.reset();
  std::string tag;
  put_u32(tag, kMiCompressed);
  put_u32(tag, static_cast<uint32_t>(body_size));
  write_all(out, tag.data(), tag.size(), path);
  write_all(out, body.get(), body_size, path);
}

}  // namespace lumora
