#include "lumora/core/csv.h"

#include <cerrno>

#include "lumora/core/atomic_file.h"
#include "lumora/core/errors.h"

namespace lumora {

std::string csv_field(const std::string& field) {
  if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
  std::string out = "\"";
  for (char ch : field) {
    if (ch == '"') out += '"';
    out += ch;
  }
  return out + "\"";
}

CsvWriter::CsvWriter(const std::string& path, bool append)
    : path_(path), out_(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc)) {
  if (!out_) throw FileNotFoundError("cannot open '" + path + "' for writing");
}

void CsvWriter::write_row(const std::vector<std::string>& fields) {
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i) line += ',';
    line += csv_field(fields[i]);
  }
  // A row made of one empty field would read back as no row at all.
  if (fields.size() == 1 && fields[0].empty()) line = "\"\"";
  line += "\r\n";
  errno = 0;
  out_ << line;
  if (!out_) throw RuntimeError(write_failure(path_, errno));
}

void CsvWriter::close() {
  errno = 0;
  out_.close();
  if (out_.fail()) throw RuntimeError(write_failure(path_, errno));
}

}  // namespace lumora
