// A small CSV writer: comma separated, CR LF line ends, a field quoted only
// when it holds a comma, a quote or a line break (Python's csv defaults).
#pragma once

#include <fstream>
#include <string>
#include <vector>

namespace lumora {

class CsvWriter {
 public:
  // Truncates the file, or appends to it when `append` is set.
  explicit CsvWriter(const std::string& path, bool append = false);
  void write_row(const std::vector<std::string>& fields);
  void close();

 private:
  std::string path_;
  std::ofstream out_;
};

// One field as it appears in the file.
std::string csv_field(const std::string& field);

}  // namespace lumora
