// Raster reading on GDAL: ENVI cubes, TIFF/GeoTIFF rasters and label images.
#include "lumora/config.h"

#if LUMORA_HAVE_GDAL

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal.h>
#include <ogr_srs_api.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "lumora/convert/readers.h"
#include "lumora/core/errors.h"
#include "lumora/core/gdal_support.h"
#include "lumora/core/paths.h"

namespace lumora::convert::detail {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

using gdal::Dataset;
using gdal::gdal_detail;
using gdal::QuietErrors;
using gdal::register_drivers;

Dataset open_raster(const std::string& path, const char* const* drivers = nullptr) {
  register_drivers();
  if (!file_exists(path)) throw FileNotFoundError("No such file: '" + path + "'");
  Dataset ds(GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, drivers, nullptr, nullptr));
  if (!ds) throw RuntimeError("cannot read '" + path + "' as a raster" + gdal_detail());
  if (GDALGetRasterCount(ds.get()) < 1) throw RuntimeError("'" + path + "' holds no raster band");
  return ds;
}

struct ElementType {
  GDALDataType gdal;
  DType dtype;
};

// The element type a band is read in, as numpy names it.
ElementType band_type(GDALRasterBandH band, const std::string& path) {
  const GDALDataType t = GDALGetRasterDataType(band);
  switch (t) {
    case GDT_Byte: {
      // Before GDAL's own Int8, signed bytes are Byte with this marker.
      const char* pixel = GDALGetMetadataItem(band, "PIXELTYPE", "IMAGE_STRUCTURE");
      if (pixel && EQUAL(pixel, "SIGNEDBYTE")) return {GDT_Byte, DType::Int8};
      return {GDT_Byte, DType::UInt8};
    }
#if GDAL_VERSION_NUM >= GDAL_COMPUTE_VERSION(3, 7, 0)
    case GDT_Int8: return {GDT_Int8, DType::Int8};
#endif
    case GDT_UInt16: return {GDT_UInt16, DType::UInt16};
    case GDT_Int16: return {GDT_Int16, DType::Int16};
    case GDT_UInt32: return {GDT_UInt32, DType::UInt32};
    case GDT_Int32: return {GDT_Int32, DType::Int32};
#if GDAL_VERSION_NUM >= GDAL_COMPUTE_VERSION(3, 5, 0)
    case GDT_UInt64: return {GDT_UInt64, DType::UInt64};
    case GDT_Int64: return {GDT_Int64, DType::Int64};
#endif
    case GDT_Float32: return {GDT_Float32, DType::Float32};
    case GDT_Float64: return {GDT_Float64, DType::Float64};
    default: break;
  }
  throw ValueError("'" + path + "' holds " + GDALGetDataTypeName(t) +
                   " values; only real numeric rasters can be converted");
}

// Reads the bands into a (rows, columns, bands) array laid out column-major,
// the order a MAT-file stores, so that writing it needs no second copy.
NdArray read_bands(GDALDatasetH ds, const std::vector<int>& bands, GDALDataType buffer_type, DType dtype,
                   const std::string& path) {
  const int64_t w = GDALGetRasterXSize(ds), h = GDALGetRasterYSize(ds);
  const int64_t c = static_cast<int64_t>(bands.size());
  NdArray a = NdArray::zeros(dtype, {h, w, c});
  a.strides = {1, h, h * w};
  const int64_t size = static_cast<int64_t>(dtype_size(dtype));
  std::vector<int> band_list(bands);
  // In bands of rows, dropping GDAL's block cache after each: otherwise the
  // cache keeps a second copy of the whole file until the dataset closes.
  int block_x = 0, block_y = 0;
  GDALGetBlockSize(GDALGetRasterBand(ds, bands.front()), &block_x, &block_y);
  const int64_t step = std::max<int64_t>(1, block_y) * std::max<int64_t>(1, 64 / std::max(1, block_y));
  for (int64_t y0 = 0; y0 < h; y0 += step) {
    const int64_t rows = std::min(step, h - y0);
    CPLErrorReset();
    const CPLErr err = GDALDatasetRasterIOEx(
        ds, GF_Read, 0, static_cast<int>(y0), static_cast<int>(w), static_cast<int>(rows),
        static_cast<uint8_t*>(a.data) + y0 * size, static_cast<int>(w), static_cast<int>(rows), buffer_type,
        static_cast<int>(c), band_list.data(), size * h, size, size * h * w, nullptr);
    if (err != CE_None) throw RuntimeError("cannot read the raster data of '" + path + "'" + gdal_detail());
    GDALFlushCache(ds);
  }
  return a;
}

