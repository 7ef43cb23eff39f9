#include "lumora/io/mat5_fast.h"

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

// Level 5 data types and array classes.
constexpr uint32_t kMiInt8 = 1, kMiUInt8 = 2, kMiInt16 = 3, kMiUInt16 = 4, kMiInt32 = 5, kMiUInt32 = 6,
                   kMiSingle = 7, kMiDouble = 9, kMiInt64 = 12, kMiUInt64 = 13, kMiMatrix = 14, kMiCompressed = 15;

std::optional<DType> element_dtype(uint32_t type) {
  switch (type) {
    case kMiInt8: return DType::Int8;
    case kMiUInt8: return DType::UInt8;
    case kMiInt16: return DType::Int16;
    case kMiUInt16: return DType::UInt16;
    case kMiInt32: return DType::Int32;
    case kMiUInt32: return DType::UInt32;
    case kMiSingle: return DType::Float32;
    case kMiDouble: return DType::Float64;
    case kMiInt64: return DType::Int64;
    case kMiUInt64: return DType::UInt64;
    default: return std::nullopt;
  }
}

std::optional<DType> class_dtype(uint32_t cls) {
  switch (cls) {
    case 6: return DType::Float64;
    case 7: return DType::Float32;
    case 8: return DType::Int8;
    case 9: return DType::UInt8;
    case 10: return DType::Int16;
    case 11: return DType::UInt16;
    case 12: return DType::Int32;
    case 13: return DType::UInt32;
    case 14: return DType::Int64;
    case 15: return DType::UInt64;
    default: return std::nullopt;
  }
}

uint32_t u32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// A sub-element of an inflated matrix: regular (8-byte tag) or small (data
// packed into the tag's second word).
struct Element {
  uint32_t type = 0, size = 0;
  const uint8_t* data = nullptr;
  size_t total = 0;  // bytes including tag and padding
};

std::optional<Element> read_element(const uint8_t* p, size_t avail) {
  if (avail < 8) return std::nullopt;
  Element e;
  const uint32_t first = u32(p);
  if (first >> 16) {  // small data element
    e.type = first & 0xFFFF;
    e.size = first >> 16;
    if (e.size > 4) return std::nullopt;
    e.data = p + 4;
    e.total = 8;
    return e;
  }
  e.type = first;
  e.size = u32(p + 4);
  e.data = p + 8;
  e.total = 8 + ((static_cast<size_t>(e.size) + 7) / 8) * 8;
  if (e.total > avail && 8 + static_cast<size_t>(e.size) > avail) return std::nullopt;
  return e;
}

// Inflates the start of a compressed element: enough for the matrix header.
std::vector<uint8_t> inflate_head(const std::vector<uint8_t>& in, size_t want) {
  std::vector<uint8_t> out(want);
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return {};
  zs.next_in = const_cast<Bytef*>(in.data());
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(want);
  const int rc = inflate(&zs, Z_SYNC_FLUSH);
  out.resize(want - zs.avail_out);
  inflateEnd(&zs);
  if (rc != Z_OK && rc != Z_STREAM_END) return {};
  return out;
}

struct Header {
  std::string name;
  uint32_t matrix_bytes = 0;  // inflated size of the matrix element, tag included
};

std::optional<Header> parse_header(const uint8_t* p, size_t n) {
  if (n < 8 || u32(p) != kMiMatrix) return std::nullopt;
  Header h;
  h.matrix_bytes = u32(p + 4) + 8;
  size_t off = 8;
  for (int i = 0; i < 3; ++i) {  // flags, dims, name
    auto e = read_element(p + off, n - off);
    if (!e) return std::nullopt;
    if (i == 2) {
      if (e->type != kMiInt8 || off + (e->data - (p + off)) + e->size > n) return std::nullopt;
      h.name.assign(reinterpret_cast<const char*>(e->data), e->size);
    }
    off += e->total;
  }
  return h;
}

}  // namespace

