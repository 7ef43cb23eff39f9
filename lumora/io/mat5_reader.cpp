#include "lumora/io/mat5_reader.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "lumora/core/errors.h"
#include "lumora/core/format.h"

namespace lumora::mat5 {
namespace {

// Level 5 element types.
constexpr uint32_t kMiInt8 = 1, kMiUInt8 = 2, kMiInt16 = 3, kMiUInt16 = 4, kMiInt32 = 5, kMiUInt32 = 6,
                   kMiSingle = 7, kMiDouble = 9, kMiInt64 = 12, kMiUInt64 = 13, kMiMatrix = 14, kMiCompressed = 15,
                   kMiUtf8 = 16;
constexpr uint32_t kOpaqueClass = 17;

constexpr bool kHostBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

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

uint32_t load_u32(const uint8_t* p, bool swap) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return swap ? __builtin_bswap32(v) : v;
}

uint64_t round8(uint64_t n) { return (n + 7) / 8 * 8; }

std::string dims_text(const std::vector<int64_t>& dims) {
  std::string s;
  for (size_t i = 0; i < dims.size(); ++i) s += (i ? " x " : "") + std::to_string(dims[i]);
  return s.empty() ? "()" : s;
}

// Whole reads at an offset; false when the file ends first.
bool read_at(int fd, uint64_t offset, void* out, uint64_t n) {
  auto* p = static_cast<uint8_t*>(out);
  while (n > 0) {
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(n, 1u << 30));
    const ssize_t got = ::pread(fd, p, chunk, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    offset += static_cast<uint64_t>(got);
    n -= static_cast<uint64_t>(got);
  }
  return true;
}

// ------------------------------------------------------------ matrix headers

// What a matrix element's header states. `dims` are the raw stored values,
// checked by the caller once the name is known.
struct Header {
  uint32_t array_class = 0;
  bool logical = false, complex = false;
  std::vector<int64_t> dims;
  std::string name;
  bool has_data = false;  // numeric classes: the real part's tag was read
  uint32_t data_type = 0;
  uint64_t data_offset = 0, data_bytes = 0;
};

// Parsing a header from the first `avail` bytes of a matrix element's
// content of `content` bytes: done, needs more bytes, or broken.
struct Parse {
  enum Kind { Done, Need, Bad } kind = Done;
  uint64_t need = 0;
  std::string problem;  // Bad: what is wrong, as the end of a sentence
  Header header;
};

struct Sub {
  uint32_t type = 0;
  uint64_t size = 0, data = 0, next = 0;  // offsets within the content
};

class HeaderParser {
 public:
  HeaderParser(const uint8_t* p, uint64_t avail, uint64_t content, bool swap)
      : p_(p), avail_(avail), content_(content), swap_(swap) {}

  Parse run() {
    Parse out;
    Header& h = out.header;
    uint64_t off = 0;
    Sub flags;
    if (!sub(off, flags, out)) return out;
    if (flags.type != kMiUInt32 || flags.size < 8 || flags.size > 64) return bad(out, "its array flags are malformed");
    if (!have(flags.data + 4, out)) return out;
    const uint32_t word = load_u32(p_ + flags.data, swap_);
    h.array_class = word & 0xFF;
    h.complex = word & 0x0800;
    h.logical = word & 0x0200;
    off = flags.next;

    if (h.array_class != kOpaqueClass) {  // objects carry no dimensions
      Sub dims;
      if (!sub(off, dims, out)) return out;
      if (dims.type != kMiInt32 || dims.size % 4 != 0) return bad(out, "its dimensions are malformed");
      if (dims.size / 4 > kMaxDimensions)
        return bad(out, "it states " + thousands(static_cast<int64_t>(dims.size / 4)) + " dimensions");
      if (!have(dims.data + dims.size, out)) return out;
      for (uint64_t i = 0; i < dims.size / 4; ++i)
        h.dims.push_back(static_cast<int32_t>(load_u32(p_ + dims.data + 4 * i, swap_)));
      off = dims.next;
    }

    Sub name;
    if (!sub(off, name, out)) return out;
    if (name.type != kMiInt8 && name.type != kMiUInt8 && name.type != kMiUtf8)
      return bad(out, "its name is malformed");
    if (name.size > kMaxNameBytes)
      return bad(out, "it states a name of " + thousands(static_cast<int64_t>(name.size)) + " bytes");
    if (!have(name.data + name.size, out)) return out;
    h.name.assign(reinterpret_cast<const char*>(p_ + name.data), static_cast<size_t>(name.size));
    h.name = h.name.c_str();  // as C strings read it: up to a NUL
    off = name.next;

    if (class_dtype(h.array_class)) {
      if (off == content_) {  // no real part at all: only an empty array may do that
        h.has_data = true;
        h.data_type = kMiDouble;
        h.data_offset = off;
        h.data_bytes = 0;
        return out;
      }
      Sub real;
      if (!sub(off, real, out)) return out;
      if (!element_dtype(real.type)) return bad(out, "its data has the unknown element type " + std::to_string(real.type));
      h.has_data = true;
      h.data_type = real.type;
      h.data_offset = real.data;
      h.data_bytes = real.size;
    }
    return out;
  }

