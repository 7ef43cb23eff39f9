// The raster readers behind the loaders, one per linked library. Only the
// loaders call these, after _check_dep said the library is there.
#pragma once

#include <string>

#include "lumora/config.h"
#include "lumora/convert/envi_header.h"
#include "lumora/convert/loaders.h"

namespace lumora::convert::detail {

#if LUMORA_HAVE_GDAL
// The cube of an ENVI data file as (lines, samples, bands) float32, read
// with the layout of the header at `header_path`.
NdArray gdal_read_envi(const EnviLayout& layout, const std::string& header_path, const std::string& data_path);
// A raster's bands as (rows, columns, bands) with its metadata.
Loaded gdal_load_raster(const std::string& path);
// A label image: (rows, columns) for one band, (rows, columns, bands) otherwise.
NdArray gdal_read_image(const std::string& path);
// Band 1 of a raster as (rows, columns); `crs` gets the short CRS text or "".
NdArray gdal_read_band1(const std::string& path, std::string& crs);
#endif

#if LUMORA_HAVE_HDF5
Loaded hdf5_load(const std::string& path);
#endif

}  // namespace lumora::convert::detail