std::optional<NdArray> read_mat5_compressed(const std::string& path, const std::string& name) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  char header[128];
  if (!in.read(header, 128) || header[126] != 'I' || header[127] != 'M') return std::nullopt;  // little-endian only
  uint16_t version;
  std::memcpy(&version, header + 124, 2);
  if (version != 0x0100) return std::nullopt;

  std::vector<uint8_t> compressed;
  uint32_t matrix_bytes = 0;
  for (;;) {
    uint8_t tag[8];
    if (!in.read(reinterpret_cast<char*>(tag), 8)) return std::nullopt;  // not found
    const uint32_t type = u32(tag), size = u32(tag + 4);
    if (type != kMiCompressed) {
      if (type == kMiMatrix) return std::nullopt;  // uncompressed variables: matio
      in.seekg(size, std::ios::cur);
      continue;
    }
    compressed.resize(size);
    if (!in.read(reinterpret_cast<char*>(compressed.data()), size)) return std::nullopt;
    auto head = inflate_head(compressed, 512);
    auto h = parse_header(head.data(), head.size());
    if (!h) return std::nullopt;
    if (h->name == name) {
      matrix_bytes = h->matrix_bytes;
      break;
    }
  }

  std::shared_ptr<uint8_t[]> buffer(new uint8_t[matrix_bytes]);
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  if (!d) return std::nullopt;
  size_t actual = 0;
  const auto rc = libdeflate_zlib_decompress(d, compressed.data(), compressed.size(), buffer.get(), matrix_bytes, &actual);
  libdeflate_free_decompressor(d);
  compressed.clear();
  compressed.shrink_to_fit();
  if (rc != LIBDEFLATE_SUCCESS || actual != matrix_bytes) return std::nullopt;

  const uint8_t* p = buffer.get();
  const size_t n = matrix_bytes;
  size_t off = 8;
  auto flags = read_element(p + off, n - off);
  if (!flags || flags->type != kMiUInt32 || flags->size < 8) return std::nullopt;
  const uint32_t flag_word = u32(flags->data);
  const uint32_t cls = flag_word & 0xFF;
  const bool complex = flag_word & 0x0800, logical = flag_word & 0x0200;
  auto dtype = class_dtype(cls);
  if (complex || !dtype) return std::nullopt;
  off += flags->total;
  auto dims_el = read_element(p + off, n - off);
  if (!dims_el || dims_el->type != kMiInt32 || dims_el->size % 4) return std::nullopt;
  std::vector<int64_t> dims;
  for (uint32_t i = 0; i < dims_el->size / 4; ++i) {
    int32_t v;
    std::memcpy(&v, dims_el->data + 4 * i, 4);
    if (v < 0) return std::nullopt;
    dims.push_back(v);
  }
  off += dims_el->total;
  auto name_el = read_element(p + off, n - off);
  if (!name_el) return std::nullopt;
  off += name_el->total;
  auto real = read_element(p + off, n - off);
  if (!real) return std::nullopt;
  auto stored = element_dtype(real->type);
  if (!stored) return std::nullopt;

  int64_t count = 1;
  for (auto v : dims) count *= v;
  if (static_cast<size_t>(count) * dtype_size(*stored) != real->size) return std::nullopt;
  if (real->data + real->size > p + n) return std::nullopt;

  NdArray a;
  a.dtype = logical ? DType::Bool : *dtype;
  a.shape = dims;
  a.strides.assign(dims.size(), 1);
  for (size_t i = 1; i < dims.size(); ++i) a.strides[i] = a.strides[i - 1] * std::max<int64_t>(dims[i - 1], 1);
  if (*stored == *dtype && !logical) {
    a.data = const_cast<uint8_t*>(real->data);
    a.owner = std::shared_ptr<void>(buffer, buffer.get());
    return a;
  }
  // Stored in a narrower type than its class (MATLAB saves space that way):
  // widen into an array of the class's type.
  NdArray narrow;
  narrow.dtype = *stored;
  narrow.shape = {count};
  narrow.strides = {1};
  narrow.data = const_cast<uint8_t*>(real->data);
  narrow.owner = std::shared_ptr<void>(buffer, buffer.get());
  NdArray wide = NdArray::zeros(a.dtype, {count});
  auto values = a.dtype == DType::Bool ? narrow.to_int64().ne(0) : narrow.to_float64();
  wide.raw().copy_(values.to(wide.raw().scalar_type()));
  if (*dtype == DType::Int64 || *dtype == DType::UInt64 || *dtype == DType::UInt32)
    wide.raw().copy_(narrow.to_int64().to(wide.raw().scalar_type()));  // exact for wide integers
  a.data = wide.data;
  a.owner = wide.owner;
  return a;
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
