#include "maps/raster_reading.h"

#include <cpl_conv.h>
#include <cpl_string.h>
#include <gdal.h>
#include <ogr_srs_api.h>

#include <torch/torch.h>

#include <stdexcept>

namespace lumora::testing {

Raster read_raster(const std::string& path) {
  GDALAllRegister();
  GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
  if (!ds) throw std::runtime_error("GDAL cannot read " + path);
  Raster r;
  r.driver = GDALGetDriverShortName(GDALGetDatasetDriver(ds));
  const int w = GDALGetRasterXSize(ds), h = GDALGetRasterYSize(ds), n = GDALGetRasterCount(ds);
  r.values = torch::empty({n, h, w}, torch::kFloat64);
  for (int b = 0; b < n; ++b) {
    GDALRasterBandH band = GDALGetRasterBand(ds, b + 1);
    if (b == 0) r.data_type = GDALGetDataTypeName(GDALGetRasterDataType(band));
    if (GDALRasterIO(band, GF_Read, 0, 0, w, h, r.values[b].data_ptr<double>(), w, h, GDT_Float64, 0, 0) != CE_None)
      throw std::runtime_error("cannot read band of " + path);
    r.descriptions.push_back(GDALGetDescription(band));
  }
  GDALRasterBandH first = GDALGetRasterBand(ds, 1);
  if (GDALColorTableH table = GDALGetRasterColorTable(first)) {
    for (int i = 0; i < GDALGetColorEntryCount(table); ++i) {
      const GDALColorEntry* e = GDALGetColorEntry(table, i);
      r.colour_table.push_back({static_cast<uint8_t>(e->c1), static_cast<uint8_t>(e->c2), static_cast<uint8_t>(e->c3)});
    }
  }
  for (char** p = GDALGetRasterCategoryNames(first); p && *p; ++p) r.category_names.push_back(*p);
  double gt[6];
  if (GDALGetGeoTransform(ds, gt) == CE_None) r.geotransform = std::array<double, 6>{gt[0], gt[1], gt[2], gt[3], gt[4], gt[5]};
  if (const char* wkt = GDALGetProjectionRef(ds)) r.wkt = wkt;
  GDALClose(ds);
  return r;
}

torch::Tensor rgb_of(const Raster& r) { return r.values.permute({1, 2, 0}).to(torch::kUInt8).contiguous(); }

bool same_crs(const std::string& a, const std::string& b) {
  OGRSpatialReferenceH x = OSRNewSpatialReference(nullptr), y = OSRNewSpatialReference(nullptr);
  const bool ok = OSRSetFromUserInput(x, a.c_str()) == OGRERR_NONE && OSRSetFromUserInput(y, b.c_str()) == OGRERR_NONE;
  const bool same = ok && OSRIsSame(x, y);
  OSRDestroySpatialReference(x);
  OSRDestroySpatialReference(y);
  return same;
}

}  // namespace lumora::testing
