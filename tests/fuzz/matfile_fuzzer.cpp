// MAT-file reading: open, list, and load every numeric variable, touching
// every value, then the label-map check on it, as the programs do.
#include <stdexcept>
#include <string>

#include "fuzz_target.h"
#include "memory_file.h"
#include "lumora/core/errors.h"
#include "lumora/io/label_map.h"
#include "lumora/io/matfile.h"

namespace lumora::fuzz {
namespace {

// v7.3 files are HDF5, whose parser is fuzzed upstream; a finding there is
// not ours to mend, so those inputs are skipped.
bool is_v73(const uint8_t* data, size_t size) {
  return size >= 128 && ((data[126] == 'I' && data[127] == 'M' && data[124] == 0 && data[125] == 2) ||
                         (data[126] == 'M' && data[127] == 'I' && data[124] == 2 && data[125] == 0));
}

}  // namespace

void one_input(const uint8_t* data, size_t size) {
  if (is_v73(data, size)) return;
  static MemoryFile file;
  const std::string& path = file.write(data, size);
  try {
    MatFile mat(path);
    for (const auto& v : mat.variables()) {
      if (!v.numeric) continue;
      try {
        const NdArray a = mat.load(v.name, "label map");
        volatile double sum = a.to_float64().sum().item<double>();  // reads every value
        (void)sum;
        check_label_map(a, path, v.name);
      } catch (const Error&) {
        // a refused variable: the others are still read
      }
    }
  } catch (const Error&) {
  }
}

}  // namespace lumora::fuzz
