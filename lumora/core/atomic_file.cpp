#include "lumora/core/atomic_file.h"

#include <filesystem>
#include <fstream>
#include <utility>

#include "lumora/core/errors.h"

namespace lumora {

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

void write_bytes(const std::string& path, const char* data, size_t size) {
  AtomicFile file(path);
  std::ofstream out(file.temporary(), std::ios::binary | std::ios::trunc);
  if (!out) throw FileNotFoundError("cannot open '" + path + "' for writing");
  out.write(data, static_cast<std::streamsize>(size));
  out.close();  // a short write often shows only when the buffer is flushed here
  if (!out) throw RuntimeError("failed to write '" + path + "'");
  file.commit();
}

}  // namespace

void write_binary_file(const std::string& path, const std::vector<char>& bytes) {
  write_bytes(path, bytes.data(), bytes.size());
}

void write_text_file(const std::string& path, const std::string& text) { write_bytes(path, text.data(), text.size()); }

}  // namespace lumora