std::vector<int> all_bands(GDALDatasetH ds) {
  std::vector<int> bands(GDALGetRasterCount(ds));
  for (size_t i = 0; i < bands.size(); ++i) bands[i] = static_cast<int>(i) + 1;
  return bands;
}

// The CRS as its short text (AUTHORITY:CODE when it has one, else WKT) and WKT.
bool crs_texts(GDALDatasetH ds, std::string& short_text, std::string& wkt) {
  OGRSpatialReferenceH srs = GDALGetSpatialRef(ds);
  if (!srs) return false;
  char* text = nullptr;
  if (OSRExportToWkt(srs, &text) == OGRERR_NONE && text) wkt = text;
  CPLFree(text);
  if (wkt.empty()) return false;
  const char* auth = OSRGetAuthorityName(srs, nullptr);
  const char* code = OSRGetAuthorityCode(srs, nullptr);
  short_text = auth && code ? std::string(auth) + ":" + code : wkt;
  return !short_text.empty();
}

json tag_map(char** list) {
  json tags = json::object();
  for (char** p = list; p && *p; ++p) {
    char* key = nullptr;
    const char* value = CPLParseNameValue(*p, &key);
    if (key) tags[key] = value ? value : "";
    CPLFree(key);
  }
  return tags;
}

// Opens an ENVI data file with GDAL's ENVI driver when that driver reads
// the same header we did; GDAL picks a header by its own naming rules
// (x.hdr before x.img.hdr), so it can land on another one.
Dataset open_envi_driver(const std::string& header_path, const std::string& data_path) {
  const char* const drivers[] = {"ENVI", nullptr};
  Dataset ds(GDALOpenEx(data_path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, drivers, nullptr, nullptr));
  if (!ds) return nullptr;
  char** files = GDALGetFileList(ds.get());
  bool same = false;
  for (char** p = files; p && *p && !same; ++p) {
    std::error_code ec;
    same = fs::equivalent(*p, header_path, ec);
  }
  CSLDestroy(files);
  if (!same) ds.reset();
  return ds;
}

std::string xml_escaped(const std::string& text) {
  char* esc = CPLEscapeString(text.c_str(), -1, CPLES_XML);
  std::string out = esc;
  CPLFree(esc);
  return out;
}

// GDAL's name of an ENVI data type.
std::string envi_gdal_type(int data_type) {
  static const std::pair<int, const char*> kTypes[] = {
      {1, "Byte"},   {2, "Int16"},  {3, "Int32"},  {4, "Float32"}, {5, "Float64"},
      {12, "UInt16"}, {13, "UInt32"}, {14, "Int64"}, {15, "UInt64"}};
  for (const auto& [code, name] : kTypes)
    if (code == data_type) return name;
  return "";
}