 private:
  Parse& bad(Parse& out, const std::string& problem) {
    out.kind = Parse::Bad;
    out.problem = problem;
    return out;
  }

  // The tag of the sub-element at `off`: a regular one (8-byte tag) or a
  // small one (up to 4 bytes packed into its tag). False when `out` says why not.
  bool sub(uint64_t off, Sub& s, Parse& out) {
    if (off + 8 > content_) {
      bad(out, "its header runs past the end of the variable");
      return false;
    }
    if (!have(off + 8, out)) return false;
    const uint32_t first = load_u32(p_ + off, swap_);
    if (first >> 16) {
      s.type = first & 0xFFFF;
      s.size = first >> 16;
      if (s.size > 4) {
        bad(out, "it holds a malformed small element");
        return false;
      }
      s.data = off + 4;
      s.next = off + 8;
      return true;
    }
    s.type = first;
    s.size = load_u32(p_ + off + 4, swap_);
    s.data = off + 8;
    if (s.size > content_ - s.data) {
      bad(out, "an element claims " + thousands(static_cast<int64_t>(s.size)) + " bytes but only " +
                   thousands(static_cast<int64_t>(content_ - s.data)) + " remain in the variable");
      return false;
    }
    s.next = std::min(content_, s.data + round8(s.size));
    return true;
  }

  // Whether the first `end` bytes are at hand; if not, asks for them.
  bool have(uint64_t end, Parse& out) {
    if (end <= avail_) return true;
    out.kind = Parse::Need;
    out.need = end;
    return false;
  }

  const uint8_t* p_;
  uint64_t avail_, content_;
  bool swap_;
};

// ------------------------------------------------------------ inflating

// Inflates a compressed element through zlib piece by piece, reading the
// file only as far as the output asked for needs.
class StreamInflater {
 public:
  StreamInflater(int fd, uint64_t offset, uint64_t size) : fd_(fd), in_offset_(offset), in_left_(size) {
    ok_ = inflateInit(&zs_) == Z_OK;
    if (!ok_) state_ = Corrupt, message_ = "out of memory";
  }
  ~StreamInflater() {
    if (ok_) inflateEnd(&zs_);
  }
  StreamInflater(const StreamInflater&) = delete;
  StreamInflater& operator=(const StreamInflater&) = delete;

  enum State { Going, Ended, OutOfInput, Corrupt };

  // Inflates up to n bytes into out; fewer only when the stream stops
  // (state() says why).
  size_t read(uint8_t* out, size_t n) {
    if (state_ != Going || n == 0) return 0;
    zs_.next_out = out;
    zs_.avail_out = static_cast<uInt>(n);
    while (zs_.avail_out > 0) {
      if (zs_.avail_in == 0 && in_left_ > 0) {
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(in_left_, in_.size()));
        if (!read_at(fd_, in_offset_, in_.data(), chunk)) {
          state_ = OutOfInput;
          break;
        }
        in_offset_ += chunk;
        in_left_ -= chunk;
        zs_.next_in = in_.data();
        zs_.avail_in = static_cast<uInt>(chunk);
      }
      const int rc = inflate(&zs_, Z_NO_FLUSH);
      if (rc == Z_STREAM_END) {
        state_ = Ended;
        break;
      }
      if (rc == Z_BUF_ERROR && zs_.avail_in == 0 && in_left_ == 0) {
        state_ = OutOfInput;
        break;
      }
      if (rc != Z_OK && rc != Z_BUF_ERROR) {
        state_ = Corrupt;
        message_ = zs_.msg ? zs_.msg : "error " + std::to_string(rc);
        break;
      }
    }
    const size_t got = n - zs_.avail_out;
    produced_ += got;
    return got;
  }

