// The zip container of tensor files as torch.save writes them: every record
// stored uncompressed. Reading trusts nothing in the file: every offset and
// size is checked against the bytes that are there, and every record's
// CRC-32 is verified, so a cut or damaged file fails instead of feeding stray
// or flipped bytes to the caller.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumora {

class ZipReader {
 public:
  // Parses the central directory of `bytes` (which must outlive the reader)
  // and checks every record. Throws RuntimeError with the reason ("truncated",
  // "record 'x' is damaged (CRC-32 mismatch)", ...), without a file name.
  explicit ZipReader(const std::vector<char>& bytes);

  bool has(const std::string& name) const;
  // The record's bytes; throws RuntimeError when absent.
  std::string_view record(const std::string& name) const;
  // Record names in directory order.
  std::vector<std::string> names() const;

 private:
  std::vector<std::pair<std::string, std::string_view>> records_;
};

// Builds an archive in memory: stored records whose data start on 64-byte
// boundaries (as torch.save aligns them, so readers can map tensors in place).
class ZipWriter {
 public:
  void add(const std::string& name, std::string_view data);
  std::vector<char> finish();

 private:
  struct Entry {
    std::string name;
    uint32_t crc = 0;
    uint32_t size = 0;
    uint32_t offset = 0;
  };
  std::vector<char> out_;
  std::vector<Entry> entries_;
};

}  // namespace lumora
