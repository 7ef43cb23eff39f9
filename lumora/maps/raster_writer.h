// Raster files of the maps, written with GDAL: RGB PNGs, class-id GeoTIFFs
// with a colour table and category names, float32 GeoTIFFs. Each file is
// written under a temporary name and renamed when complete (with its
// .aux.xml side file, where GDAL keeps what TIFF tags cannot hold), so a
// failed write leaves no partial file behind.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <torch/types.h>

#include "lumora/maps/georef.h"
#include "lumora/maps/palette.h"

namespace lumora::maps {

// (H, W, 3) uint8 -> an 8-bit RGB PNG.
void write_rgb_png(const std::string& path, const torch::Tensor& rgb);

// (H, W) integer class ids (0..65535) -> a one-band GeoTIFF, Byte when every
// id of `colours` fits (up to 256 entries) else UInt16, whose colour table
// entry k is colours[k] and category name k is names[k]; georeferenced
// when `georef` is given (the first of its coordinate systems GDAL reads).
void write_class_geotiff(const std::string& path, const torch::Tensor& ids, const std::vector<Rgb>& colours,
                         const std::vector<std::string>& names, const Georef* georef);

// (K, H, W) real values -> a K-band float32 GeoTIFF, band k described by
// descriptions[k].
void write_float_geotiff(const std::string& path, const torch::Tensor& bands,
                         const std::vector<std::string>& descriptions, const Georef* georef);

}  // namespace lumora::maps