  State state() const { return state_; }
  const std::string& message() const { return message_; }
  uint64_t produced() const { return produced_; }

 private:
  int fd_;
  uint64_t in_offset_, in_left_;
  z_stream zs_{};
  bool ok_ = false;
  State state_ = Going;
  std::string message_;
  uint64_t produced_ = 0;
  std::vector<uint8_t> in_ = std::vector<uint8_t>(1 << 16);
};

// The start of a compressed element, grown on demand (headers only).
class HeadInflater {
 public:
  HeadInflater(int fd, uint64_t offset, uint64_t size) : stream_(fd, offset, size) {}

  // Inflates until `want` bytes are out; false when the stream cannot give them.
  bool grow(size_t want) {
    if (out_.size() >= want) return true;
    const size_t have = out_.size();
    out_.resize(want);
    out_.resize(have + stream_.read(out_.data() + have, want - have));
    return out_.size() >= want;
  }

  const std::vector<uint8_t>& out() const { return out_; }
  StreamInflater::State state() const { return stream_.state(); }
  const std::string& message() const { return stream_.message(); }

 private:
  StreamInflater stream_;
  std::vector<uint8_t> out_;
};

// Why a whole stream failed to inflate, from zlib (libdeflate only says
// "bad data"): where it stopped, and whether it ran out of input.
struct StreamFailure {
  bool truncated = false;
  uint64_t produced = 0;
  std::string message;
};

StreamFailure diagnose_stream(const uint8_t* in, uint64_t n) {
  StreamFailure f;
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) return {false, 0, "out of memory"};
  std::vector<uint8_t> scratch(1 << 16);
  uint64_t fed = 0;
  for (;;) {
    if (zs.avail_in == 0 && fed < n) {
      const uInt chunk = static_cast<uInt>(std::min<uint64_t>(n - fed, 1u << 30));
      zs.next_in = const_cast<Bytef*>(in + fed);
      zs.avail_in = chunk;
      fed += chunk;
    }
    zs.next_out = scratch.data();
    zs.avail_out = static_cast<uInt>(scratch.size());
    const int rc = inflate(&zs, Z_NO_FLUSH);
    f.produced += scratch.size() - zs.avail_out;
    if (rc == Z_STREAM_END) break;  // fine for zlib: libdeflate's objection was elsewhere
    if (rc == Z_BUF_ERROR && zs.avail_in == 0 && fed == n) {
      f.truncated = true;
      break;
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      f.message = zs.msg ? zs.msg : "error " + std::to_string(rc);
      break;
    }
  }
  inflateEnd(&zs);
  return f;
}

struct DecompressorDeleter {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

void swap_bytes(uint8_t* p, uint64_t count, size_t width) {
  switch (width) {
    case 2:
      for (uint64_t i = 0; i < count; ++i) {
        uint16_t v;
        std::memcpy(&v, p + 2 * i, 2);
        v = __builtin_bswap16(v);
        std::memcpy(p + 2 * i, &v, 2);
      }
      break;
    case 4:
      for (uint64_t i = 0; i < count; ++i) {
        uint32_t v;
        std::memcpy(&v, p + 4 * i, 4);
        v = __builtin_bswap32(v);
        std::memcpy(p + 4 * i, &v, 4);
      }
      break;
    case 8:
      for (uint64_t i = 0; i < count; ++i) {
        uint64_t v;
        std::memcpy(&v, p + 8 * i, 8);
        v = __builtin_bswap64(v);
        std::memcpy(p + 8 * i, &v, 8);
      }
      break;
    default: break;
  }
}

}  // namespace

bool is_level5(const uint8_t* header, size_t n) {
  if (n < 128) return false;
  const bool little = header[126] == 'I' && header[127] == 'M';
  const bool big = header[126] == 'M' && header[127] == 'I';
  if (!little && !big) return false;
  const uint16_t version = little ? static_cast<uint16_t>(header[124] | header[125] << 8)
                                  : static_cast<uint16_t>(header[124] << 8 | header[125]);
  return version == 0x0100;
}

