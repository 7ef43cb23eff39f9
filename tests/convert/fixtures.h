// Real source files for the converter tests: ENVI cubes written byte by
// byte, rasters written with GDAL, HDF5 files written with the HDF5 library.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "lumora/config.h"

namespace lumora::testing {

// The value at (row, column, band).
using CubeValue = std::function<double(int64_t, int64_t, int64_t)>;

struct EnviFixture {
  int64_t lines = 4, samples = 5, bands = 3;
  int data_type = 2;               // ENVI code
  std::string interleave = "bsq";  // bsq, bil, bip
  bool big_endian = false;
  int64_t header_offset = 0;       // bytes of filler before the data
  std::string extra;               // further header lines, each ending in "\n"
  bool write_header = true;
};

// Writes `data_path` (raw values) and `header_path`; values are cast to the
// element type of `data_type`.
void write_envi(const std::string& header_path, const std::string& data_path, const EnviFixture& desc,
                const CubeValue& value);

#if LUMORA_HAVE_GDAL
struct RasterFixture {
  int width = 6, height = 5, bands = 1;
  std::string type = "Byte";                // GDAL type name
  std::string epsg;                         // "32610" for a CRS, empty for none
  std::vector<double> geotransform;         // 6 values, empty for none
  std::vector<std::string> descriptions;    // per band, "" for none
  std::vector<std::pair<std::string, std::string>> tags;                   // dataset tags
  std::vector<std::vector<std::pair<std::string, std::string>>> band_tags;  // per band
  bool nodata = false;
  double nodata_value = 0.0;
  std::vector<std::vector<uint8_t>> palette;  // RGBA entries: a colour table on band 1
};
// Writes a raster with driver "GTiff", "PNG", "BMP" or "JPEG" (the last
// three through a copy, as GDAL writes them).
void write_raster(const std::string& path, const std::string& driver, const RasterFixture& desc,
                  const CubeValue& value);
#endif

#if LUMORA_HAVE_HDF5
// A small writer over the HDF5 C API for test files.
class H5Writer {
 public:
  explicit H5Writer(const std::string& path, bool track_attribute_order = false);
  ~H5Writer();
  H5Writer(const H5Writer&) = delete;
  H5Writer& operator=(const H5Writer&) = delete;

  void group(const std::string& name);
  // Dataset of the given HDF5 native type, row-major values.
  void dataset_f32(const std::string& name, const std::vector<int64_t>& shape, const std::vector<float>& values,
                   bool track_attribute_order = false);
  void dataset_u8(const std::string& name, const std::vector<int64_t>& shape);
  void dataset_i32(const std::string& name, const std::vector<int64_t>& shape, const std::vector<int32_t>& values);
  void dataset_u16(const std::string& name, const std::vector<int64_t>& shape, const std::vector<uint16_t>& values);
  void string_dataset(const std::string& name, const std::vector<std::string>& values);

  // Attributes on `object` ("/" for the root).
  void attr_text(const std::string& object, const std::string& name, const std::string& value);  // variable length
  void attr_fixed(const std::string& object, const std::string& name, const std::string& value, size_t size);
  void attr_f64(const std::string& object, const std::string& name, double value);
  void attr_i64(const std::string& object, const std::string& name, int64_t value);
  void attr_i16_array(const std::string& object, const std::string& name, const std::vector<int16_t>& values);
  void attr_f32_matrix(const std::string& object, const std::string& name, const std::vector<float>& values,
                       int64_t rows, int64_t cols);
  void attr_text_array(const std::string& object, const std::string& name, const std::vector<std::string>& values);

 private:
  long long file_ = -1;
};
#endif

}  // namespace lumora::testing
