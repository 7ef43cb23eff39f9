#include "lumora/maps/class_names.h"

#include <fmt/format.h>

#include <fstream>
#include <sstream>

#include "lumora/core/errors.h"
#include "lumora/core/paths.h"

namespace lumora::maps {
namespace {

std::string trimmed(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

std::vector<std::string> read_class_names(const std::string& path) {
  if (!file_exists(path)) throw FileNotFoundError("--class-names: no such file: '" + path + "'");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileNotFoundError("--class-names: cannot read '" + path + "'");
  std::vector<std::string> names;
  std::string line;
  while (std::getline(in, line)) names.push_back(trimmed(line));
  // A last line end leaves no extra name; blank lines at the end are dropped too.
  while (!names.empty() && names.back().empty()) names.pop_back();
  if (names.empty()) throw ValueError("--class-names: '" + path + "' holds no class name");
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i].empty())
      throw ValueError(fmt::format("--class-names: line {} of '{}' is empty (class {} needs a name)", i + 1, path,
                                   i + 1));
  return names;
}

std::string class_name(const std::vector<std::string>& names, int64_t k) {
  if (k == 0) return "unlabelled";
  if (k >= 1 && static_cast<size_t>(k) <= names.size()) return names[static_cast<size_t>(k - 1)];
  return "class " + std::to_string(k);
}

void check_class_names(const std::vector<std::string>& names, int64_t max_class, const std::string& path) {
  if (names.empty() || static_cast<int64_t>(names.size()) >= max_class) return;
  throw ValueError(fmt::format("--class-names: '{}' names {} {} but the model has classes up to {}", path,
                               names.size(), names.size() == 1 ? "class" : "classes", max_class));
}

}  // namespace lumora::maps
