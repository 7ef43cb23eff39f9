#include "lumora/core/zip_archive.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "lumora/core/errors.h"

namespace lumora {
namespace {

constexpr uint32_t kLocalSig = 0x04034b50, kCentralSig = 0x02014b50, kEndSig = 0x06054b50,
                   kEnd64Sig = 0x06064b50, kEnd64LocatorSig = 0x07064b50;
constexpr size_t kLocalSize = 30, kCentralSize = 46, kEndSize = 22, kEnd64Size = 56, kEnd64LocatorSize = 20;
constexpr uint16_t kZip64ExtraId = 0x0001, kPaddingExtraId = 0x4246;  // "FB", as torch.save pads
constexpr size_t kAlignment = 64;

// Little-endian fields read from a span whose bounds the caller checked.
uint64_t field(const char* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

[[noreturn]] void fail(const std::string& reason) { throw RuntimeError(reason); }

uint32_t crc32_of(std::string_view data) {
  uLong crc = crc32(0L, Z_NULL, 0);
  size_t done = 0;
  while (done < data.size()) {  // zlib takes 32-bit lengths
    const uInt n = static_cast<uInt>(std::min<size_t>(data.size() - done, 1u << 30));
    crc = crc32(crc, reinterpret_cast<const Bytef*>(data.data() + done), n);
    done += n;
  }
  return static_cast<uint32_t>(crc);
}

struct Directory {
  uint64_t entries = 0, offset = 0, size = 0;
  size_t end = 0;  // where the directory must end (start of the end records)
};

// The end-of-directory record: the last signature whose comment reaches
// exactly to the end of the file.
size_t find_end_record(const std::vector<char>& b) {
  if (b.size() < kEndSize) fail("truncated, or not a tensor file");
  const size_t lowest = b.size() > kEndSize + 0xFFFF ? b.size() - kEndSize - 0xFFFF : 0;
  for (size_t pos = b.size() - kEndSize + 1; pos-- > lowest;) {
    if (field(&b[pos], 4) == kEndSig && pos + kEndSize + field(&b[pos + 20], 2) == b.size()) return pos;
  }
  fail("truncated, or not a tensor file");
}

Directory read_directory(const std::vector<char>& b) {
  const size_t end = find_end_record(b);
  Directory d;
  d.entries = field(&b[end + 10], 2);
  d.size = field(&b[end + 12], 4);
  d.offset = field(&b[end + 16], 4);
  d.end = end;
  const bool saturated = d.entries == 0xFFFF || d.size == 0xFFFFFFFF || d.offset == 0xFFFFFFFF;
  if (end >= kEnd64LocatorSize && field(&b[end - kEnd64LocatorSize], 4) == kEnd64LocatorSig) {
    const uint64_t at = field(&b[end - kEnd64LocatorSize + 8], 8);
    if (at > end - kEnd64LocatorSize || end - kEnd64LocatorSize - at < kEnd64Size ||
        field(&b[at], 4) != kEnd64Sig)
      fail("damaged zip64 end record");
    d.entries = field(&b[at + 32], 8);
    d.size = field(&b[at + 40], 8);
    d.offset = field(&b[at + 48], 8);
    d.end = static_cast<size_t>(at);
  } else if (saturated) {
    fail("damaged zip directory (zip64 sizes without a zip64 end record)");
  }
  if (d.offset > d.end || d.size > d.end - d.offset) fail("truncated (the zip directory lies outside the file)");
  if (d.entries > d.size / kCentralSize) fail("damaged zip directory (more entries than fit)");
  return d;
}

// Replaces saturated 32-bit sizes and offsets with their zip64 values.
void apply_zip64(const char* extra, size_t n, uint64_t& size, uint64_t& comp, uint64_t& offset) {
  for (size_t pos = 0; pos + 4 <= n;) {
    const uint64_t id = field(extra + pos, 2), len = field(extra + pos + 2, 2);
    if (pos + 4 + len > n) fail("damaged zip directory (extra field)");
    if (id == kZip64ExtraId) {
      size_t q = pos + 4;
      for (uint64_t* v : {&size, &comp, &offset}) {
        if (*v != 0xFFFFFFFF) continue;
        if (q + 8 > pos + 4 + len) fail("damaged zip directory (zip64 field)");
        *v = field(extra + q, 8);
        q += 8;
      }
    }
    pos += 4 + len;
  }
}

}  // namespace

ZipReader::ZipReader(const std::vector<char>& b) {
  const Directory d = read_directory(b);
  size_t pos = static_cast<size_t>(d.offset);
  const size_t dir_end = static_cast<size_t>(d.offset + d.size);
  for (uint64_t i = 0; i < d.entries; ++i) {
    if (dir_end - pos < kCentralSize || field(&b[pos], 4) != kCentralSig) fail("damaged zip directory");
    const uint64_t method = field(&b[pos + 10], 2), crc = field(&b[pos + 16], 4);
    uint64_t comp = field(&b[pos + 20], 4), size = field(&b[pos + 24], 4), offset = field(&b[pos + 42], 4);
    const size_t name_len = field(&b[pos + 28], 2), extra_len = field(&b[pos + 30], 2),
                 comment_len = field(&b[pos + 32], 2);
    if (dir_end - pos - kCentralSize < name_len + extra_len + comment_len) fail("damaged zip directory");
    std::string name(&b[pos + kCentralSize], name_len);
    apply_zip64(&b[pos + kCentralSize + name_len], extra_len, size, comp, offset);
    pos += kCentralSize + name_len + extra_len + comment_len;

    if (method != 0) fail("record '" + name + "' is compressed, which tensor files never are");
    if (comp != size) fail("record '" + name + "' is damaged (sizes disagree)");
    if (offset > d.offset || d.offset - offset < kLocalSize || field(&b[offset], 4) != kLocalSig)
      fail("truncated or damaged (record '" + name + "' has no header)");
    const size_t start = static_cast<size_t>(offset) + kLocalSize + field(&b[offset + 26], 2) + field(&b[offset + 28], 2);
    if (start > d.offset || size > d.offset - start) fail("truncated (record '" + name + "' is cut short)");
    std::string_view data(&b[start], static_cast<size_t>(size));
    if (crc32_of(data) != crc) fail("record '" + name + "' is damaged (CRC-32 mismatch)");
    if (has(name)) fail("record '" + name + "' appears twice");
    records_.emplace_back(std::move(name), data);
  }
}

bool ZipReader::has(const std::string& name) const {
  return std::any_of(records_.begin(), records_.end(), [&](const auto& r) { return r.first == name; });
}

std::string_view ZipReader::record(const std::string& name) const {
  for (const auto& [n, data] : records_)
    if (n == name) return data;
  fail("no record '" + name + "'");
}

std::vector<std::string> ZipReader::names() const {
  std::vector<std::string> out;
  for (const auto& r : records_) out.push_back(r.first);
  return out;
}

// ---------------------------------------------------------------- writing

namespace {

void put(std::vector<char>& out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

constexpr uint16_t kVersion = 20, kDosDate = 0x0021;  // 1980-01-01, a fixed date keeps files reproducible

uint32_t checked_u32(size_t v) {
  if (v > std::numeric_limits<uint32_t>::max()) throw RuntimeError("tensor file larger than 4 GiB");
  return static_cast<uint32_t>(v);
}

}  // namespace

void ZipWriter::add(const std::string& name, std::string_view data) {
  Entry e;
  e.name = name;
  e.crc = crc32_of(data);
  e.size = checked_u32(data.size());
  e.offset = checked_u32(out_.size());
  const size_t unpadded = out_.size() + kLocalSize + name.size() + 4;
  const size_t pad = (kAlignment - unpadded % kAlignment) % kAlignment;
  put(out_, kLocalSig, 4);
  put(out_, kVersion, 2);
  put(out_, 0, 2);  // flags
  put(out_, 0, 2);  // stored
  put(out_, 0, 2);  // time
  put(out_, kDosDate, 2);
  put(out_, e.crc, 4);
  put(out_, e.size, 4);
  put(out_, e.size, 4);
  put(out_, name.size(), 2);
  put(out_, 4 + pad, 2);
  out_.insert(out_.end(), name.begin(), name.end());
  put(out_, kPaddingExtraId, 2);
  put(out_, pad, 2);
  out_.insert(out_.end(), pad, '\0');
  out_.insert(out_.end(), data.begin(), data.end());
  entries_.push_back(std::move(e));
}

std::vector<char> ZipWriter::finish() {
  const uint32_t dir_offset = checked_u32(out_.size());
  for (const Entry& e : entries_) {
    put(out_, kCentralSig, 4);
    put(out_, kVersion, 2);  // made by
    put(out_, kVersion, 2);  // needed
    put(out_, 0, 2);
    put(out_, 0, 2);
    put(out_, 0, 2);
    put(out_, kDosDate, 2);
    put(out_, e.crc, 4);
    put(out_, e.size, 4);
    put(out_, e.size, 4);
    put(out_, e.name.size(), 2);
    put(out_, 0, 2);  // extra
    put(out_, 0, 2);  // comment
    put(out_, 0, 2);  // disk
    put(out_, 0, 2);  // internal attributes
    put(out_, 0, 4);  // external attributes
    put(out_, e.offset, 4);
    out_.insert(out_.end(), e.name.begin(), e.name.end());
  }
  const uint32_t dir_size = checked_u32(out_.size() - dir_offset);
  if (entries_.size() > 0xFFFF) throw RuntimeError("tensor file with more than 65535 records");
  put(out_, kEndSig, 4);
  put(out_, 0, 2);
  put(out_, 0, 2);
  put(out_, entries_.size(), 2);
  put(out_, entries_.size(), 2);
  put(out_, dir_size, 4);
  put(out_, dir_offset, 4);
  put(out_, 0, 2);
  entries_.clear();
  return std::move(out_);
}

}  // namespace lumora