// Otherwise the header's layout is handed to GDAL's raw band reader directly.
Dataset open_envi_raw(const EnviLayout& l, const std::string& data_path) {
  const std::string type = envi_gdal_type(l.data_type);
  const int64_t size = l.element_size;
  const std::string source = xml_escaped(fs::absolute(data_path).string());
  std::string xml = "<VRTDataset rasterXSize=\"" + std::to_string(l.samples) + "\" rasterYSize=\"" +
                    std::to_string(l.lines) + "\">";
  for (int64_t b = 0; b < l.bands; ++b) {
    int64_t image_offset = l.header_offset, pixel_offset = size, line_offset = size * l.samples;
    if (l.interleave == "bsq") {
      image_offset += b * l.lines * l.samples * size;
    } else if (l.interleave == "bil") {
      image_offset += b * l.samples * size;
      line_offset = size * l.samples * l.bands;
    } else {  // bip
      image_offset += b * size;
      pixel_offset = size * l.bands;
      line_offset = size * l.samples * l.bands;
    }
    xml += "<VRTRasterBand dataType=\"" + type + "\" band=\"" + std::to_string(b + 1) +
           "\" subClass=\"VRTRawRasterBand\"><SourceFilename relativeToVRT=\"0\">" + source +
           "</SourceFilename><ImageOffset>" + std::to_string(image_offset) + "</ImageOffset><PixelOffset>" +
           std::to_string(pixel_offset) + "</PixelOffset><LineOffset>" + std::to_string(line_offset) +
           "</LineOffset><ByteOrder>" + (l.big_endian ? "MSB" : "LSB") + "</ByteOrder></VRTRasterBand>";
  }
  xml += "</VRTDataset>";
  // Newer GDAL versions restrict raw sources of VRTs not read from a file;
  // this description is ours, so allow it for this one open.
  CPLSetThreadLocalConfigOption("GDAL_VRT_RAWRASTERBAND_ALLOWED_SOURCE", "ALL");
  Dataset ds(GDALOpenEx(xml.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr));
  CPLSetThreadLocalConfigOption("GDAL_VRT_RAWRASTERBAND_ALLOWED_SOURCE", nullptr);
  return ds;
}

}  // namespace

NdArray gdal_read_envi(const EnviLayout& layout, const std::string& header_path, const std::string& data_path) {
  register_drivers();
  QuietErrors quiet;
  std::error_code ec;
  const auto file_size = fs::file_size(data_path, ec);
  if (ec) throw FileNotFoundError("No such file: '" + data_path + "'");
  const int64_t needed = layout.header_offset + layout.data_bytes();
  if (static_cast<int64_t>(file_size) < needed)
    throw ValueError("ENVI data file " + data_path + " holds " + std::to_string(file_size) + " bytes, but its header " +
                     header_path + " describes " + std::to_string(needed) + " (header offset " +
                     std::to_string(layout.header_offset) + " + " + std::to_string(layout.lines) + " x " +
                     std::to_string(layout.samples) + " x " + std::to_string(layout.bands) + " values of " +
                     std::to_string(layout.element_size) + " bytes)");

  Dataset ds = open_envi_driver(header_path, data_path);
  if (ds) {
    // The driver must see the layout we parsed; anything else is a header
    // this program would misreport.
    const GDALDataType t = GDALGetRasterDataType(GDALGetRasterBand(ds.get(), 1));
    if (GDALGetRasterXSize(ds.get()) != layout.samples || GDALGetRasterYSize(ds.get()) != layout.lines ||
        GDALGetRasterCount(ds.get()) != layout.bands ||
        envi_gdal_type(layout.data_type) != GDALGetDataTypeName(t))
      ds.reset();
  }
  if (!ds) ds = open_envi_raw(layout, data_path);
  if (!ds) throw RuntimeError("cannot read ENVI data file '" + data_path + "'" + gdal_detail());
  NdArray cube = read_bands(ds.get(), all_bands(ds.get()), GDT_Float32, DType::Float32, data_path);
  if (layout.has_scale) {
    // float32 / float32, value by value, as the reflectance values are defined.
    float* p = static_cast<float*>(cube.data);
    const int64_t n = cube.numel();
    const float s = layout.scale;
    for (int64_t i = 0; i < n; ++i) p[i] = p[i] / s;
  }
  return cube;
}

