// Reads back a written raster with GDAL, for the tests to compare with what
// was meant to be written.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include <torch/types.h>

#include "lumora/maps/palette.h"

namespace lumora::testing {

struct Raster {
  std::string driver;     // "PNG", "GTiff"
  std::string data_type;  // "Byte", "UInt16", "Float32"
  torch::Tensor values;   // (bands, H, W) float64, every pixel as stored
  std::vector<maps::Rgb> colour_table;  // band 1's, empty when none
  std::vector<std::string> category_names;  // band 1's
  std::vector<std::string> descriptions;    // one per band
  std::optional<std::array<double, 6>> geotransform;
  std::string wkt;  // empty when no coordinate system
};

// Fails the calling test (through an exception) when GDAL cannot read it.
Raster read_raster(const std::string& path);

// (H, W, 3) uint8 from the three bands of an RGB raster.
torch::Tensor rgb_of(const Raster& r);

// Whether two coordinate systems (WKT or "EPSG:n") are the same to GDAL.
bool same_crs(const std::string& a, const std::string& b);

}  // namespace lumora::testing
