#include "lumora/core/paths.h"

#include <filesystem>
#include <system_error>

#include "lumora/core/errors.h"

namespace lumora {

std::string path_join(const std::string& first, const std::string& second) {
  if (!second.empty() && second.front() == '/') return second;
  if (first.empty()) return second;
  if (first.back() == '/') return first + second;
  return first + "/" + second;
}

bool file_exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

void make_dirs(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) throw RuntimeError("cannot create directory '" + path + "': " + ec.message());
}

}  // namespace lumora