Loaded gdal_load_raster(const std::string& path) {
  QuietErrors quiet;
  Dataset ds = open_raster(path);
  GDALDatasetH h = ds.get();
  GDALRasterBandH first = GDALGetRasterBand(h, 1);
  const ElementType type = band_type(first, path);
  NdArray data = read_bands(h, all_bands(h), type.gdal, type.dtype, path);

  json meta = json::object();
  GDALDriverH driver = GDALGetDatasetDriver(h);
  meta["driver"] = driver ? GDALGetDriverShortName(driver) : "";
  meta["dtype"] = dtype_name(type.dtype);
  int has_nodata = 0;
  const double nodata = GDALGetRasterNoDataValue(first, &has_nodata);
  meta["nodata"] = has_nodata ? json(nodata) : json(nullptr);
  const int64_t width = GDALGetRasterXSize(h), height = GDALGetRasterYSize(h);
  const int count = GDALGetRasterCount(h);
  meta["width"] = width;
  meta["height"] = height;
  meta["count"] = count;
  std::string crs, wkt;
  if (crs_texts(h, crs, wkt)) {
    meta["crs"] = crs;
    meta["crs_wkt"] = wkt;
  }
  // Without georeferencing GDAL reports the identity transform, as the
  // affine reading of pixel coordinates.
  double gt[6] = {0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
  if (GDALGetGeoTransform(h, gt) != CE_None) {
    gt[0] = 0.0, gt[1] = 1.0, gt[2] = 0.0, gt[3] = 0.0, gt[4] = 0.0, gt[5] = 1.0;
  }
  const double a = gt[1], b = gt[2], c = gt[0], d = gt[4], e = gt[5], f = gt[3];
  meta["transform"] = json::array({a, b, c, d, e, f});
  json bounds = json::object();
  if (b == 0.0 && d == 0.0) {
    bounds["left"] = c;
    bounds["bottom"] = f + e * static_cast<double>(height);
    bounds["right"] = c + a * static_cast<double>(width);
    bounds["top"] = f;
  } else {
    const double cols = static_cast<double>(width), rows = static_cast<double>(height);
    const double xs[4] = {c, c + b * rows, c + a * cols + b * rows, c + a * cols};
    const double ys[4] = {f, f + e * rows, f + d * cols + e * rows, f + d * cols};
    bounds["left"] = *std::min_element(xs, xs + 4);
    bounds["bottom"] = *std::min_element(ys, ys + 4);
    bounds["right"] = *std::max_element(xs, xs + 4);
    bounds["top"] = *std::max_element(ys, ys + 4);
  }
  meta["bounds"] = bounds;

  json descriptions = json::array();
  bool any_description = false;
  json band_tags = json::object();
  for (int i = 1; i <= count; ++i) {
    GDALRasterBandH band = GDALGetRasterBand(h, i);
    const char* desc = GDALGetDescription(band);
    if (desc && *desc) {
      descriptions.push_back(desc);
      any_description = true;
    } else {
      descriptions.push_back(nullptr);
    }
    json tags = tag_map(GDALGetMetadata(band, nullptr));
    if (!tags.empty()) band_tags[std::to_string(i)] = tags;
  }
  if (any_description) meta["band_descriptions"] = descriptions;
  json tags = tag_map(GDALGetMetadata(h, nullptr));
  if (!tags.empty()) meta["tags"] = tags;
  if (!band_tags.empty()) meta["band_tags"] = band_tags;
  meta["_source_format"] = meta.contains("crs") && !meta["crs"].get<std::string>().empty() ? "GeoTIFF" : "TIFF";
  meta["_source_file"] = absolute_path(path);
  return {data, meta};
}

NdArray gdal_read_image(const std::string& path) {
  QuietErrors quiet;
  Dataset ds = open_raster(path);
  const ElementType type = band_type(GDALGetRasterBand(ds.get(), 1), path);
  NdArray a = read_bands(ds.get(), all_bands(ds.get()), type.gdal, type.dtype, path);
  if (a.shape[2] == 1) {
    a.shape.pop_back();
    a.strides.pop_back();
  }
  return a;
}

NdArray gdal_read_band1(const std::string& path, std::string& crs) {
  QuietErrors quiet;
  Dataset ds = open_raster(path);
  const ElementType type = band_type(GDALGetRasterBand(ds.get(), 1), path);
  NdArray a = read_bands(ds.get(), {1}, type.gdal, type.dtype, path);
  a.shape.pop_back();
  a.strides.pop_back();
  std::string wkt;
  crs.clear();
  crs_texts(ds.get(), crs, wkt);
  return a;
}

}  // namespace lumora::convert::detail

#endif  // LUMORA_HAVE_GDAL
