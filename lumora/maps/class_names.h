// Class names for maps, legends and GeoTIFF categories: "class k" unless a
// names file (one name per line, class 1 first) says otherwise.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumora::maps {

// The names of a file given with --class-names: one per line, class 1 on
// the first; line ends CR LF or LF, surrounding blanks dropped. A missing
// file, an empty one or an empty name fails naming the file (and the line).
std::vector<std::string> read_class_names(const std::string& path);

// names[k - 1] when the list has it, else "class k"; "unlabelled" for 0.
std::string class_name(const std::vector<std::string>& names, int64_t k);

// Fails naming the file when `names` (read from `path`) holds fewer names
// than classes 1..max_class need.
void check_class_names(const std::vector<std::string>& names, int64_t max_class, const std::string& path);

}  // namespace lumora::maps
