// Files that appear whole or not at all. A file is written under a temporary
// name beside its target ("<path>.part", same folder so the rename stays on
// one file system) and renamed over the target only once it is complete: a
// reader never sees half a file, an earlier file survives a failed write,
// and no temporary outlives the attempt.
#pragma once

#include <string>
#include <system_error>
#include <vector>

namespace lumora {

// One atomic write. Create and fill temporary(), close it, then commit().
// Until commit() succeeds the destructor removes the temporary, so an
// exception on the way (a failed stream, a writer's error) leaves nothing.
//
//   AtomicFile file(path);
//   std::ofstream out(file.temporary(), std::ios::binary);
//   ... write, close, check the stream ...
//   file.commit();
class AtomicFile {
 public:
  explicit AtomicFile(std::string path);
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  const std::string& path() const { return path_; }
  const std::string& temporary() const { return temporary_; }

  // Renames the temporary over the path; a RuntimeError
  // "cannot write '<path>': <reason>" when that fails.
  void commit();
  // The same, returning the reason of a failure instead of throwing. Either
  // way a failed rename removes the temporary.
  std::error_code try_commit() noexcept;

 private:
  std::string path_;
  std::string temporary_;
  bool committed_ = false;
};

// Writes `bytes` to `path` as an AtomicFile. Errors name the path:
// FileNotFoundError "cannot open '<path>' for writing", RuntimeError
// "failed to write '<path>': <reason>" or "cannot write '<path>': <reason>".
void write_binary_file(const std::string& path, const std::vector<char>& bytes);
// The same for text.
void write_text_file(const std::string& path, const std::string& text);

// "failed to write '<path>': <the system's reason for errno `error`>"
// (without the reason when `error` is 0).
std::string write_failure(const std::string& path, int error);

}  // namespace lumora
