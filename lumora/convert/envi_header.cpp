#include "lumora/convert/envi_header.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "lumora/core/errors.h"
#include "lumora/core/paths.h"

namespace lumora::convert {
namespace {

using json = nlohmann::ordered_json;

const char* kSpace = " \t\n\r\f\v";

std::string strip(const std::string& s, const char* chars = kSpace) {
  const auto first = s.find_first_not_of(chars);
  if (first == std::string::npos) return "";
  const auto last = s.find_last_not_of(chars);
  return s.substr(first, last - first + 1);
}

std::string lower(std::string s) {
  for (auto& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The header value as text, or a clear error when it is a list.
std::string scalar_text(const json& header, const std::string& key, const std::string& path) {
  const json& v = header.at(key);
  if (!v.is_string()) throw ValueError("ENVI header " + path + ": '" + key + "' must be a single value, not a list");
  return strip(v.get<std::string>());
}

int64_t integer_field(const json& header, const std::string& key, const std::string& path, int64_t fallback,
                      bool required) {
  if (!header.contains(key)) {
    if (required) throw ValueError("ENVI header " + path + " lacks the required field '" + key + "'");
    return fallback;
  }
  const std::string text = scalar_text(header, key, path);
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno == ERANGE)
    throw ValueError("ENVI header " + path + ": '" + key + "' must be an integer, got '" + text + "'");
  return v;
}

}  // namespace

json parse_envi_header(const std::string& text, const std::string& path) {
  std::vector<std::string> lines = split_lines(text);
  std::string first = lines.empty() ? "" : strip(lines[0]);
  if (first.rfind("\xEF\xBB\xBF", 0) == 0) first = first.substr(3);  // a UTF-8 byte-order mark
  if (first.rfind("ENVI", 0) != 0)
    throw ValueError("File does not appear to be an ENVI header: " + path + " (its first line is not 'ENVI')");

  json header = json::object();
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const auto eq = line.find('=');
    if (eq == std::string::npos || line[0] == ';') continue;
    const std::string key = lower(strip(line.substr(0, eq)));
    const std::string value = strip(line.substr(eq + 1));
    if (value.empty() || value[0] != '{') {
      header[key] = value;
      continue;
    }
    // A brace list runs until a line that ends with the closing brace.
    std::string list = value;
    while (list.back() != '}') {
      if (++i >= lines.size())
        throw ValueError("ENVI header " + path + ": the list of '" + key + "' has no closing '}'");
      if (!lines[i].empty() && lines[i][0] == ';') continue;
      list += "\n" + strip(lines[i]);
    }
    if (key == "description") {
      header[key] = strip(strip(list, "{}"));
      continue;
    }
    json items = json::array();
    const std::string inner = list.substr(1, list.size() - 2);
    size_t start = 0;
    while (true) {
      const auto comma = inner.find(',', start);
      items.push_back(strip(inner.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    header[key] = std::move(items);
  }
  return header;
}

json read_envi_header(const std::string& path) {
  if (!file_exists(path)) throw FileNotFoundError("No such file: '" + path + "'");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw RuntimeError("cannot read ENVI header '" + path + "'");
  std::stringstream ss;
  ss << in.rdbuf();
  return parse_envi_header(ss.str(), path);
}

EnviLayout envi_layout(const json& header, const std::string& path) {
  EnviLayout layout;
  layout.samples = integer_field(header, "samples", path, 0, true);
  layout.lines = integer_field(header, "lines", path, 0, true);
  layout.bands = integer_field(header, "bands", path, 0, true);
  layout.header_offset = integer_field(header, "header offset", path, 0, false);
  layout.data_type = static_cast<int>(integer_field(header, "data type", path, 0, true));
  const int64_t byte_order = integer_field(header, "byte order", path, 0, false);
  if (layout.samples < 1 || layout.lines < 1 || layout.bands < 1)
    throw ValueError("ENVI header " + path + ": samples, lines and bands must be positive, got " +
                     std::to_string(layout.samples) + ", " + std::to_string(layout.lines) + ", " +
                     std::to_string(layout.bands));
  if (layout.header_offset < 0)
    throw ValueError("ENVI header " + path + ": 'header offset' must not be negative");
  if (byte_order != 0 && byte_order != 1)
    throw ValueError("ENVI header " + path + ": 'byte order' must be 0 or 1, got " + std::to_string(byte_order));
  layout.big_endian = byte_order == 1;

  switch (layout.data_type) {
    case 1: layout.element_size = 1; break;
    case 2: case 12: layout.element_size = 2; break;
    case 3: case 4: case 13: layout.element_size = 4; break;
    case 5: case 14: case 15: layout.element_size = 8; break;
    case 6: case 9:
      throw ValueError("ENVI header " + path + ": complex data (data type " + std::to_string(layout.data_type) +
                       ") cannot be converted to a real cube");
    default:
      throw ValueError("ENVI header " + path + ": unknown data type " + std::to_string(layout.data_type));
  }

  // The data's size must be countable, or the size check against the data
  // file (header offset + data_bytes()) would wrap around and pass.
  int64_t bytes = layout.element_size;
  if (__builtin_mul_overflow(bytes, layout.samples, &bytes) || __builtin_mul_overflow(bytes, layout.lines, &bytes) ||
      __builtin_mul_overflow(bytes, layout.bands, &bytes) || __builtin_add_overflow(bytes, layout.header_offset, &bytes))
    throw ValueError("ENVI header " + path + ": " + std::to_string(layout.lines) + " x " +
                     std::to_string(layout.samples) + " x " + std::to_string(layout.bands) + " values of " +
                     std::to_string(layout.element_size) + " bytes after a header offset of " +
                     std::to_string(layout.header_offset) + " are more bytes than any file holds");

  layout.interleave = header.contains("interleave") ? lower(scalar_text(header, "interleave", path)) : "bsq";
  if (layout.interleave != "bsq" && layout.interleave != "bil" && layout.interleave != "bip")
    throw ValueError("ENVI header " + path + ": unknown interleave '" + layout.interleave +
                     "' (expected bsq, bil or bip)");

  if (header.contains("reflectance scale factor")) {
    const std::string text = scalar_text(header, "reflectance scale factor", path);
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0')
      throw ValueError("ENVI header " + path + ": 'reflectance scale factor' must be a number, got '" + text + "'");
    // Dividing by zero or by a non-finite factor would silently destroy the cube.
    if (v == 0.0 || !std::isfinite(v))
      throw ValueError("ENVI header " + path + ": 'reflectance scale factor' must be a non-zero finite number, got '" +
                       text + "'");
    if (v != 1.0) {
      layout.has_scale = true;
      layout.scale = static_cast<float>(v);
    }
  }
  return layout;
}

}  // namespace lumora::convert
