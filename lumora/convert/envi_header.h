// ENVI header text, read as the header states it: every "key = value" pair
// with its key lower-cased, a value a text, or a list of texts when written
// as a "{...}" list (the description stays one text).
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace lumora::convert {

// The parsed header: keys in the order they first appear.
nlohmann::ordered_json read_envi_header(const std::string& path);
nlohmann::ordered_json parse_envi_header(const std::string& text, const std::string& path);

// The raw-data layout a header describes, checked.
struct EnviLayout {
  int64_t samples = 0;  // columns
  int64_t lines = 0;    // rows
  int64_t bands = 0;
  int64_t header_offset = 0;
  int data_type = 0;          // ENVI's code (1, 2, 3, 4, 5, 12, 13, 14, 15)
  std::string interleave;     // "bsq", "bil" or "bip"
  bool big_endian = false;
  int64_t element_size = 0;   // bytes per value
  bool has_scale = false;     // a reflectance scale factor other than 1
  float scale = 1.0f;

  int64_t data_bytes() const { return samples * lines * bands * element_size; }
};
EnviLayout envi_layout(const nlohmann::ordered_json& header, const std::string& path);

}  // namespace lumora::convert