bool Entry::numeric() const { return !complex && class_dtype(array_class).has_value(); }

File::File(std::string path) : path_(std::move(path)) {
  fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw RuntimeError("cannot read MAT-file '" + path_ + "': " + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd_);
    throw RuntimeError("cannot read MAT-file '" + path_ + "': not a regular file");
  }
  file_size_ = static_cast<uint64_t>(st.st_size);
  uint8_t header[128];
  if (file_size_ < 128 || !read_at(fd_, 0, header, 128) || !is_level5(header, 128)) {
    ::close(fd_);
    throw RuntimeError("cannot read MAT-file '" + path_ + "': not a Level 5 MAT-file");
  }
  swap_ = (header[126] == 'M') != kHostBigEndian;

  try {
    const auto where = [&](uint64_t pos, const std::string& name) {
      return name.empty() ? "the variable at byte " + std::to_string(pos) + " of '" + path_ + "'"
                          : "variable '" + name + "' in '" + path_ + "'";
    };
    uint64_t pos = 128;
    while (pos < file_size_) {
      const uint64_t left = file_size_ - pos;
      uint8_t tag[8];
      if (left < 8 || !read_at(fd_, pos, tag, 8)) {
        std::vector<uint8_t> rest(static_cast<size_t>(std::min<uint64_t>(left, 8)));
        if (read_at(fd_, pos, rest.data(), rest.size()) &&
            std::all_of(rest.begin(), rest.end(), [](uint8_t b) { return b == 0; }))
          break;  // padding after the last variable
        throw RuntimeError("MAT-file '" + path_ + "' is truncated: it ends " + std::to_string(left) +
                           " bytes into the element at byte " + std::to_string(pos));
      }
      const uint32_t type = load_u32(tag, swap_);
      const uint64_t size = load_u32(tag + 4, swap_);
      if (type == 0 && size == 0) {  // trailing zero padding, nothing else
        std::vector<uint8_t> rest(static_cast<size_t>(std::min<uint64_t>(left, 4096)));
        if (left <= 4096 && read_at(fd_, pos, rest.data(), rest.size()) &&
            std::all_of(rest.begin(), rest.end(), [](uint8_t b) { return b == 0; }))
          break;
      }
      if (type != kMiMatrix && type != kMiCompressed)
        throw RuntimeError("MAT-file '" + path_ + "' is corrupt: unknown element type " + std::to_string(type) +
                           " at byte " + std::to_string(pos));
      Entry e;
      e.compressed = type == kMiCompressed;
      e.offset = pos + 8;
      e.size = std::min(size, left - 8);  // what is there; checked against `size` below
      const bool cut = size > left - 8;

      // The matrix element's header: read directly, or inflated as far as needed.
      std::unique_ptr<HeadInflater> inflater;
      std::vector<uint8_t> raw;
      const uint8_t* content = nullptr;
      uint64_t avail = 0;
      auto fetch = [&](uint64_t want) -> bool {  // want: bytes of content
        if (e.compressed) {
          const bool got = inflater->grow(static_cast<size_t>(8 + want));
          content = inflater->out().data() + 8;
          avail = inflater->out().size() - 8;
          return got;
        }
        const uint64_t n = std::min<uint64_t>(std::max<uint64_t>(want, 512), e.size);
        if (n <= raw.size()) return want <= raw.size();
        raw.resize(static_cast<size_t>(n));
        if (!read_at(fd_, e.offset, raw.data(), n)) return false;
        content = raw.data();
        avail = n;
        return want <= n;
      };
      auto stream_problem = [&]() -> std::string {
        if (inflater->state() == StreamInflater::Corrupt)
          return "is corrupt: its compressed data cannot be inflated (" + inflater->message() + ")";
        if (inflater->state() == StreamInflater::Ended)
          return "is truncated: its compressed data ends before its header does";
        return "is truncated: its compressed data ends within its header";
      };

      uint64_t content_bytes = size;
      bool empty = false;
      if (e.compressed) {
        inflater = std::make_unique<HeadInflater>(fd_, e.offset, e.size);
        if (!inflater->grow(8)) {
          if (cut)
            throw RuntimeError(where(pos, "") + " is truncated: its element needs " +
                               thousands(static_cast<int64_t>(size)) + " bytes but the file ends after " +
                               thousands(static_cast<int64_t>(left - 8)));
          throw RuntimeError(where(pos, "") + " " + stream_problem());
        }
        const uint32_t inner = load_u32(inflater->out().data(), swap_);
        if (inner != kMiMatrix)
          throw RuntimeError(where(pos, "") + " is corrupt: its compressed element holds element type " +
                             std::to_string(inner) + ", not a variable");
        content_bytes = load_u32(inflater->out().data() + 4, swap_);
      }
      e.content_bytes = content_bytes;
      empty = content_bytes == 0;

      Parse parsed;
      if (!empty) {
        uint64_t want = 256;
        for (;;) {
          const bool got = fetch(std::min(want, content_bytes));
          parsed = HeaderParser(content, avail, content_bytes, swap_).run();
          if (parsed.kind != Parse::Need) break;
          if (got) {
            want = parsed.need;  // more of the header is needed
            continue;
          }
          if (cut) break;
          if (e.compressed) throw RuntimeError(where(pos, parsed.header.name) + " " + stream_problem());
          throw RuntimeError(where(pos, parsed.header.name) + " is truncated: the file ends within its header");
        }
      }
      // The name, where the header got that far.
      const std::string name = parsed.header.name;
      if (cut)
        throw RuntimeError(where(pos, name) + " is truncated: its element needs " +
                           thousands(static_cast<int64_t>(size)) + " bytes but the file ends after " +
                           thousands(static_cast<int64_t>(left - 8)));
      if (parsed.kind == Parse::Bad) throw RuntimeError(where(pos, name) + " is corrupt: " + parsed.problem);
      if (e.compressed && content_bytes + 8 > max_inflated_size(e.size))
        throw RuntimeError(where(pos, name) + " is corrupt: its header states " +
                           thousands(static_cast<int64_t>(content_bytes + 8)) + " bytes, more than its " +
                           thousands(static_cast<int64_t>(e.size)) + " compressed bytes can inflate to");

      if (empty) {  // an element of no bytes: MATLAB's empty placeholder
        e.dims = {};  // as matio lists it: no name, no dimensions
        entries_.push_back(std::move(e));
        pos += 8 + size;
        continue;
      }
      const Header& h = parsed.header;
      e.name = h.name;
      e.array_class = h.array_class;
      e.logical = h.logical;
      e.complex = h.complex;
      e.dims = h.dims;
      const std::string subject = where(pos, e.name);
      // Dimensions: none negative, their product countable, and for numeric
      // classes exactly the values the data holds.
      for (int64_t d : e.dims)
        if (d < 0) throw RuntimeError(subject + " is corrupt: it has a negative dimension (" + dims_text(e.dims) + ")");
      int64_t count = 1;
      for (int64_t d : e.dims)
        if (__builtin_mul_overflow(count, d, &count))
          throw RuntimeError(subject + " is corrupt: its dimensions " + dims_text(e.dims) +
                             " hold more values than can be counted");
      // Strides count empty axes as 1, so an empty array's other axes must
      // still be addressable.
      int64_t extent = 1;
      for (int64_t d : e.dims)
        if (__builtin_mul_overflow(extent, std::max<int64_t>(d, 1), &extent))
          throw RuntimeError(subject + " is corrupt: its dimensions " + dims_text(e.dims) +
                             " are too large to address, even with no values");
      if (h.has_data) {
        const DType stored = *element_dtype(h.data_type);
        e.data_type = h.data_type;
        e.data_offset = h.data_offset;
        e.data_bytes = h.data_bytes;
        int64_t need = 0;
        if (__builtin_mul_overflow(count, static_cast<int64_t>(dtype_size(stored)), &need))
          throw RuntimeError(subject + " is corrupt: its dimensions " + dims_text(e.dims) +
                             " hold more values than can be counted");
        if (static_cast<uint64_t>(need) != e.data_bytes)
          throw RuntimeError(subject + " is " + (static_cast<uint64_t>(need) > e.data_bytes ? "truncated" : "corrupt") +
                             ": its dimensions " + dims_text(e.dims) + " need " + thousands(count) + " values (" +
                             thousands(need) + " bytes of " + dtype_name(stored) + ") but its data holds " +
                             thousands(static_cast<int64_t>(e.data_bytes)) + " bytes");
      }
      entries_.push_back(std::move(e));
      pos += 8 + size;
    }
  } catch (...) {
    ::close(fd_);
    throw;
  }
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

