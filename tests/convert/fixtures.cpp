#include "fixtures.h"

#include <cstring>
#include <fstream>
#include <stdexcept>

#if LUMORA_HAVE_GDAL
#include <cpl_string.h>
#include <gdal.h>
#include <ogr_srs_api.h>
#endif
#if LUMORA_HAVE_HDF5
#include <hdf5.h>
#endif

namespace lumora::testing {
namespace {

template <class T>
void append_value(std::string& out, double v, bool big_endian) {
  T x = static_cast<T>(v);
  char bytes[sizeof(T)];
  std::memcpy(bytes, &x, sizeof(T));
  if (big_endian)
    for (size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(bytes[i], bytes[sizeof(T) - 1 - i]);
  out.append(bytes, sizeof(T));
}

void append_typed(std::string& out, int data_type, double v, bool big_endian) {
  switch (data_type) {
    case 1: return append_value<uint8_t>(out, v, big_endian);
    case 2: return append_value<int16_t>(out, v, big_endian);
    case 3: return append_value<int32_t>(out, v, big_endian);
    case 4: return append_value<float>(out, v, big_endian);
    case 5: return append_value<double>(out, v, big_endian);
    case 12: return append_value<uint16_t>(out, v, big_endian);
    case 13: return append_value<uint32_t>(out, v, big_endian);
    case 14: return append_value<int64_t>(out, v, big_endian);
    case 15: return append_value<uint64_t>(out, v, big_endian);
    default: throw std::runtime_error("test writer: unknown ENVI data type");
  }
}

void write_all(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace

void write_envi(const std::string& header_path, const std::string& data_path, const EnviFixture& s,
                const CubeValue& value) {
  std::string bytes(static_cast<size_t>(s.header_offset), 'x');
  const int64_t L = s.lines, S = s.samples, B = s.bands;
  if (s.interleave == "bsq") {
    for (int64_t b = 0; b < B; ++b)
      for (int64_t r = 0; r < L; ++r)
        for (int64_t c = 0; c < S; ++c) append_typed(bytes, s.data_type, value(r, c, b), s.big_endian);
  } else if (s.interleave == "bil") {
    for (int64_t r = 0; r < L; ++r)
      for (int64_t b = 0; b < B; ++b)
        for (int64_t c = 0; c < S; ++c) append_typed(bytes, s.data_type, value(r, c, b), s.big_endian);
  } else {
    for (int64_t r = 0; r < L; ++r)
      for (int64_t c = 0; c < S; ++c)
        for (int64_t b = 0; b < B; ++b) append_typed(bytes, s.data_type, value(r, c, b), s.big_endian);
  }
  write_all(data_path, bytes);
  if (!s.write_header) return;
  std::string header = "ENVI\ndescription = {test cube}\n";
  header += "samples = " + std::to_string(S) + "\nlines   = " + std::to_string(L) + "\nbands   = " +
            std::to_string(B) + "\nheader offset = " + std::to_string(s.header_offset) +
            "\nfile type = ENVI Standard\ndata type = " + std::to_string(s.data_type) +
            "\ninterleave = " + s.interleave + "\nbyte order = " + (s.big_endian ? "1" : "0") + "\n" + s.extra;
  write_all(header_path, header);
}

#if LUMORA_HAVE_GDAL
void write_raster(const std::string& path, const std::string& driver_name, const RasterFixture& s,
                  const CubeValue& value) {
  GDALAllRegister();
  const GDALDataType type = GDALGetDataTypeByName(s.type.c_str());
  const bool direct = driver_name == "GTiff";
  GDALDriverH driver = GDALGetDriverByName(direct ? "GTiff" : "MEM");
  GDALDatasetH ds = GDALCreate(driver, direct ? path.c_str() : "", s.width, s.height, s.bands, type, nullptr);
  if (!ds) throw std::runtime_error("cannot create " + path);
  if (!s.geotransform.empty()) {
    std::vector<double> gt(s.geotransform);
    GDALSetGeoTransform(ds, gt.data());
  }
  if (!s.epsg.empty()) {
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    OSRImportFromEPSG(srs, std::stoi(s.epsg));
    GDALSetSpatialRef(ds, srs);
    OSRDestroySpatialReference(srs);
  }
  for (const auto& [k, v] : s.tags) GDALSetMetadataItem(ds, k.c_str(), v.c_str(), nullptr);
  for (int b = 1; b <= s.bands; ++b) {
    GDALRasterBandH band = GDALGetRasterBand(ds, b);
    std::vector<double> values(static_cast<size_t>(s.width) * s.height);
    for (int r = 0; r < s.height; ++r)
      for (int c = 0; c < s.width; ++c) values[static_cast<size_t>(r) * s.width + c] = value(r, c, b - 1);
    if (GDALRasterIO(band, GF_Write, 0, 0, s.width, s.height, values.data(), s.width, s.height, GDT_Float64, 0, 0) !=
        CE_None)
      throw std::runtime_error("cannot write band of " + path);
    if (static_cast<size_t>(b - 1) < s.descriptions.size() && !s.descriptions[b - 1].empty())
      GDALSetDescription(band, s.descriptions[b - 1].c_str());
    if (static_cast<size_t>(b - 1) < s.band_tags.size())
      for (const auto& [k, v] : s.band_tags[b - 1]) GDALSetMetadataItem(band, k.c_str(), v.c_str(), nullptr);
    if (s.nodata && b == 1) GDALSetRasterNoDataValue(band, s.nodata_value);
    if (b == 1 && !s.palette.empty()) {
      GDALColorTableH table = GDALCreateColorTable(GPI_RGB);
      for (size_t i = 0; i < s.palette.size(); ++i) {
        GDALColorEntry e{s.palette[i][0], s.palette[i][1], s.palette[i][2], s.palette[i][3]};
        GDALSetColorEntry(table, static_cast<int>(i), &e);
      }
      GDALSetRasterColorTable(band, table);
      GDALDestroyColorTable(table);
    }
  }
  if (!direct) {
    GDALDatasetH copy = GDALCreateCopy(GDALGetDriverByName(driver_name.c_str()), path.c_str(), ds, FALSE, nullptr,
                                       nullptr, nullptr);
    if (!copy) throw std::runtime_error("cannot write " + path);
    GDALClose(copy);
  }
  GDALClose(ds);
}
#endif

#if LUMORA_HAVE_HDF5
namespace {

std::vector<hsize_t> dims_of(const std::vector<int64_t>& shape) { return {shape.begin(), shape.end()}; }

// Takes identifiers (hid_t, 64-bit) as well as status codes (herr_t): both are negative on failure.
void check(int64_t status, const char* what) {
  if (status < 0) throw std::runtime_error(std::string("HDF5 test writer: ") + what);
}

template <class Fn>
void with_object(long long file, const std::string& object, Fn&& fn) {
  hid_t obj = H5Oopen(static_cast<hid_t>(file), object.c_str(), H5P_DEFAULT);
  if (obj < 0) throw std::runtime_error("HDF5 test writer: no object " + object);
  fn(obj);
  H5Oclose(obj);
}

void write_attr(long long file, const std::string& object, const std::string& name, hid_t type, hid_t space,
                const void* data) {
  with_object(file, object, [&](hid_t obj) {
    hid_t attr = H5Acreate2(obj, name.c_str(), type, space, H5P_DEFAULT, H5P_DEFAULT);
    check(attr, "attribute create");
    check(H5Awrite(attr, type, data), "attribute write");
    H5Aclose(attr);
  });
}

}  // namespace

H5Writer::H5Writer(const std::string& path, bool track) {
  hid_t fcpl = H5Pcreate(H5P_FILE_CREATE);
  if (track) H5Pset_attr_creation_order(fcpl, H5P_CRT_ORDER_TRACKED);
  file_ = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, fcpl, H5P_DEFAULT);
  H5Pclose(fcpl);
  if (file_ < 0) throw std::runtime_error("cannot create " + path);
}

H5Writer::~H5Writer() {
  if (file_ >= 0) H5Fclose(static_cast<hid_t>(file_));
}

void H5Writer::group(const std::string& name) {
  hid_t g = H5Gcreate2(static_cast<hid_t>(file_), name.c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
  check(g, "group create");
  H5Gclose(g);
}

namespace {
void write_dataset(long long file, const std::string& name, const std::vector<int64_t>& shape, hid_t type,
                   const void* data, bool track) {
  const auto dims = dims_of(shape);
  hid_t space = shape.empty() ? H5Screate(H5S_SCALAR) : H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr);
  hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
  if (track) H5Pset_attr_creation_order(dcpl, H5P_CRT_ORDER_TRACKED);
  hid_t ds = H5Dcreate2(static_cast<hid_t>(file), name.c_str(), type, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
  check(ds, "dataset create");
  if (data) check(H5Dwrite(ds, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, data), "dataset write");
  H5Dclose(ds);
  H5Pclose(dcpl);
  H5Sclose(space);
}
}  // namespace

void H5Writer::dataset_f32(const std::string& name, const std::vector<int64_t>& shape,
                           const std::vector<float>& values, bool track) {
  write_dataset(file_, name, shape, H5T_NATIVE_FLOAT, values.data(), track);
}

void H5Writer::dataset_u8(const std::string& name, const std::vector<int64_t>& shape) {
  int64_t n = 1;
  for (auto d : shape) n *= d;
  std::vector<uint8_t> zeros(static_cast<size_t>(n), 0);
  write_dataset(file_, name, shape, H5T_NATIVE_UINT8, zeros.data(), false);
}

void H5Writer::dataset_i32(const std::string& name, const std::vector<int64_t>& shape,
                           const std::vector<int32_t>& values) {
  write_dataset(file_, name, shape, H5T_NATIVE_INT32, values.data(), false);
}

void H5Writer::dataset_u16(const std::string& name, const std::vector<int64_t>& shape,
                           const std::vector<uint16_t>& values) {
  write_dataset(file_, name, shape, H5T_NATIVE_UINT16, values.data(), false);
}

void H5Writer::string_dataset(const std::string& name, const std::vector<std::string>& values) {
  hid_t type = H5Tcopy(H5T_C_S1);
  H5Tset_size(type, H5T_VARIABLE);
  std::vector<const char*> ptrs;
  for (const auto& v : values) ptrs.push_back(v.c_str());
  write_dataset(file_, name, {static_cast<int64_t>(values.size())}, type, ptrs.data(), false);
  H5Tclose(type);
}

void H5Writer::attr_text(const std::string& object, const std::string& name, const std::string& value) {
  hid_t type = H5Tcopy(H5T_C_S1);
  H5Tset_size(type, H5T_VARIABLE);
  H5Tset_cset(type, H5T_CSET_UTF8);
  hid_t space = H5Screate(H5S_SCALAR);
  const char* p = value.c_str();
  write_attr(file_, object, name, type, space, &p);
  H5Sclose(space);
  H5Tclose(type);
}

void H5Writer::attr_fixed(const std::string& object, const std::string& name, const std::string& value, size_t size) {
  hid_t type = H5Tcopy(H5T_C_S1);
  H5Tset_size(type, size);
  H5Tset_strpad(type, H5T_STR_NULLPAD);
  hid_t space = H5Screate(H5S_SCALAR);
  std::string padded = value;
  padded.resize(size, '\0');
  write_attr(file_, object, name, type, space, padded.data());
  H5Sclose(space);
  H5Tclose(type);
}

void H5Writer::attr_f64(const std::string& object, const std::string& name, double value) {
  hid_t space = H5Screate(H5S_SCALAR);
  write_attr(file_, object, name, H5T_NATIVE_DOUBLE, space, &value);
  H5Sclose(space);
}

void H5Writer::attr_i64(const std::string& object, const std::string& name, int64_t value) {
  hid_t space = H5Screate(H5S_SCALAR);
  write_attr(file_, object, name, H5T_NATIVE_INT64, space, &value);
  H5Sclose(space);
}

void H5Writer::attr_i16_array(const std::string& object, const std::string& name,
                              const std::vector<int16_t>& values) {
  hsize_t n = values.size();
  hid_t space = H5Screate_simple(1, &n, nullptr);
  write_attr(file_, object, name, H5T_NATIVE_INT16, space, values.data());
  H5Sclose(space);
}

void H5Writer::attr_f32_matrix(const std::string& object, const std::string& name, const std::vector<float>& values,
                               int64_t rows, int64_t cols) {
  hsize_t dims[2] = {static_cast<hsize_t>(rows), static_cast<hsize_t>(cols)};
  hid_t space = H5Screate_simple(2, dims, nullptr);
  write_attr(file_, object, name, H5T_NATIVE_FLOAT, space, values.data());
  H5Sclose(space);
}

void H5Writer::attr_text_array(const std::string& object, const std::string& name,
                               const std::vector<std::string>& values) {
  hid_t type = H5Tcopy(H5T_C_S1);
  H5Tset_size(type, H5T_VARIABLE);
  hsize_t n = values.size();
  hid_t space = H5Screate_simple(1, &n, nullptr);
  std::vector<const char*> ptrs;
  for (const auto& v : values) ptrs.push_back(v.c_str());
  write_attr(file_, object, name, type, space, ptrs.data());
  H5Sclose(space);
  H5Tclose(type);
}
#endif

}  // namespace lumora::testing
