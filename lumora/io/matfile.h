// MAT-file reading (Level 5, compressed or not, v7.3 and v4) and writing
// (compressed Level 5). Level 5 files are read by our own checked reader
// (mat5_reader.h); v7.3 and v4 files by matio, v4 after its records were
// checked against the file's size.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "lumora/io/ndarray.h"

namespace lumora {

namespace mat5 {
class File;
}

// One variable as the file lists it. Numeric variables (every real numeric
// class and logical) can be loaded; cell, struct, sparse, char, complex and
// object variables are listed only.
struct MatVariableInfo {
  std::string name;
  std::string mat_class;       // MATLAB's class name: "double", "uint8", "logical", "cell", ...
  std::vector<int64_t> dims;   // as stored (MATLAB order)
  bool numeric = false;

  // Dimensions as key detection counts them: non-numeric variables count as 2-D.
  int64_t detection_ndim() const { return numeric ? static_cast<int64_t>(dims.size()) : 2; }
};

class MatFile {
 public:
  // Opens and lists every variable, in file order. Unreadable, cut or
  // damaged files fail with an error naming the file (and the variable,
  // where its header could be read).
  explicit MatFile(std::string path);
  ~MatFile();
  MatFile(const MatFile&) = delete;
  MatFile& operator=(const MatFile&) = delete;

  const std::string& path() const { return path_; }
  const std::vector<MatVariableInfo>& variables() const { return variables_; }
  bool has(const std::string& name) const;
  const MatVariableInfo& info(const std::string& name) const;

  // The variable's values in its stored class, shaped as stored, in
  // column-major (MATLAB) order. `use` says what the caller wants it for
  // ("cube", "label map") and appears in the error for non-numeric classes.
  // Data that is cut short fails with an error saying "truncated".
  NdArray load(const std::string& name, const std::string& use = "numeric array") const;

  // The same values in storage (column-major) order, one-dimensional pieces
  // of at most `piece_values` values handed to `sink` in turn (see
  // mat5::File::stream): memory holds one piece of a Level 5 variable
  // however large it is. Files that matio reads arrive as one piece.
  void stream(const std::string& name, const std::string& use, int64_t piece_values,
              const std::function<void(const NdArray&)>& sink) const;

 private:
  std::string path_;
  std::unique_ptr<mat5::File> level5_;  // Level 5 files
  void* mat_ = nullptr;                  // mat_t* of v7.3 and v4 files
  std::vector<MatVariableInfo> variables_;
};

// Writes the variables, in order, into one compressed Level 5 MAT-file,
// each with its element type unchanged. Written to a temporary name first,
// so a failed write leaves no partial file at `path`.
void write_mat(const std::string& path, const std::vector<std::pair<std::string, NdArray>>& variables);

}  // namespace lumora
