// The fuzz input as a file the loaders can open by name, kept in memory.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace lumora::fuzz {

class MemoryFile {
 public:
  MemoryFile() : fd_(memfd_create("lumora-fuzz", 0)) {
    if (fd_ < 0) throw std::runtime_error("memfd_create failed");
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemoryFile() { close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  const std::string& write(const uint8_t* data, size_t size) {
    if (ftruncate(fd_, 0) != 0 || (size && pwrite(fd_, data, size, 0) != static_cast<ssize_t>(size)))
      throw std::runtime_error("cannot write the input");
    return path_;
  }

 private:
  int fd_;
  std::string path_;
};

}  // namespace lumora::fuzz
