// Format detection, the loaders and the JSON writer, on real files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "fixtures.h"
#include "lumora/config.h"
#include "lumora/convert/array_ops.h"
#include "lumora/convert/envi_header.h"
#include "lumora/convert/loaders.h"
#include "lumora/convert/pyjson.h"
#include "lumora/core/errors.h"
#include "lumora/io/matfile.h"
#include "support/testing.h"

#if LUMORA_HAVE_GDAL
#include <gdal.h>
#endif

namespace lumora {
namespace {

using convert::Metadata;
using json = nlohmann::ordered_json;
namespace fs = std::filesystem;

std::vector<std::string> keys_of(const json& obj) {
  std::vector<std::string> keys;
  for (auto it = obj.begin(); it != obj.end(); ++it) keys.push_back(it.key());
  return keys;
}

template <class T>
T at(const NdArray& a, std::vector<int64_t> idx) {
  int64_t off = 0;
  for (size_t i = 0; i < idx.size(); ++i) off += idx[i] * a.strides[i];
  return static_cast<const T*>(a.data)[off];
}

using testing::error_of;

// ---------------------------------------------------------------- detection

TEST(DetectFormat, ExtensionsAreLowerCasedAndNcIsHdf5) {
  EXPECT_EQ(convert::_detect_format("a/scene.hdr"), "envi");
  EXPECT_EQ(convert::_detect_format("scene.img"), "envi");
  EXPECT_EQ(convert::_detect_format("scene.LAN"), "envi");
  EXPECT_EQ(convert::_detect_format("scene.tif"), "tiff");
  EXPECT_EQ(convert::_detect_format("scene.TIFF"), "tiff");
  EXPECT_EQ(convert::_detect_format("scene.H5"), "hdf5");
  EXPECT_EQ(convert::_detect_format("scene.hdf5"), "hdf5");
  EXPECT_EQ(convert::_detect_format("scene.he5"), "hdf5");
  EXPECT_EQ(convert::_detect_format("scene.hdf"), "hdf5");
  EXPECT_EQ(convert::_detect_format("scene.nc"), "hdf5");
  EXPECT_EQ(convert::_detect_format("scene.NC"), "hdf5");
  EXPECT_EQ(convert::kExtensionFormats.size(), 9u);
  EXPECT_EQ(convert::kImageLoaders.size(), 3u);
}

TEST(DetectFormat, UnknownExtensionsNameTheSupportedFormats) {
  EXPECT_EQ(error_of<std::exception>([] { convert::_detect_format("scene.xyz"); }),
            "Unrecognised file extension '.xyz'. Supported: envi, hdf5, tiff");
  EXPECT_EQ(error_of<std::exception>([] { convert::_detect_format("dir.v2/scene"); }),
            "Unrecognised file extension ''. Supported: envi, hdf5, tiff");
  // Raw ENVI data files are only read through their header.
  EXPECT_EQ(error_of<std::exception>([] { convert::_detect_format("cube.bsq"); }),
            "Unrecognised file extension '.bsq'. Supported: envi, hdf5, tiff");
  EXPECT_EQ(error_of<std::exception>([] { convert::_detect_format("cube.DAT"); }),
            "Unrecognised file extension '.dat'. Supported: envi, hdf5, tiff");
  EXPECT_THROW(convert::_detect_format("scene.xyz"), ValueError);
}

TEST(DetectFormat, DatasetSpecifiersAreStripped) {
  EXPECT_EQ(convert::_strip_dataset_specifier("cube.h5:/data/radiance"), "cube.h5");
  EXPECT_EQ(convert::_strip_dataset_specifier("cube.h5::/data/radiance"), "cube.h5");
  EXPECT_EQ(convert::_strip_dataset_specifier("cube.h5::radiance"), "cube.h5");
  EXPECT_EQ(convert::_strip_dataset_specifier("/abs/cube.h5"), "/abs/cube.h5");
  EXPECT_EQ(convert::_strip_dataset_specifier("s3://bucket/cube.h5"), "s3://bucket/cube.h5");
  EXPECT_EQ(convert::_detect_format("cube.h5:/data/radiance"), "hdf5");
  EXPECT_EQ(convert::_detect_format("cube.nc::/data"), "hdf5");

  auto [p1, k1] = convert::split_dataset_specifier("cube.h5:/data/radiance");
  EXPECT_EQ(p1, "cube.h5");
  EXPECT_EQ(k1.value(), "data/radiance");
  auto [p2, k2] = convert::split_dataset_specifier("cube.h5::/data/radiance");
  EXPECT_EQ(p2, "cube.h5");
  EXPECT_EQ(k2.value(), "/data/radiance");
  auto [p3, k3] = convert::split_dataset_specifier("http://host/cube.h5");
  EXPECT_EQ(p3, "http://host/cube.h5");
  EXPECT_FALSE(k3.has_value());
}

TEST(DetectFormat, DriveLetterColonIsCutLikeASpecifier) {
  EXPECT_EQ(convert::_strip_dataset_specifier("C:/data/scene.tif"), "C");
  EXPECT_EQ(error_of<std::exception>([] { convert::_detect_format("C:/data/scene.tif"); }),
            "Unrecognised file extension ''. Supported: envi, hdf5, tiff");
}

TEST(Paths, SplitExtFollowsPythonRules) {
  using P = std::pair<std::string, std::string>;
  EXPECT_EQ(convert::split_ext("a/x.img.hdr"), (P{"a/x.img", ".hdr"}));
  EXPECT_EQ(convert::split_ext("a/.hdr"), (P{"a/.hdr", ""}));
  EXPECT_EQ(convert::split_ext("a.b/c"), (P{"a.b/c", ""}));
  EXPECT_EQ(convert::split_ext("..x"), (P{"..x", ""}));
  EXPECT_EQ(convert::split_ext("x."), (P{"x", "."}));
  EXPECT_EQ(convert::absolute_path("/a/b/../c/"), "/a/c");
}

// ---------------------------------------------------------------- dependency check

TEST(CheckDep, LinkedReadersPassAndOthersPrintTheInstallHint) {
#if LUMORA_HAVE_GDAL
  EXPECT_NO_THROW(convert::_check_dep("GDAL"));
#endif
#if LUMORA_HAVE_HDF5
  EXPECT_NO_THROW(convert::_check_dep("HDF5"));
#endif
  ::testing::internal::CaptureStdout();
  try {
    convert::_check_dep("netCDF");
    ADD_FAILURE() << "no error";
  } catch (const convert::MissingDependency& e) {
    EXPECT_EQ(e.name(), "netCDF");
  }
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");  // the command prints, not the library
  // Colour codes are empty off a terminal.
  EXPECT_EQ(convert::missing_dependency_text("GDAL"),
            "\n  Missing dependency: GDAL\n  Install it with:  sudo apt-get install libgdal-dev\n"
            "  Then rebuild lumora:  cmake -DLUMORA_WITH_GDAL=ON <build-dir> && cmake --build <build-dir>\n");
  EXPECT_EQ(convert::missing_dependency_text("HDF5"),
            "\n  Missing dependency: HDF5\n  Install it with:  sudo apt-get install libhdf5-dev\n"
            "  Then rebuild lumora:  cmake -DLUMORA_WITH_HDF5=ON <build-dir> && cmake --build <build-dir>\n");
}

// ---------------------------------------------------------------- ENVI header text

TEST(EnviHeader, KeepsTextsListsAndTheDescription) {
  const std::string text =
      "ENVI\n"
      "description = {\n  A scene, with commas.\n  [Mon Jan 1 2024]}\n"
      "Samples = 5\n"
      "wavelength = {\n 400.5, 410 ,\n 420}\n"
      "; a comment = ignored\n"
      "band names = {a, b,c}\n"
      "default bands = {}\n"
      "no equals sign here\n"
      "map info = {UTM, 1.0, 1.0}\r\n";
  const json h = convert::parse_envi_header(text, "t.hdr");
  EXPECT_EQ(keys_of(h), (std::vector<std::string>{"description", "samples", "wavelength", "band names",
                                                  "default bands", "map info"}));
  EXPECT_EQ(h["description"], "A scene, with commas.\n[Mon Jan 1 2024]");
  EXPECT_EQ(h["samples"], "5");
  EXPECT_EQ(h["wavelength"], json({"400.5", "410", "420"}));
  EXPECT_EQ(h["band names"], json({"a", "b", "c"}));
  EXPECT_EQ(h["default bands"], json({""}));
  EXPECT_EQ(h["map info"], json({"UTM", "1.0", "1.0"}));
}

TEST(EnviHeader, RejectsWhatIsNotAHeader) {
  EXPECT_EQ(error_of<std::exception>([] { convert::parse_envi_header("samples = 3\n", "x.hdr"); }),
            "File does not appear to be an ENVI header: x.hdr (its first line is not 'ENVI')");
  EXPECT_EQ(error_of<std::exception>([] { convert::parse_envi_header("ENVI\nwavelength = {1, 2\n3\n", "x.hdr"); }),
            "ENVI header x.hdr: the list of 'wavelength' has no closing '}'");
  const json no_type = convert::parse_envi_header("ENVI\nsamples = 2\nlines = 2\nbands = 1\n", "x.hdr");
  EXPECT_EQ(error_of<std::exception>([&] { convert::envi_layout(no_type, "x.hdr"); }),
            "ENVI header x.hdr lacks the required field 'data type'");
  const json bad = convert::parse_envi_header("ENVI\nsamples = 2.5\nlines = 2\nbands = 1\ndata type = 2\n", "x.hdr");
  EXPECT_EQ(error_of<std::exception>([&] { convert::envi_layout(bad, "x.hdr"); }),
            "ENVI header x.hdr: 'samples' must be an integer, got '2.5'");
  const json zero = convert::parse_envi_header(
      "ENVI\nsamples = 2\nlines = 2\nbands = 1\ndata type = 2\nreflectance scale factor = 0\n", "x.hdr");
  EXPECT_THROW(convert::envi_layout(zero, "x.hdr"), ValueError);
  const json complex = convert::parse_envi_header("ENVI\nsamples = 2\nlines = 2\nbands = 1\ndata type = 6\n", "x.hdr");
  EXPECT_THROW(convert::envi_layout(complex, "x.hdr"), ValueError);
}

#if LUMORA_HAVE_GDAL

double cube_value(int64_t r, int64_t c, int64_t b) { return static_cast<double>(r * 1000 + c * 10 + b) - 300.0; }

void expect_cube(const NdArray& a, int64_t lines, int64_t samples, int64_t bands, float scale = 1.0f) {
  ASSERT_EQ(a.dtype, DType::Float32);
  ASSERT_EQ(a.shape, (std::vector<int64_t>{lines, samples, bands}));
  for (int64_t r = 0; r < lines; ++r)
    for (int64_t c = 0; c < samples; ++c)
      for (int64_t b = 0; b < bands; ++b) {
        const float expected = scale == 1.0f ? static_cast<float>(cube_value(r, c, b))
                                             : static_cast<float>(cube_value(r, c, b)) / scale;
        ASSERT_EQ(at<float>(a, {r, c, b}), expected) << r << "," << c << "," << b;
      }
}

class EnviInterleave : public ::testing::TestWithParam<std::string> {};

TEST_P(EnviInterleave, ReadsWithOffsetAndReflectanceScale) {
  testing::TempDir dir;
  testing::EnviFixture desc;
  desc.interleave = GetParam();
  desc.header_offset = 37;
  desc.extra = "reflectance scale factor = 1000\nwavelength units = nm\nwavelength = {400, 404.5, 409.25}\n"
               "band names = {b1, b2, b3}\nsensor type = Test\nfile type = ignored\n";
  testing::write_envi(dir.file("cube.hdr"), dir.file("cube.img"), desc, cube_value);
  auto [cube, meta] = convert::_load_envi(dir.file("cube.hdr"));
  expect_cube(cube, 4, 5, 3, 1000.0f);
  EXPECT_EQ(keys_of(meta), (std::vector<std::string>{"description", "samples", "lines", "bands", "header offset",
                                                     "data type", "interleave", "byte order", "wavelength",
                                                     "wavelength units", "band names", "reflectance scale factor",
                                                     "sensor type", "_source_format", "_source_file"}));
  EXPECT_EQ(meta["description"], "test cube");
  EXPECT_EQ(meta["samples"], "5");
  EXPECT_EQ(meta["header offset"], "37");
  EXPECT_EQ(meta["interleave"], GetParam());
  EXPECT_EQ(meta["wavelength"], json({"400", "404.5", "409.25"}));
  EXPECT_EQ(meta["reflectance scale factor"], "1000");
  EXPECT_EQ(meta["_source_format"], "ENVI");
  EXPECT_EQ(meta["_source_file"], fs::canonical(dir.file("cube.hdr")).string());
}

INSTANTIATE_TEST_SUITE_P(AllInterleaves, EnviInterleave, ::testing::Values("bsq", "bil", "bip"));

TEST(Envi, BigEndianUnsignedAndDoubleTypes) {
  testing::TempDir dir;
  testing::EnviFixture u16;
  u16.data_type = 12;
  u16.big_endian = true;
  u16.interleave = "bip";
  auto positive = [](int64_t r, int64_t c, int64_t b) { return static_cast<double>(40000 + r * 100 + c * 10 + b); };
  testing::write_envi(dir.file("u.hdr"), dir.file("u.dat"), u16, positive);
  auto [a, meta] = convert::_load_envi(dir.file("u.hdr"));
  EXPECT_EQ(meta["byte order"], "1");
  EXPECT_EQ(meta["data type"], "12");
  EXPECT_EQ(at<float>(a, {3, 4, 2}), 40342.0f);
  EXPECT_EQ(at<float>(a, {0, 0, 0}), 40000.0f);

  testing::EnviFixture f64;
  f64.data_type = 5;
  f64.interleave = "bil";
  auto fractional = [](int64_t r, int64_t c, int64_t b) { return static_cast<double>(64 * r + 8 * c + b) / 64.0; };
  testing::write_envi(dir.file("f.hdr"), dir.file("f.bil"), f64, fractional);
  auto [f, fmeta] = convert::_load_envi(dir.file("f.hdr"));
  EXPECT_EQ(f.dtype, DType::Float32);
  EXPECT_EQ(at<float>(f, {2, 3, 1}), static_cast<float>(2 + 3 / 8.0 + 1 / 64.0));
}

TEST(Envi, DataFileGivenDirectlyNeedsItsHeader) {
  testing::TempDir dir;
  testing::write_envi(dir.file("scene.hdr"), dir.file("scene.img"), {}, cube_value);
  auto [cube, meta] = convert::_load_envi(dir.file("scene.img"));
  expect_cube(cube, 4, 5, 3);
  EXPECT_EQ(meta["_source_file"], fs::canonical(dir.file("scene.hdr")).string());

  testing::EnviFixture headerless;
  headerless.write_header = false;
  testing::write_envi("", dir.file("lonely.img"), headerless, cube_value);
  const std::string err = error_of<std::exception>([&] { convert::_load_envi(dir.file("lonely.img")); });
  EXPECT_EQ(err, "Cannot find ENVI header: " + dir.file("lonely.hdr") +
                     "\nENVI files require a .hdr header alongside the data file.");
  EXPECT_THROW(convert::_load_envi(dir.file("lonely.img")), FileNotFoundError);
}

TEST(Envi, HeaderNamedAfterTheDataFileWinsOverAnotherHeader) {
  // GDAL's own naming rule would prefer x.hdr for x.img; the header given is the one read.
  for (const std::string interleave : {"bsq", "bil", "bip"}) {
    SCOPED_TRACE(interleave);
    testing::TempDir dir;
    testing::EnviFixture desc;
    desc.interleave = interleave;
    desc.header_offset = 13;
    desc.big_endian = interleave == "bip";
    testing::write_envi(dir.file("x.img.hdr"), dir.file("x.img"), desc, cube_value);
    testing::EnviFixture decoy;
    decoy.lines = 2;
    decoy.samples = 2;
    decoy.bands = 1;
    testing::write_envi(dir.file("x.hdr"), dir.file("decoy.raw"), decoy, cube_value);
    auto [cube, meta] = convert::_load_envi(dir.file("x.img.hdr"));
    expect_cube(cube, 4, 5, 3);
    EXPECT_EQ(meta["interleave"], interleave);
  }
}

TEST(Envi, DataFileCandidatesAndFailures) {
  testing::TempDir dir;
  testing::write_envi(dir.file("s.hdr"), dir.file("s.bip"), [] {
    testing::EnviFixture s;
    s.interleave = "bip";
    return s;
  }(), cube_value);
  auto [cube, meta] = convert::_load_envi(dir.file("s.hdr"));
  expect_cube(cube, 4, 5, 3);

  testing::TempDir empty;
  testing::write_envi(empty.file("n.hdr"), empty.file("elsewhere.bin"), {}, cube_value);
  EXPECT_THROW(convert::_load_envi(empty.file("n.hdr")), FileNotFoundError);
  EXPECT_EQ(error_of<std::exception>([&] { convert::_load_envi(empty.file("missing.hdr")); }),
            "No such file: '" + empty.file("missing.hdr") + "'");

  testing::TempDir small;
  testing::write_envi(small.file("t.hdr"), small.file("t.img"), {}, cube_value);
  fs::resize_file(small.file("t.img"), 50);
  EXPECT_EQ(error_of<std::exception>([&] { convert::_load_envi(small.file("t.hdr")); }),
            "ENVI data file " + small.file("t.img") + " holds 50 bytes, but its header " + small.file("t.hdr") +
                " describes 120 (header offset 0 + 4 x 5 x 3 values of 2 bytes)");
}

TEST(Envi, ReadsAHeaderGdalWrote) {
  testing::TempDir dir;
  GDALAllRegister();
  char* options[] = {const_cast<char*>("INTERLEAVE=BIL"), nullptr};
  GDALDatasetH ds = GDALCreate(GDALGetDriverByName("ENVI"), dir.file("g.img").c_str(), 5, 4, 3, GDT_Int16, options);
  ASSERT_NE(ds, nullptr);
  for (int b = 1; b <= 3; ++b) {
    std::vector<double> v(20);
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 5; ++c) v[r * 5 + c] = cube_value(r, c, b - 1);
    ASSERT_EQ(GDALRasterIO(GDALGetRasterBand(ds, b), GF_Write, 0, 0, 5, 4, v.data(), 5, 4, GDT_Float64, 0, 0),
              CE_None);
    GDALSetDescription(GDALGetRasterBand(ds, b), ("band " + std::to_string(b)).c_str());
  }
  GDALClose(ds);
  auto [cube, meta] = convert::_load_envi(dir.file("g.hdr"));
  expect_cube(cube, 4, 5, 3);
  EXPECT_EQ(meta["interleave"], "bil");
  EXPECT_EQ(meta["band names"], json({"band 1", "band 2", "band 3"}));
}

// ---------------------------------------------------------------- TIFF

TEST(Tiff, GeoTiffKeepsGeoreferencingDescriptionsAndTags) {
  testing::TempDir dir;
  testing::RasterFixture desc;
  desc.bands = 3;
  desc.type = "UInt16";
  desc.epsg = "32610";
  desc.geotransform = {500000.0, 30.0, 0.0, 4100000.0, 0.0, -30.0};
  desc.descriptions = {"blue", "", "red"};
  desc.tags = {{"SENSOR", "test rig"}, {"ACQUIRED", "2024-05-01"}};
  desc.band_tags = {{}, {{"WAVELENGTH", "550"}}, {}};
  desc.nodata = true;
  auto v = [](int64_t r, int64_t c, int64_t b) { return static_cast<double>(1000 * b + 10 * r + c); };
  testing::write_raster(dir.file("geo.tif"), "GTiff", desc, v);

  auto [a, meta] = convert::_load_tiff(dir.file("geo.tif"));
  ASSERT_EQ(a.dtype, DType::UInt16);
  ASSERT_EQ(a.shape, (std::vector<int64_t>{5, 6, 3}));
  EXPECT_EQ(at<uint16_t>(a, {4, 5, 2}), 2045);
  EXPECT_EQ(at<uint16_t>(a, {1, 2, 0}), 12);
  EXPECT_EQ(keys_of(meta), (std::vector<std::string>{"driver", "dtype", "nodata", "width", "height", "count", "crs",
                                                     "crs_wkt", "transform", "bounds", "band_descriptions", "tags",
                                                     "band_tags", "_source_format", "_source_file"}));
  EXPECT_EQ(meta["driver"], "GTiff");
  EXPECT_EQ(meta["dtype"], "uint16");
  EXPECT_EQ(meta["nodata"], 0.0);
  EXPECT_TRUE(meta["nodata"].is_number_float());
  EXPECT_EQ(meta["width"], 6);
  EXPECT_EQ(meta["height"], 5);
  EXPECT_EQ(meta["count"], 3);
  EXPECT_EQ(meta["crs"], "EPSG:32610");
  EXPECT_NE(meta["crs_wkt"].get<std::string>().find("WGS 84 / UTM zone 10N"), std::string::npos);
  EXPECT_EQ(meta["transform"], json({30.0, 0.0, 500000.0, 0.0, -30.0, 4100000.0}));
  EXPECT_EQ(convert::python_json_dump(meta["bounds"], 2),
            "{\n  \"left\": 500000.0,\n  \"bottom\": 4099850.0,\n  \"right\": 500180.0,\n  \"top\": 4100000.0\n}");
  EXPECT_EQ(meta["band_descriptions"], json({"blue", nullptr, "red"}));
  EXPECT_EQ(meta["tags"]["SENSOR"], "test rig");
  EXPECT_EQ(meta["tags"]["ACQUIRED"], "2024-05-01");
  EXPECT_EQ(meta["band_tags"], json::parse(R"({"2": {"WAVELENGTH": "550"}})"));
  EXPECT_EQ(meta["_source_format"], "GeoTIFF");
  EXPECT_EQ(meta["_source_file"], fs::canonical(dir.file("geo.tif")).string());
}

TEST(Tiff, PlainTiffHasIdentityTransformAndNoExtras) {
  testing::TempDir dir;
  testing::RasterFixture desc;
  desc.type = "Float32";
  testing::write_raster(dir.file("plain.TIF"), "GTiff", desc, [](int64_t r, int64_t c, int64_t) { return static_cast<double>(r) - static_cast<double>(c) / 4.0; });
  auto [a, meta] = convert::_load_tiff(dir.file("plain.TIF"));
  ASSERT_EQ(a.dtype, DType::Float32);
  ASSERT_EQ(a.shape, (std::vector<int64_t>{5, 6, 1}));
  EXPECT_EQ(at<float>(a, {3, 2, 0}), 2.5f);
  EXPECT_EQ(keys_of(meta), (std::vector<std::string>{"driver", "dtype", "nodata", "width", "height", "count",
                                                     "transform", "bounds", "_source_format", "_source_file"}));
  EXPECT_TRUE(meta["nodata"].is_null());
  EXPECT_EQ(meta["transform"], json({1.0, 0.0, 0.0, 0.0, 1.0, 0.0}));
  EXPECT_EQ(meta["bounds"], json::parse(R"({"left": 0.0, "bottom": 5.0, "right": 6.0, "top": 0.0})"));
  EXPECT_EQ(meta["_source_format"], "TIFF");
}

TEST(Tiff, MissingAndCorruptFilesFailClearly) {
  testing::TempDir dir;
  EXPECT_EQ(error_of<std::exception>([&] { convert::_load_tiff(dir.file("none.tif")); }),
            "No such file: '" + dir.file("none.tif") + "'");
  {
    std::ofstream(dir.file("junk.tif")) << "not a tiff";
  }
  EXPECT_THROW(convert::_load_tiff(dir.file("junk.tif")), RuntimeError);
}

// ---------------------------------------------------------------- ground truth

void write_mat_labels(const std::string& path, const std::vector<std::pair<std::string, std::vector<int64_t>>>& vars) {
  std::vector<std::pair<std::string, NdArray>> out;
  for (const auto& [name, shape] : vars) {
    NdArray a = NdArray::zeros(DType::UInt8, shape);
    auto* p = static_cast<uint8_t*>(a.data);
    for (int64_t i = 0; i < a.numel(); ++i) p[i] = static_cast<uint8_t>(i % 7);
    out.emplace_back(name, a);
  }
  write_mat(path, out);
}

TEST(GroundTruth, MatKeyChoice) {
  testing::TempDir dir;
  write_mat_labels(dir.file("a.mat"), {{"labels", {6, 6}}, {"gt", {4, 4}}});
  auto [a, ma] = convert::_load_gt(dir.file("a.mat"));
  EXPECT_EQ(ma["mat_key"], "gt");
  EXPECT_EQ(a.shape, (std::vector<int64_t>{4, 4}));
  EXPECT_EQ(keys_of(ma), (std::vector<std::string>{"_source_file", "mat_key", "_source_format"}));
  EXPECT_EQ(ma["_source_format"], "MAT");

  write_mat_labels(dir.file("b.mat"), {{"map", {4, 4}}, {"mask", {5, 5}}, {"small", {2, 2}}});
  EXPECT_EQ(convert::_load_gt(dir.file("b.mat")).second["mat_key"], "mask");

  write_mat_labels(dir.file("tie.mat"), {{"first", {3, 4}}, {"second", {4, 3}}});
  EXPECT_EQ(convert::_load_gt(dir.file("tie.mat")).second["mat_key"], "first");

  write_mat_labels(dir.file("c.mat"), {{"whatever_name", {3, 5, 1}}});
  auto [c, mc] = convert::_load_gt(dir.file("c.mat"));
  EXPECT_EQ(mc["mat_key"], "whatever_name");
  EXPECT_EQ(c.shape, (std::vector<int64_t>{3, 5}));  // length-1 axes dropped
  EXPECT_EQ(at<uint8_t>(c, {2, 4}), static_cast<uint8_t>((2 + 4 * 3) % 7));  // MAT is column-major

  write_mat_labels(dir.file("d.mat"), {{"groundtruth", {2, 2}}, {"big", {9, 9}}});
  EXPECT_EQ(convert::_load_gt(dir.file("d.mat")).second["mat_key"], "groundtruth");

  write_mat_labels(dir.file("e.mat"), {{"_hidden", {9, 9}}, {"labels", {2, 2}}});
  EXPECT_EQ(convert::_load_gt(dir.file("e.mat")).second["mat_key"], "labels");

  write_mat_labels(dir.file("none.mat"), {{"_only", {2, 2}}});
  EXPECT_EQ(error_of<std::exception>([&] { convert::_load_gt(dir.file("none.mat")); }),
            "No variable in " + dir.file("none.mat") + " to use as ground truth (names starting with '_' are skipped)");
}

TEST(GroundTruth, PaletteAndRgbPngs) {
  testing::TempDir dir;
  testing::RasterFixture palette;
  palette.palette = {{0, 0, 0, 255}, {255, 0, 0, 255}, {0, 255, 0, 255}, {0, 0, 255, 255}};
  auto idx = [](int64_t r, int64_t c, int64_t) { return static_cast<double>((r + c) % 4); };
  testing::write_raster(dir.file("pal.png"), "PNG", palette, idx);
  auto [p, mp] = convert::_load_gt(dir.file("pal.png"));
  ASSERT_EQ(p.dtype, DType::UInt8);
  ASSERT_EQ(p.shape, (std::vector<int64_t>{5, 6}));
  EXPECT_EQ(at<uint8_t>(p, {2, 3}), 1);
  EXPECT_EQ(at<uint8_t>(p, {4, 5}), 1);
  EXPECT_EQ(at<uint8_t>(p, {1, 1}), 2);
  EXPECT_EQ(keys_of(mp), (std::vector<std::string>{"_source_file", "_source_format"}));
  EXPECT_EQ(mp["_source_format"], "image");

  testing::RasterFixture rgb;
  rgb.bands = 3;
  auto colour = [](int64_t r, int64_t c, int64_t b) { return static_cast<double>(b * 100 + r * 6 + c); };
  testing::write_raster(dir.file("rgb.PNG"), "PNG", rgb, colour);
  auto [q, mq] = convert::_load_gt(dir.file("rgb.PNG"));
  ASSERT_EQ(q.shape, (std::vector<int64_t>{5, 6, 3}));
  EXPECT_EQ(at<uint8_t>(q, {4, 5, 2}), 229);
  EXPECT_EQ(keys_of(mq), (std::vector<std::string>{"_source_file", "_source_format", "_note"}));
  EXPECT_EQ(mq["_note"],
            "Ground truth loaded as RGB image. You may need to map RGB values to class labels manually.");

  testing::RasterFixture grey;
  testing::write_raster(dir.file("g.bmp"), "BMP", grey, idx);
  EXPECT_EQ(convert::_load_gt(dir.file("g.bmp")).first.shape, (std::vector<int64_t>{5, 6}));
}

TEST(GroundTruth, TiffBandOneAndEnvi) {
  testing::TempDir dir;
  testing::RasterFixture geo;
  geo.bands = 2;
  geo.epsg = "4326";
  geo.geotransform = {10.0, 0.1, 0.0, 50.0, 0.0, -0.1};
  testing::write_raster(dir.file("lab.tif"), "GTiff", geo, [](int64_t r, int64_t c, int64_t b) {
    return static_cast<double>(b * 50 + r + c);
  });
  auto [t, mt] = convert::_load_gt(dir.file("lab.tif"));
  ASSERT_EQ(t.shape, (std::vector<int64_t>{5, 6}));
  EXPECT_EQ(at<uint8_t>(t, {4, 5}), 9);
  EXPECT_EQ(keys_of(mt), (std::vector<std::string>{"_source_file", "crs", "_source_format"}));
  EXPECT_EQ(mt["crs"], "EPSG:4326");
  EXPECT_EQ(mt["_source_format"], "GeoTIFF");

  testing::RasterFixture plain;
  testing::write_raster(dir.file("plain.tiff"), "GTiff", plain, [](int64_t, int64_t, int64_t) { return 1.0; });
  auto [u, mu] = convert::_load_gt(dir.file("plain.tiff"));
  EXPECT_EQ(keys_of(mu), (std::vector<std::string>{"_source_file", "_source_format"}));
  EXPECT_EQ(mu["_source_format"], "GeoTIFF");

  testing::EnviFixture one_band;
  one_band.bands = 1;
  testing::write_envi(dir.file("labels.hdr"), dir.file("labels.img"), one_band,
                      [](int64_t r, int64_t c, int64_t) { return static_cast<double>(r + c); });
  auto [e, me] = convert::_load_gt(dir.file("labels.hdr"));
  ASSERT_EQ(e.shape, (std::vector<int64_t>{4, 5}));
  EXPECT_EQ(e.dtype, DType::Float32);
  EXPECT_EQ(at<float>(e, {3, 4}), 7.0f);
  const auto k = keys_of(me);
  EXPECT_EQ(k.front(), "_source_file");
  EXPECT_EQ(k.back(), "_source_format");
  EXPECT_EQ(me["_source_file"], fs::canonical(dir.file("labels.hdr")).string());
  EXPECT_EQ(me["_source_format"], "ENVI");
  EXPECT_EQ(me["samples"], "5");

  auto [e2, me2] = convert::_load_gt(dir.file("labels.img"));
  EXPECT_EQ(me2["_source_file"], fs::canonical(dir.file("labels.hdr")).string());
}

#endif  // LUMORA_HAVE_GDAL

TEST(GroundTruth, UnsupportedExtension) {
  EXPECT_EQ(error_of<std::exception>([] { convert::_load_gt("labels.csv"); }), "Unsupported ground truth format: .csv");
  EXPECT_EQ(error_of<std::exception>([] { convert::_load_gt("labels"); }), "Unsupported ground truth format: ");
  EXPECT_THROW(convert::_load_gt("x.CSV"), ValueError);
}

// ---------------------------------------------------------------- HDF5

#if LUMORA_HAVE_HDF5

std::vector<float> iota_f(int64_t n) {
  std::vector<float> v(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) v[i] = static_cast<float>(i) * 0.5f;
  return v;
}

TEST(Hdf5, WalksInNameOrderPicksTheLargestAndTransposesBandsFirst) {
  testing::TempDir dir;
  const std::string path = dir.file("scene.h5");
  {
    testing::H5Writer w(path);
    w.group("zeta");
    w.group("group");
    w.dataset_i32("b_small", {2, 2}, {1, 2, 3, 4});
    w.dataset_f32("group/cube", {4, 6, 7}, iota_f(4 * 6 * 7));
    w.dataset_u16("zeta/wl", {4}, {400, 500, 600, 700});
    w.dataset_i32("a_scalar", {}, {9});
    w.attr_text("group/cube", "units", "W/m\u00b2/sr/\u00b5m");
    w.attr_f64("group/cube", "scale", 0.25);
    w.attr_i16_array("group/cube", "ids", {1, -2, 3});
    w.attr_fixed("group/cube", "name", "abc", 6);
    w.attr_f64("group/cube", "fill", std::nan(""));
    w.attr_f32_matrix("group/cube", "matrix", {1.5f, 2.0f, 3.0f, 4.0f}, 2, 2);
    w.attr_text_array("group/cube", "bands", {"b1", "b2"});
    w.attr_text("/", "title", "test scene");
    w.attr_i64("/", "version", 3);
  }
  auto [a, meta] = convert::_load_hdf5(path);
  ASSERT_EQ(a.dtype, DType::Float32);
  ASSERT_EQ(a.shape, (std::vector<int64_t>{6, 7, 4}));
  // (band, row, col) stored -> (row, col, band)
  EXPECT_EQ(at<float>(a, {5, 6, 3}), (3 * 42 + 5 * 7 + 6) * 0.5f);
  EXPECT_EQ(at<float>(a, {1, 2, 0}), (0 * 42 + 1 * 7 + 2) * 0.5f);
  EXPECT_EQ(keys_of(meta), (std::vector<std::string>{"available_datasets", "dataset_used", "dataset_attrs",
                                                     "file_attrs", "_transposed", "_source_format", "_source_file"}));
  EXPECT_EQ(convert::python_json_dump(meta["available_datasets"], 2),
            "{\n  \"a_scalar\": [],\n  \"b_small\": [\n    2,\n    2\n  ],\n  \"group/cube\": [\n    4,\n    6,\n"
            "    7\n  ],\n  \"zeta/wl\": [\n    4\n  ]\n}");
  EXPECT_EQ(meta["dataset_used"], "group/cube");
  const json& attrs = meta["dataset_attrs"];
  EXPECT_EQ(keys_of(attrs), (std::vector<std::string>{"bands", "fill", "ids", "matrix", "name", "scale", "units"}));
  EXPECT_EQ(attrs["units"], "W/m\u00b2/sr/\u00b5m");
  EXPECT_EQ(attrs["scale"], 0.25);
  EXPECT_EQ(attrs["ids"], json({1, -2, 3}));
  EXPECT_TRUE(attrs["ids"][0].is_number_integer());
  EXPECT_EQ(attrs["name"], "abc");
  EXPECT_TRUE(std::isnan(attrs["fill"].get<double>()));
  EXPECT_EQ(attrs["matrix"], json::parse("[[1.5, 2.0], [3.0, 4.0]]"));
  EXPECT_EQ(attrs["bands"], json({"b1", "b2"}));
  EXPECT_EQ(meta["file_attrs"], json::parse(R"({"title": "test scene", "version": 3})"));
  EXPECT_EQ(meta["_transposed"], "CHW \u2192 HWC");
  EXPECT_EQ(meta["_source_format"], "HDF5");
  EXPECT_EQ(meta["_source_file"], fs::canonical(path).string());
}

TEST(Hdf5, SpecifierFormsAndMissingKeys) {
  testing::TempDir dir;
  const std::string path = dir.file("cube.h5");
  {
    testing::H5Writer w(path);
    w.group("data");
    w.dataset_f32("data/radiance", {3, 3}, iota_f(9));
    w.dataset_f32("data/big", {5, 5}, iota_f(25));
  }
  auto [a, ma] = convert::_load_hdf5(path + ":/data/radiance");
  EXPECT_EQ(ma["dataset_used"], "data/radiance");
  EXPECT_EQ(a.shape, (std::vector<int64_t>{3, 3}));
  EXPECT_EQ(ma["_source_file"], fs::canonical(path).string());
  EXPECT_FALSE(ma.contains("dataset_attrs"));
  EXPECT_FALSE(ma.contains("file_attrs"));
  EXPECT_FALSE(ma.contains("_transposed"));

  auto [b, mb] = convert::_load_hdf5(path + "::/data/radiance");
  EXPECT_EQ(mb["dataset_used"], "/data/radiance");
  EXPECT_EQ(at<float>(b, {2, 1}), 3.5f);

  EXPECT_EQ(convert::_load_hdf5(path).second["dataset_used"], "data/big");

  EXPECT_EQ(error_of<std::exception>([&] { convert::_load_hdf5(path + ":/data/nope"); }),
            "Dataset 'data/nope' not found in " + path + ".\nAvailable datasets: ['data/big', 'data/radiance']");
  EXPECT_THROW(convert::_load_hdf5(path + "::/nope/deeper"), KeyError);
  EXPECT_EQ(error_of<std::exception>([&] { convert::_load_hdf5(path + ":/data"); }), "'data' in " + path + " is not a dataset");

  const std::string empty = dir.file("empty.hdf5");
  {
    testing::H5Writer w(empty);
    w.group("only_a_group");
  }
  EXPECT_EQ(error_of<std::exception>([&] { convert::_load_hdf5(empty); }), "No datasets found in " + empty);
  EXPECT_THROW(convert::_load_hdf5(dir.file("absent.h5")), FileNotFoundError);
}

TEST(Hdf5, BandsFirstRuleCases) {
  testing::TempDir dir;
  const std::string path = dir.file("shapes.h5");
  {
    testing::H5Writer w(path);
    w.dataset_u8("chw", {10, 61, 34});
    w.dataset_u8("hwc", {145, 145, 200});
    w.dataset_u8("wide", {145, 200, 200});
    w.dataset_u8("many_bands_first", {200, 145, 145});
    w.dataset_u8("flat", {3, 2, 5});
  }
  auto shape_of = [&](const std::string& key) {
    auto [a, m] = convert::_load_hdf5(path + ":/" + key);
    return std::make_pair(a.shape, m.contains("_transposed"));
  };
  // Bands first only when the first axis is smaller than both others.
  EXPECT_EQ(shape_of("chw"), std::make_pair(std::vector<int64_t>{61, 34, 10}, true));
  EXPECT_EQ(shape_of("hwc"), std::make_pair(std::vector<int64_t>{145, 145, 200}, false));  // 145 is not < 145
  EXPECT_EQ(shape_of("wide"), std::make_pair(std::vector<int64_t>{200, 200, 145}, true));
  // More bands than rows or columns cannot be told from a tall image: kept as stored.
  EXPECT_EQ(shape_of("many_bands_first"), std::make_pair(std::vector<int64_t>{200, 145, 145}, false));
  EXPECT_EQ(shape_of("flat"), std::make_pair(std::vector<int64_t>{3, 2, 5}, false));
}

TEST(Hdf5, CreationOrderIsKeptWhereTheFileTracksIt) {
  testing::TempDir dir;
  const std::string path = dir.file("ordered.h5");
  {
    testing::H5Writer w(path, /*track_attribute_order=*/true);
    w.dataset_f32("cube", {2, 2}, iota_f(4), /*track_attribute_order=*/true);
    w.attr_i64("cube", "zulu", 1);
    w.attr_i64("cube", "alpha", 2);
    w.attr_i64("/", "second", 1);
    w.attr_i64("/", "first", 2);
  }
  auto meta = convert::_load_hdf5(path).second;
  EXPECT_EQ(keys_of(meta["dataset_attrs"]), (std::vector<std::string>{"zulu", "alpha"}));
  EXPECT_EQ(keys_of(meta["file_attrs"]), (std::vector<std::string>{"second", "first"}));
}

TEST(Hdf5, NetCdf4FileIsReadAsHdf5) {
  testing::TempDir dir;
  const std::string path = dir.file("scene.nc");
  {
    testing::H5Writer w(path);
    w.dataset_f32("lat", {6}, iota_f(6));
    w.dataset_f32("lon", {7}, iota_f(7));
    w.dataset_f32("band", {4}, iota_f(4));
    w.dataset_f32("reflectance", {4, 6, 7}, iota_f(168));
    w.attr_fixed("/", "_NCProperties", "version=2,netcdf=4.9.0,hdf5=1.10.8", 36);
    w.attr_text("reflectance", "units", "1");
    w.attr_f64("reflectance", "_FillValue", -9999.0);
    w.attr_fixed("lat", "CLASS", "DIMENSION_SCALE", 16);
  }
  ASSERT_EQ(convert::_detect_format(path), "hdf5");
  auto [a, meta] = convert::_load_hdf5(path);
  EXPECT_EQ(meta["dataset_used"], "reflectance");
  EXPECT_EQ(a.shape, (std::vector<int64_t>{6, 7, 4}));
  EXPECT_EQ(keys_of(meta["available_datasets"]), (std::vector<std::string>{"band", "lat", "lon", "reflectance"}));
  EXPECT_EQ(meta["dataset_attrs"], json::parse(R"({"_FillValue": -9999.0, "units": "1"})"));
  EXPECT_EQ(meta["file_attrs"]["_NCProperties"], "version=2,netcdf=4.9.0,hdf5=1.10.8");
}

TEST(Hdf5, NonNumericDatasetsAreRefused) {
  testing::TempDir dir;
  const std::string path = dir.file("names.h5");
  {
    testing::H5Writer w(path);
    w.string_dataset("names", {"a", "b", "c"});
  }
  EXPECT_EQ(error_of<std::exception>([&] { convert::_load_hdf5(path); }),
            "Dataset 'names' in " + path +
                " holds string values; only integer, float32, float64 and boolean datasets can be converted");
}

#endif  // LUMORA_HAVE_HDF5

// ---------------------------------------------------------------- JSON-safe values and the JSON text

TEST(JsonSafe, ConvertsEachKindOfAttribute) {
  using Kind = convert::AttrValue::Kind;
  convert::AttrValue scalar_int{Kind::Numeric, NdArray::zeros(DType::UInt16, {}), "", {}, {}};
  *static_cast<uint16_t*>(scalar_int.numeric.data) = 65535;
  EXPECT_EQ(convert::_json_safe(scalar_int), json(65535));
  EXPECT_TRUE(convert::_json_safe(scalar_int).is_number_integer());

  convert::AttrValue scalar_real{Kind::Numeric, NdArray::zeros(DType::Float32, {}), "", {}, {}};
  *static_cast<float*>(scalar_real.numeric.data) = 0.1f;
  EXPECT_EQ(convert::_json_safe(scalar_real).get<double>(), static_cast<double>(0.1f));

  convert::AttrValue matrix{Kind::Numeric, NdArray::zeros(DType::Int64, {2, 3}), "", {}, {}};
  for (int i = 0; i < 6; ++i) static_cast<int64_t*>(matrix.numeric.data)[i] = i - 2;
  EXPECT_EQ(convert::_json_safe(matrix), json::parse("[[-2, -1, 0], [1, 2, 3]]"));

  convert::AttrValue bytes{Kind::Bytes, {}, std::string("ok\xff\xfe!"), {}, {}};
  EXPECT_EQ(convert::_json_safe(bytes), "ok\xef\xbf\xbd\xef\xbf\xbd!");

  convert::AttrValue list{Kind::List, {}, "", {bytes, {Kind::Text, {}, "t", {}, {}}, {Kind::Text, {}, "u", {}, {}},
                                              {Kind::Empty, {}, "", {}, {}}}, {2, 2}};
  EXPECT_EQ(convert::_json_safe(list), json::parse("[[\"ok\\ufffd\\ufffd!\", \"t\"], [\"u\", null]]"));
  EXPECT_EQ(convert::_json_safe({Kind::Other, {}, "<HDF5 object reference>", {}, {}}), "<HDF5 object reference>");
}

TEST(PythonJson, MatchesJsonDumpWithIndentTwo) {
  json doc = json::object();
  doc["a"] = 1;
  doc["b"] = json::array({1.5, "x", json::array()});
  doc["c"] = json::object();
  doc["d"] = json::object();
  doc["d"]["e"] = std::nan("");
  doc["d"]["f"] = INFINITY;
  doc["d"]["g"] = -INFINITY;
  doc["h"] = "\u00e9\u2192\U0001F600";
  doc["i"] = nullptr;
  doc["j"] = true;
  doc["k"] = 1e-05;
  doc["l"] = 2.0;
  doc["m"] = "tab\t\"q\"\\ \x01 \x7f /";
  doc["n"] = -0.0;
  doc["o"] = 12345678901234567890ULL;
  doc["p"] = 0.1 + 0.2;
  doc["q"] = 1e16;
  // What Python's json.dumps(doc, indent=2) prints for the same document.
  const std::string expected =
      "{\n  \"a\": 1,\n  \"b\": [\n    1.5,\n    \"x\",\n    []\n  ],\n  \"c\": {},\n  \"d\": {\n    \"e\": NaN,\n"
      "    \"f\": Infinity,\n    \"g\": -Infinity\n  },\n  \"h\": \"\\u00e9\\u2192\\ud83d\\ude00\",\n"
      "  \"i\": null,\n  \"j\": true,\n  \"k\": 1e-05,\n  \"l\": 2.0,\n"
      "  \"m\": \"tab\\t\\\"q\\\"\\\\ \\u0001 \\u007f /\",\n  \"n\": -0.0,\n  \"o\": 12345678901234567890,\n"
      "  \"p\": 0.30000000000000004,\n  \"q\": 1e+16\n}";
  EXPECT_EQ(convert::python_json_dump(doc, 2), expected);
  EXPECT_EQ(convert::python_json_dump(json::array(), 2), "[]");
  EXPECT_EQ(convert::python_json_string("bad \xc3 end"), "\"bad \\ufffd end\"");
}

// ---------------------------------------------------------------- array helpers

TEST(ArrayOps, WindowsRangesAndCounts) {
  NdArray a = NdArray::zeros(DType::Int16, {4, 5, 2});
  auto* p = static_cast<int16_t*>(a.data);
  for (int64_t i = 0; i < a.numel(); ++i) p[i] = static_cast<int16_t>(i - 7);
  const auto range = convert::value_range(a);
  EXPECT_EQ(range.min, -7.0);
  EXPECT_EQ(range.max, 32.0);
  NdArray w = convert::window(a, 1, 3, 2, 9);  // the column end is clamped
  EXPECT_EQ(w.shape, (std::vector<int64_t>{2, 3, 2}));
  EXPECT_EQ(at<int16_t>(w, {0, 0, 1}), 1 * 10 + 2 * 2 + 1 - 7);
  EXPECT_EQ(convert::value_range(w).min, 7.0);
  NdArray t = convert::transpose(a, {2, 0, 1});
  EXPECT_EQ(t.shape, (std::vector<int64_t>{2, 4, 5}));
  EXPECT_EQ(at<int16_t>(t, {1, 3, 4}), at<int16_t>(a, {3, 4, 1}));

  NdArray f = NdArray::zeros(DType::Float64, {3});
  static_cast<double*>(f.data)[1] = std::nan("");
  EXPECT_TRUE(std::isnan(convert::value_range(f).min));

  NdArray labels = NdArray::zeros(DType::UInt16, {2, 3});
  auto* l = static_cast<uint16_t*>(labels.data);
  l[0] = 2, l[1] = 2, l[2] = 65535, l[3] = 0, l[4] = 2, l[5] = 0;
  const auto counts = convert::value_counts(labels);
  ASSERT_EQ(counts.size(), 3u);
  EXPECT_EQ(counts[0].text, "0");
  EXPECT_TRUE(counts[0].zero);
  EXPECT_EQ(counts[0].count, 2);
  EXPECT_EQ(counts[1].text, "2");
  EXPECT_EQ(counts[1].count, 3);
  EXPECT_EQ(counts[2].text, "65535");

  NdArray reals = NdArray::zeros(DType::Float32, {2});
  static_cast<float*>(reals.data)[0] = 1.0f;
  EXPECT_EQ(convert::value_counts(reals)[1].text, "1.0");
  EXPECT_EQ(convert::squeeze(NdArray::zeros(DType::UInt8, {1, 4, 1, 3})).shape, (std::vector<int64_t>{4, 3}));
}

}  // namespace
}  // namespace lumora