std::string File::subject(const Entry& e) const {
  return e.name.empty() ? "the variable at byte " + std::to_string(e.offset - 8) + " of '" + path_ + "'"
                        : "variable '" + e.name + "' in '" + path_ + "'";
}

NdArray File::load(const Entry& e) const {
  const std::string subject = this->subject(e);
  const DType cls = *class_dtype(e.array_class);
  const DType stored = *element_dtype(e.data_type);
  const int64_t count = static_cast<int64_t>(e.data_bytes / dtype_size(stored));

  std::shared_ptr<uint8_t[]> buffer;
  uint8_t* data = nullptr;
  if (!e.compressed) {
    buffer.reset(new uint8_t[std::max<uint64_t>(e.data_bytes, 1)]);
    if (!read_at(fd_, e.offset + e.data_offset, buffer.get(), e.data_bytes))
      throw RuntimeError(subject + " is truncated: the file ended before its data (was it cut while being read?)");
    data = buffer.get();
  } else {
    std::unique_ptr<uint8_t[]> in(new uint8_t[std::max<uint64_t>(e.size, 1)]);
    if (!read_at(fd_, e.offset, in.get(), e.size))
      throw RuntimeError(subject + " is truncated: the file ended before its data (was it cut while being read?)");
    const uint64_t total = e.content_bytes + 8;
    buffer.reset(new uint8_t[total]);
    std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> d(libdeflate_alloc_decompressor());
    if (!d) throw RuntimeError("cannot read " + subject + ": out of memory");
    size_t actual = 0;
    const auto rc = libdeflate_zlib_decompress(d.get(), in.get(), e.size, buffer.get(), total, &actual);
    if (rc == LIBDEFLATE_INSUFFICIENT_SPACE)
      throw RuntimeError(subject + " is corrupt: its compressed data inflates to more than the " +
                         thousands(static_cast<int64_t>(total)) + " bytes its header states");
    if (rc == LIBDEFLATE_SUCCESS && actual < total)
      throw RuntimeError(subject + " is truncated: its compressed data inflates to only " +
                         thousands(static_cast<int64_t>(actual)) + " of the " + thousands(static_cast<int64_t>(total)) +
                         " bytes its header states");
    if (rc != LIBDEFLATE_SUCCESS) {
      const StreamFailure f = diagnose_stream(in.get(), e.size);
      if (f.truncated)
        throw RuntimeError(subject + " is truncated: its compressed data ends after " +
                           thousands(static_cast<int64_t>(f.produced)) + " of the " +
                           thousands(static_cast<int64_t>(total)) + " bytes its header states");
      throw RuntimeError(subject + " is corrupt: its compressed data cannot be inflated" +
                         (f.message.empty() ? std::string(" (checksum mismatch)") : " (" + f.message + ")"));
    }
    in.reset();
    // The header inflated again must be the one listed.
    const Parse again = HeaderParser(buffer.get() + 8, e.content_bytes, e.content_bytes, swap_).run();
    if (again.kind != Parse::Done || !again.header.has_data || again.header.data_offset != e.data_offset ||
        again.header.data_bytes != e.data_bytes || again.header.data_type != e.data_type)
      throw RuntimeError(subject + " is corrupt: its header changed since the file was opened");
    data = buffer.get() + 8 + e.data_offset;
  }
  if (swap_) swap_bytes(data, static_cast<uint64_t>(count), dtype_size(stored));

  NdArray a;
  a.dtype = e.logical ? DType::Bool : cls;
  a.shape = e.dims;
  a.strides.assign(a.shape.size(), 1);
  // MATLAB stores column-major: the first index moves fastest.
  for (size_t i = 1; i < a.shape.size(); ++i) a.strides[i] = a.strides[i - 1] * std::max<int64_t>(a.shape[i - 1], 1);
  if (count == 0) {
    NdArray empty = NdArray::zeros(a.dtype, a.shape);
    a.data = empty.data;
    a.owner = empty.owner;
    return a;
  }
  if (stored == cls && !e.logical) {
    a.data = data;
    a.owner = std::shared_ptr<void>(buffer, buffer.get());
    return a;
  }
  // Stored in a narrower type than its class (MATLAB saves space that way):
  // widen into an array of the class's type.
  NdArray narrow;
  narrow.dtype = stored;
  narrow.shape = {count};
  narrow.strides = {1};
  narrow.data = data;
  narrow.owner = std::shared_ptr<void>(buffer, buffer.get());
  NdArray wide = NdArray::zeros(a.dtype, {count});
  if (a.dtype == DType::Bool)
    wide.raw().copy_(narrow.to_int64().ne(0));
  else if (cls == DType::Int64 || cls == DType::UInt64 || cls == DType::UInt32)
    wide.raw().copy_(narrow.to_int64().to(wide.raw().scalar_type()));  // exact for wide integers
  else
    wide.raw().copy_(narrow.to_float64().to(wide.raw().scalar_type()));
  a.data = wide.data;
  a.owner = wide.owner;
  return a;
}

