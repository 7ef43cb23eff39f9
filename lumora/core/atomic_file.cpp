#include "lumora/core/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>

#include "lumora/core/errors.h"

namespace lumora {

std::string write_failure(const std::string& path, int error) {
  std::string message = "failed to write '" + path + "'";
  if (error != 0) message += std::string(": ") + std::strerror(error);
  return message;
}

AtomicFile::AtomicFile(std::string path) : path_(std::move(path)), temporary_(path_ + ".part") {}

AtomicFile::~AtomicFile() {
  if (committed_) return;
  std::error_code ec;
  std::filesystem::remove(temporary_, ec);  // nothing to do when it was never made
}

std::error_code AtomicFile::try_commit() noexcept {
  std::error_code ec;
  std::filesystem::rename(temporary_, path_, ec);
  if (!ec) {
    committed_ = true;
  } else {
    std::error_code ignored;
    std::filesystem::remove(temporary_, ignored);
  }
  return ec;
}

void AtomicFile::commit() {
  if (const std::error_code ec = try_commit()) throw RuntimeError("cannot write '" + path_ + "': " + ec.message());
}

namespace {

// POSIX calls rather than a stream: a failed write or close then says why
// (a full disk, a file size limit), and fsync makes the file whole on disk
// before it replaces the old one.
void write_bytes(const std::string& path, const char* data, size_t size) {
  AtomicFile file(path);
  const int fd = ::open(file.temporary().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw FileNotFoundError("cannot open '" + path + "' for writing");
  int error = 0;
  while (size > 0 && !error) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : ENOSPC;
      break;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  if (!error && ::fsync(fd) != 0 && errno != EINVAL) error = errno;  // EINVAL: a file system without fsync
  if (::close(fd) != 0 && !error) error = errno;
  if (error) throw RuntimeError(write_failure(path, error));
  file.commit();
}
}  // namespace

void write_binary_file(const std::string& path, const std::vector<char>& bytes) {
  write_bytes(path, bytes.data(), bytes.size());
}

void write_text_file(const std::string& path, const std::string& text) { write_bytes(path, text.data(), text.size()); }

}  // namespace lumora
