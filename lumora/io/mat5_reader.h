// Level 5 MAT-files read by our own code, in either byte order, compressed
// variables or not. matio trusts the sizes a file states (a cut variable
// reads as zeros, a tag claiming 4 GB in a 200-byte file makes it allocate
// 4 GB), so every size here is checked against what the file holds, or what
// a compressed stream can inflate to, before anything is allocated. Only the
// top level and the headers of variables are parsed; the contents of cells,
// structs and objects are never looked at, so they cannot mislead us.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "lumora/io/ndarray.h"

namespace lumora::mat5 {

// Most bytes a zlib stream of `compressed` bytes can inflate to: deflate
// expands at most about 1032:1, plus a little for very short streams.
inline uint64_t max_inflated_size(uint64_t compressed) { return compressed * 1032 + 1024; }

// Bounds on what a variable's header may state; real files stay far below
// (MATLAB allows 63-character names).
constexpr uint32_t kMaxDimensions = 1024;
constexpr uint32_t kMaxNameBytes = 4096;

// Whether the first bytes of a file (at least 128) mark a Level 5 MAT-file.
bool is_level5(const uint8_t* header, size_t n);

// One top-level variable as its header states it, already checked.
struct Entry {
  std::string name;
  uint32_t array_class = 0;  // MATLAB's class code: 1 cell, 2 struct, 4 char, 6 double, ... 15 uint64
  bool logical = false;
  bool complex = false;
  std::vector<int64_t> dims;  // as stored; none for an opaque object
  bool compressed = false;
  uint64_t offset = 0;         // of the element's payload in the file (after its tag)
  uint64_t size = 0;           // payload bytes in the file
  uint64_t content_bytes = 0;  // of the matrix element after its tag, inflated
  // The real part of a numeric variable, within the matrix element's content.
  uint32_t data_type = 0;
  uint64_t data_offset = 0;
  uint64_t data_bytes = 0;

  // A real numeric (or logical) class that load() reads.
  bool numeric() const;
};

class File {
 public:
  // Opens the file and lists its variables in file order; a damaged file
  // fails here with a RuntimeError naming the file and, where the header
  // could be read, the variable.
  explicit File(std::string path);
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  const std::vector<Entry>& entries() const { return entries_; }

  // The variable's values (an entry of this file with numeric() true) in its
  // class's type, column-major, in memory that the array owns.
  NdArray load(const Entry& entry) const;

  // The same values in storage (column-major) order, handed to `sink` in
  // consecutive one-dimensional pieces of at most `piece_values` values of
  // the stored element type (bool for logical variables), so that memory
  // holds one piece however large the variable. A piece lives only during
  // its call. Damage fails as load() does, possibly after some pieces.
  void stream(const Entry& entry, int64_t piece_values, const std::function<void(const NdArray&)>& sink) const;

 private:
  std::string subject(const Entry& entry) const;

  std::string path_;
  int fd_ = -1;
  uint64_t file_size_ = 0;
  bool swap_ = false;  // big-endian file on this little-endian machine
  std::vector<Entry> entries_;
};

}  // namespace lumora::mat5