void File::stream(const Entry& e, int64_t piece_values, const std::function<void(const NdArray&)>& sink) const {
  const std::string subject = this->subject(e);
  const DType stored = *element_dtype(e.data_type);
  const size_t width = dtype_size(stored);
  const uint64_t piece_bytes = static_cast<uint64_t>(std::max<int64_t>(piece_values, 1)) * width;
  std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(piece_bytes, std::max<uint64_t>(e.data_bytes, 1))));
  auto emit = [&](uint64_t bytes) {
    const int64_t count = static_cast<int64_t>(bytes / width);
    if (swap_) swap_bytes(piece.data(), static_cast<uint64_t>(count), width);
    NdArray a;
    a.dtype = stored;
    a.shape = {count};
    a.strides = {1};
    a.data = piece.data();
    if (!e.logical) return sink(a);
    NdArray flags = NdArray::zeros(DType::Bool, {count});
    flags.raw().copy_(a.to_int64().ne(0));
    sink(flags);
  };
  if (!e.compressed) {
    for (uint64_t done = 0; done < e.data_bytes;) {
      const uint64_t n = std::min<uint64_t>(piece.size(), e.data_bytes - done);
      if (!read_at(fd_, e.offset + e.data_offset + done, piece.data(), n))
        throw RuntimeError(subject + " is truncated: the file ended before its data (was it cut while being read?)");
      emit(n);
      done += n;
    }
    return;
  }
  const uint64_t total = e.content_bytes + 8;
  StreamInflater stream(fd_, e.offset, e.size);
  auto fail = [&]() -> RuntimeError {
    if (stream.state() == StreamInflater::Corrupt)
      return RuntimeError(subject + " is corrupt: its compressed data cannot be inflated (" + stream.message() + ")");
    if (stream.state() == StreamInflater::Ended)
      return RuntimeError(subject + " is truncated: its compressed data inflates to only " +
                          thousands(static_cast<int64_t>(stream.produced())) + " of the " +
                          thousands(static_cast<int64_t>(total)) + " bytes its header states");
    return RuntimeError(subject + " is truncated: its compressed data ends after " +
                        thousands(static_cast<int64_t>(stream.produced())) + " of the " +
                        thousands(static_cast<int64_t>(total)) + " bytes its header states");
  };
  // The header inflated again must be the one listed.
  std::vector<uint8_t> head(static_cast<size_t>(8 + e.data_offset));
  if (stream.read(head.data(), head.size()) != head.size()) throw fail();
  const Parse again = HeaderParser(head.data() + 8, e.data_offset, e.content_bytes, swap_).run();
  if (again.kind != Parse::Done || !again.header.has_data || again.header.data_offset != e.data_offset ||
      again.header.data_bytes != e.data_bytes || again.header.data_type != e.data_type)
    throw RuntimeError(subject + " is corrupt: its header changed since the file was opened");
  for (uint64_t done = 0; done < e.data_bytes;) {
    const uint64_t n = std::min<uint64_t>(piece.size(), e.data_bytes - done);
    if (stream.read(piece.data(), n) != n) throw fail();
    emit(n);
    done += n;
  }
  // The rest of the element, then the end of the stream and its checksum.
  uint8_t rest[4096];
  while (stream.read(rest, sizeof rest) > 0) {
  }
  if (stream.produced() > total)
    throw RuntimeError(subject + " is corrupt: its compressed data inflates to more than the " +
                       thousands(static_cast<int64_t>(total)) + " bytes its header states");
  if (stream.state() != StreamInflater::Ended || stream.produced() < total) throw fail();
}

}  // namespace lumora::mat5
