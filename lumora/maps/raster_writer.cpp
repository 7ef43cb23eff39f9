#include "lumora/maps/raster_writer.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <gdal.h>
#include <ogr_srs_api.h>

#include <torch/torch.h>

#include <filesystem>

#include "lumora/core/atomic_file.h"
#include "lumora/core/errors.h"
#include "lumora/core/gdal_support.h"

namespace lumora::maps {
namespace {

namespace fs = std::filesystem;

using gdal::Dataset;
using gdal::gdal_detail;
using gdal::QuietErrors;
using gdal::register_drivers;

GDALDriverH driver(const char* name) {
  register_drivers();
  GDALDriverH d = GDALGetDriverByName(name);
  if (!d) throw RuntimeError(std::string("this GDAL has no ") + name + " driver");
  return d;
}

void remove_quietly(const std::string& path) {
  std::error_code ec;
  fs::remove(path, ec);
}

// Writes `path` as an AtomicFile: `write` creates and fills the temporary
// file and closes it. GDAL may put a side file (.aux.xml) beside it, which
// takes its final name first; a stale one of an earlier file goes away.
template <typename Write>
void write_through_temporary(const std::string& path, Write&& write) {
  AtomicFile file(path);
  const std::string side = file.temporary() + ".aux.xml";
  try {
    write(file.temporary());
    std::error_code ec;
    if (fs::exists(side, ec)) {
      fs::rename(side, path + ".aux.xml", ec);
      if (ec) throw RuntimeError("cannot write '" + path + "': " + ec.message());
    } else {
      remove_quietly(path + ".aux.xml");
    }
  } catch (...) {
    remove_quietly(side);
    throw;
  }
  file.commit();
}

void check(CPLErr err, const std::string& path) {
  if (err != CE_None) throw RuntimeError("cannot write '" + path + "'" + gdal_detail());
}

void apply_georef(GDALDatasetH ds, const Georef* georef, const std::string& path) {
  if (!georef) return;
  double gt[6];
  std::copy(georef->geotransform.begin(), georef->geotransform.end(), gt);
  check(GDALSetGeoTransform(ds, gt), path);
  for (const std::string& text : georef->crs) {
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    const bool ok = OSRSetFromUserInput(srs, text.c_str()) == OGRERR_NONE;
    if (ok) {
      OSRSetAxisMappingStrategy(srs, OAMS_TRADITIONAL_GIS_ORDER);
      const CPLErr err = GDALSetSpatialRef(ds, srs);
      OSRDestroySpatialReference(srs);
      check(err, path);
      return;
    }
    OSRDestroySpatialReference(srs);
    CPLErrorReset();
  }
}

char** tiff_options() {
  char** options = nullptr;
  options = CSLSetNameValue(options, "COMPRESS", "DEFLATE");
  return options;
}

}  // namespace

void write_rgb_png(const std::string& path, const torch::Tensor& rgb) {
  QuietErrors quiet;
  const torch::Tensor pixels = rgb.to(torch::kCPU, torch::kUInt8).contiguous();
  const int w = static_cast<int>(pixels.size(1)), h = static_cast<int>(pixels.size(0));
  Dataset mem(GDALCreate(driver("MEM"), "", w, h, 3, GDT_Byte, nullptr));
  if (!mem) throw RuntimeError("cannot write '" + path + "'" + gdal_detail());
  int bands[3] = {1, 2, 3};
  check(GDALDatasetRasterIO(mem.get(), GF_Write, 0, 0, w, h, pixels.data_ptr<uint8_t>(), w, h, GDT_Byte, 3, bands,
                            3, 3 * w, 1),
        path);
  write_through_temporary(path, [&](const std::string& tmp) {
    Dataset png(GDALCreateCopy(driver("PNG"), tmp.c_str(), mem.get(), FALSE, nullptr, nullptr, nullptr));
    if (!png) throw RuntimeError("cannot write '" + path + "'" + gdal_detail());
    png.reset();
    if (CPLGetLastErrorType() >= CE_Failure) throw RuntimeError("cannot write '" + path + "'" + gdal_detail());
  });
}

void write_class_geotiff(const std::string& path, const torch::Tensor& ids, const std::vector<Rgb>& colours,
                         const std::vector<std::string>& names, const Georef* georef) {
  QuietErrors quiet;
  const bool byte = colours.size() <= 256;
  // UInt16 ids travel as Int32: LibTorch has no unsigned 16-bit type.
  const torch::Tensor pixels =
      ids.to(torch::kCPU, torch::kLong).clamp(0, byte ? 255 : 65535).to(byte ? torch::kUInt8 : torch::kInt32).contiguous();
  const int w = static_cast<int>(pixels.size(1)), h = static_cast<int>(pixels.size(0));
  write_through_temporary(path, [&](const std::string& tmp) {
    char** options = tiff_options();
    Dataset ds(GDALCreate(driver("GTiff"), tmp.c_str(), w, h, 1, byte ? GDT_Byte : GDT_UInt16, options));
    CSLDestroy(options);
    if (!ds) throw RuntimeError("cannot write '" + path + "'" + gdal_detail());
    apply_georef(ds.get(), georef, path);
    GDALRasterBandH band = GDALGetRasterBand(ds.get(), 1);
    check(GDALRasterIO(band, GF_Write, 0, 0, w, h, pixels.data_ptr(), w, h, byte ? GDT_Byte : GDT_Int32, 0, 0),
          path);
    GDALColorTableH table = GDALCreateColorTable(GPI_RGB);
    for (size_t k = 0; k < colours.size(); ++k) {
      const GDALColorEntry e{colours[k].r, colours[k].g, colours[k].b, 255};
      GDALSetColorEntry(table, static_cast<int>(k), &e);
    }
    const CPLErr table_err = GDALSetRasterColorTable(band, table);
    GDALDestroyColorTable(table);
    check(table_err, path);
    check(GDALSetRasterColorInterpretation(band, GCI_PaletteIndex), path);
    char** list = nullptr;
    for (const auto& n : names) list = CSLAddString(list, n.c_str());
    const CPLErr names_err = GDALSetRasterCategoryNames(band, list);
    CSLDestroy(list);
    check(names_err, path);
    GDALSetDescription(band, "class");
    ds.reset();
    if (CPLGetLastErrorType() >= CE_Failure) throw RuntimeError("cannot write '" + path + "'" + gdal_detail());
  });
}

void write_float_geotiff(const std::string& path, const torch::Tensor& bands,
                         const std::vector<std::string>& descriptions, const Georef* georef) {
  QuietErrors quiet;
  const torch::Tensor values = bands.to(torch::kCPU, torch::kFloat32).contiguous();
  const int k = static_cast<int>(values.size(0)), h = static_cast<int>(values.size(1)),
            w = static_cast<int>(values.size(2));
  write_through_temporary(path, [&](const std::string& tmp) {
    char** options = tiff_options();
    options = CSLSetNameValue(options, "INTERLEAVE", "BAND");
    Dataset ds(GDALCreate(driver("GTiff"), tmp.c_str(), w, h, k, GDT_Float32, options));
    CSLDestroy(options);
    if (!ds) throw RuntimeError("cannot write '" + path + "'" + gdal_detail());
    apply_georef(ds.get(), georef, path);
    for (int b = 0; b < k; ++b) {
      GDALRasterBandH band = GDALGetRasterBand(ds.get(), b + 1);
      check(GDALRasterIO(band, GF_Write, 0, 0, w, h, values[b].data_ptr<float>(), w, h, GDT_Float32, 0, 0), path);
      if (static_cast<size_t>(b) < descriptions.size()) GDALSetDescription(band, descriptions[b].c_str());
    }
    ds.reset();
    if (CPLGetLastErrorType() >= CE_Failure) throw RuntimeError("cannot write '" + path + "'" + gdal_detail());
  });
}

}  // namespace lumora::maps
