// ENVI header text: parsed, then read as a raw-data layout whose byte count
// the loader compares with the data file.
#include <string>

#include "fuzz_target.h"
#include "lumora/convert/envi_header.h"
#include "lumora/core/errors.h"

namespace lumora::fuzz {

void one_input(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const auto header = convert::parse_envi_header(text, "fuzz.hdr");
    const convert::EnviLayout layout = convert::envi_layout(header, "fuzz.hdr");
    volatile int64_t bytes = layout.header_offset + layout.data_bytes();
    (void)bytes;
  } catch (const Error&) {
  }
}

}  // namespace lumora::fuzz
