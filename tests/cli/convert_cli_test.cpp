// Runs the built lumora-convert end to end on real ENVI, TIFF, PNG and HDF5 files.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "../convert/fixtures.h"
#include "lumora/commands/convert.h"
#include "lumora/config.h"
#include "lumora/convert/array_ops.h"
#include "lumora/core/errors.h"
#include "lumora/datasets/cubeset.h"
#include "lumora/io/matfile.h"
#include "support/testing.h"

namespace lumora {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

const std::string kRule =
    "\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550"
    "\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550"
    "\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550"
    "\u2550\u2550\u2550";

double cube_value(int64_t r, int64_t c, int64_t b) { return static_cast<double>(r * 10000 + c * 10 + b) - 5.0; }
double label_value(int64_t r, int64_t c, int64_t) { return static_cast<double>((r * 5 + c) % 3); }

template <class T>
T at(const NdArray& a, std::vector<int64_t> idx) {
  int64_t off = 0;
  for (size_t i = 0; i < idx.size(); ++i) off += idx[i] * a.strides[i];
  return static_cast<const T*>(a.data)[off];
}

std::string without_elapsed(const std::string& out) {
  return std::regex_replace(out, std::regex("Elapsed: [0-9]+\\.[0-9]{2}s"), "Elapsed: Ts");
}

class ConvertCli : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::EnviFixture desc;
    desc.lines = 4;
    desc.samples = 5;
    desc.bands = 7;
    desc.extra = "wavelength = {400, 404.5, 409.25, 413, 417.5, 422, 426.125}\nwavelength units = Nanometers\n";
    testing::write_envi(hdr(), dir.file("scene.img"), desc, cube_value);
  }
  std::string hdr() const { return dir.file("scene.hdr"); }
  std::string out() const { return dir.file("out"); }
  testing::RunResult convert(const std::vector<std::string>& args) {
    return testing::run_program("lumora-convert", args);
  }
  testing::TempDir dir;
};

TEST_F(ConvertCli, HelpAndOptionErrors) {
  auto help = convert({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  const std::string usage =
      "usage: lumora convert_to_mat [-h] --img IMG [--gt GT] --out-dir OUT_DIR [--crop Y X H W] "
      "[--data-key DATA_KEY] [--gt-key GT_KEY]";
  EXPECT_EQ(help.out.substr(0, usage.size() + 54), usage + "\n\nConvert ENVI / TIFF / GeoTIFF / HDF5 to .mat format\n");
  EXPECT_NE(help.out.find("  --crop Y X H W        Spatial crop: Y X Height Width (e.g. --crop 448 2560 512 512)\n"),
            std::string::npos);
  EXPECT_NE(help.out.find("  --data-key DATA_KEY   Key name for image data in the output .mat (default: data)\n"),
            std::string::npos);

  EXPECT_EQ(help.out, usage +
                          "\n\nConvert ENVI / TIFF / GeoTIFF / HDF5 to .mat format\n\n"
                          "options:\n"
                          "  -h, --help            show this help message and exit\n"
                          "  --img IMG             Path to the image file (ENVI .hdr, .tif, .h5, etc.)\n"
                          "  --gt GT               Path to ground-truth labels (optional: .mat, .png, .tif, .hdr)\n"
                          "  --out-dir OUT_DIR     Output directory for .mat and metadata files\n"
                          "  --crop Y X H W        Spatial crop: Y X Height Width (e.g. --crop 448 2560 512 512)\n"
                          "  --data-key DATA_KEY   Key name for image data in the output .mat (default: data)\n"
                          "  --gt-key GT_KEY       Key name for ground truth in the output .mat (default: gt)\n");

  auto missing = convert({"--img", hdr()});
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_EQ(missing.err.rfind(usage + "\n", 0), 0u);
  auto short_crop = convert({"--img", hdr(), "--out-dir", out(), "--crop", "1", "2", "3"});
  EXPECT_EQ(short_crop.exit_code, 2);
  auto bad_crop = convert({"--img", hdr(), "--out-dir", out(), "--crop", "1", "2", "3", "x"});
  EXPECT_EQ(bad_crop.exit_code, 2);
  EXPECT_FALSE(fs::exists(out()));
}

#if LUMORA_HAVE_GDAL

TEST_F(ConvertCli, EnviWithPaletteLabelsPrintsTheFullReport) {
  testing::RasterFixture palette;
  palette.width = 5;
  palette.height = 4;
  palette.palette = {{0, 0, 0, 255}, {255, 0, 0, 255}, {0, 255, 0, 255}};
  testing::write_raster(dir.file("labels.png"), "PNG", palette, label_value);

  auto r = convert({"--img", hdr(), "--gt", dir.file("labels.png"), "--out-dir", out()});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string expected =
      "\n  Loading image: " + hdr() +
      "\n  Detected format: ENVI\n"
      "  \u2713 Loaded: shape=(4, 5, 7) dtype=float32\n"
      "\n  Loading ground truth: " + dir.file("labels.png") + "\n"
      "  \u2713 Loaded: shape=(4, 5) dtype=uint8\n"
      "\n  Saving: " + out() + "/data.mat\n"
      "  \u2713 data.mat (0.0 MB)\n"
      "  \u2713 gt.mat (0.0 MB)\n"
      "  \u2713 metadata.json\n"
      "\n" + kRule + "\n"
      "  Conversion complete!\n" + kRule + "\n"
      "\n  Image\n"
      "    Format       : ENVI\n"
      "    Shape        : (4, 5, 7)\n"
      "    Spatial size : 4 x 5\n"
      "    Bands        : 7\n"
      "    Dtype        : float32\n"
      "    Value range  : [-5, 3.004e+04]\n"
      "    Size in memory: 0.0 MB\n"
      "    Wavelengths  : [400.0, 404.5, 409.25, 413.0, 417.5] ... (7 total)\n"
      "\n  Ground Truth\n"
      "    Format       : image\n"
      "    Shape        : (4, 5)\n"
      "    Dtype        : uint8\n"
      "    Classes      : 2 (+ background 0)\n"
      "    Class labels : [0, 1, 2]\n"
      "\n    Per-class pixel counts:\n"
      "      background      :        7 px\n"
      "      class 1         :        7 px\n"
      "      class 2         :        6 px\n"
      "\n  Output\n"
      "    Directory    : " + out() + "\n"
      "    data.mat     : image data (key='data')\n"
      "    gt.mat       : ground truth (key='gt')\n"
      "    metadata.json: all preserved metadata\n"
      "\n    Elapsed: Ts\n" + kRule + "\n\n";
  EXPECT_EQ(without_elapsed(r.out), expected);

  // Both MAT-files hold the values with their element types.
  MatFile data_file(out() + "/data.mat");
  ASSERT_EQ(data_file.variables().size(), 1u);
  NdArray cube = data_file.load("data");
  ASSERT_EQ(cube.dtype, DType::Float32);
  ASSERT_EQ(cube.shape, (std::vector<int64_t>{4, 5, 7}));
  for (int64_t row = 0; row < 4; ++row)
    for (int64_t col = 0; col < 5; ++col)
      for (int64_t b = 0; b < 7; ++b) ASSERT_EQ(at<float>(cube, {row, col, b}), cube_value(row, col, b));
  NdArray labels = MatFile(out() + "/gt.mat").load("gt");
  ASSERT_EQ(labels.dtype, DType::UInt8);
  ASSERT_EQ(labels.shape, (std::vector<int64_t>{4, 5}));
  EXPECT_EQ(at<uint8_t>(labels, {3, 4}), 1);

  const json meta = json::parse(testing::read_file(out() + "/metadata.json"));
  std::vector<std::string> top;
  for (auto it = meta.begin(); it != meta.end(); ++it) top.push_back(it.key());
  EXPECT_EQ(top, (std::vector<std::string>{"image", "conversion", "ground_truth"}));
  EXPECT_EQ(meta["conversion"], json::parse(R"({"output_data_key": "data", "output_data_shape": [4, 5, 7],
      "output_data_dtype": "float32", "output_gt_key": "gt", "output_gt_shape": [4, 5], "output_gt_dtype": "uint8"})"));
  EXPECT_EQ(meta["ground_truth"]["_source_format"], "image");
  EXPECT_EQ(meta["image"]["wavelength"][6], "426.125");

  // The dataset reads the pair as its input files.
  const LabelledScene ds(SceneOptions(out() + "/data.mat", out() + "/gt.mat"));
  EXPECT_EQ(ds.num_bands, 7);
  EXPECT_EQ(ds.num_classes, 3);
  auto original = torch::empty({4, 5, 7});
  for (int64_t row = 0; row < 4; ++row)
    for (int64_t col = 0; col < 5; ++col)
      for (int64_t b = 0; b < 7; ++b) original[row][col][b] = cube_value(row, col, b);
  auto expected_cube = ((original - original.mean()) / (original.std(false) + 1e-8)).permute({2, 0, 1});
  EXPECT_TRUE(torch::allclose(ds.data, expected_cube, 1e-5, 1e-5));
  for (int64_t row = 0; row < 4; ++row)
    for (int64_t col = 0; col < 5; ++col)
      EXPECT_EQ(ds.labels[row][col].item<int64_t>(), static_cast<int64_t>(label_value(row, col, 0)));
}

TEST_F(ConvertCli, ImageOnlyWritesNoLabelFiles) {
  auto r = convert({"--img", hdr(), "--out-dir", out()});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out.find("Loading ground truth"), std::string::npos);
  EXPECT_EQ(r.out.find("Ground Truth"), std::string::npos);
  EXPECT_EQ(r.out.find("gt.mat"), std::string::npos);
  EXPECT_NE(r.out.find("    metadata.json: all preserved metadata\n"), std::string::npos);
  EXPECT_FALSE(fs::exists(out() + "/gt.mat"));
  const json meta = json::parse(testing::read_file(out() + "/metadata.json"));
  EXPECT_FALSE(meta.contains("ground_truth"));
  EXPECT_FALSE(meta["conversion"].contains("output_gt_key"));
}

// metadata.json cut short (a full disk, played by a file-size limit that
// data.mat fits under) fails the run with its message and leaves neither a
// partial file nor its temporary behind.
TEST_F(ConvertCli, MetadataThatCannotBeWrittenWholeLeavesNoPartialFile) {
  testing::EnviFixture desc;
  desc.bands = 7;
  desc.extra = "description = {" + std::string(20000, 'd') + "}\n";
  testing::write_envi(dir.file("long.hdr"), dir.file("long.img"), desc, cube_value);
  testing::RunResult r;
  {
    testing::FileSizeLimit limit(8192);
    r = convert({"--img", dir.file("long.hdr"), "--out-dir", out()});
  }
  EXPECT_EQ(r.exit_code, 1) << r.out;
  EXPECT_EQ(r.err, "error: cannot write '" + out() + "/metadata.json'\n");
  EXPECT_NE(r.out.find(" data.mat ("), std::string::npos) << r.out;
  EXPECT_EQ(testing::entries(out()), std::vector<std::string>{"data.mat"});
}

TEST_F(ConvertCli, FullSizeCropIsAcceptedAndOnePastFailsBeforeWriting) {
  auto full = convert({"--img", hdr(), "--out-dir", out(), "--crop", "0", "0", "4", "5"});
  ASSERT_EQ(full.exit_code, 0) << full.err;
  EXPECT_NE(full.out.find("\n  Cropping: y=0 x=0 h=4 w=5\n  \u2713 Cropped to: (4, 5, 7)\n"), std::string::npos);
  NdArray cube = MatFile(out() + "/data.mat").load("data");
  EXPECT_EQ(cube.shape, (std::vector<int64_t>{4, 5, 7}));
  EXPECT_EQ(at<float>(cube, {3, 4, 6}), cube_value(3, 4, 6));
  const json meta = json::parse(testing::read_file(out() + "/metadata.json"));
  EXPECT_EQ(meta["image"]["crop"], json::parse(R"({"y": 0, "x": 0, "height": 4, "width": 5})"));

  const std::string other = dir.file("other");
  auto past = convert({"--img", hdr(), "--out-dir", other, "--crop", "0", "0", "5", "5"});
  EXPECT_EQ(past.exit_code, 1);
  EXPECT_EQ(past.err, "error: Crop region (0, 0, 5, 5) exceeds image bounds (4, 5)\n");
  EXPECT_FALSE(fs::exists(other));
  auto negative = convert({"--img", hdr(), "--out-dir", other, "--crop", "-1", "0", "2", "2"});
  EXPECT_EQ(negative.exit_code, 1);
  EXPECT_EQ(negative.err, "error: Crop region (-1, 0, 2, 2) exceeds image bounds (4, 5)\n");
}

TEST_F(ConvertCli, MismatchedLabelsWarnAndAreCutWithTheImageWindow) {
  testing::RasterFixture big;
  big.width = 7;
  big.height = 6;
  auto v = [](int64_t r, int64_t c, int64_t) { return static_cast<double>(r * 10 + c); };
  testing::write_raster(dir.file("big.png"), "PNG", big, v);
  auto r = convert({"--img", hdr(), "--gt", dir.file("big.png"), "--out-dir", out(), "--crop", "1", "2", "2", "3"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("  \u2713 Loaded: shape=(6, 7) dtype=uint8\n  \u26a0 Spatial mismatch: image=(4, 5), gt=(6, 7)\n"),
            std::string::npos);
  NdArray labels = MatFile(out() + "/gt.mat").load("gt");
  ASSERT_EQ(labels.shape, (std::vector<int64_t>{2, 3}));
  EXPECT_EQ(at<uint8_t>(labels, {0, 0}), 12);
  EXPECT_EQ(at<uint8_t>(labels, {1, 2}), 24);
  EXPECT_EQ(MatFile(out() + "/data.mat").load("data").shape, (std::vector<int64_t>{2, 3, 7}));
}

TEST_F(ConvertCli, GeoTiffSummaryShowsTheCrs) {
  testing::RasterFixture desc;
  desc.bands = 2;
  desc.type = "Int16";
  desc.epsg = "32610";
  desc.geotransform = {500000.0, 30.0, 0.0, 4100000.0, 0.0, -30.0};
  testing::write_raster(dir.file("geo.tif"), "GTiff", desc, [](int64_t r, int64_t c, int64_t b) {
    return static_cast<double>(r - c * b);
  });
  auto r = convert({"--img", dir.file("geo.tif"), "--out-dir", out()});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("  Detected format: TIFF\n  \u2713 Loaded: shape=(5, 6, 2) dtype=int16\n"), std::string::npos);
  EXPECT_NE(r.out.find("    Format       : GeoTIFF\n"), std::string::npos);
  EXPECT_NE(r.out.find("    Value range  : [-5, 4]\n"), std::string::npos);
  EXPECT_NE(r.out.find("    Dtype        : int16\n    Value range"), std::string::npos);
  EXPECT_NE(r.out.find("    CRS          : EPSG:32610\n"), std::string::npos);
  EXPECT_EQ(r.out.find("Wavelengths"), std::string::npos);
  NdArray cube = MatFile(out() + "/data.mat").load("data");
  EXPECT_EQ(cube.dtype, DType::Int16);
  EXPECT_EQ(at<int16_t>(cube, {4, 5, 1}), -1);
}

#endif  // LUMORA_HAVE_GDAL

#if LUMORA_HAVE_HDF5

TEST_F(ConvertCli, Hdf5BandsFirstWithDataKeyWritesTheExactMetadata) {
  const std::string h5 = dir.file("cube.h5");
  {
    testing::H5Writer w(h5);
    std::vector<float> values(60);
    for (int i = 0; i < 60; ++i) values[i] = static_cast<float>(i) / 4.0f;
    w.dataset_f32("cube", {3, 4, 5}, values);
    w.attr_text("cube", "units", "\u00b5m");
    w.attr_text("/", "title", "t");
  }
  auto r = convert({"--img", h5, "--out-dir", out(), "--data-key", "cube", "--crop", "1", "1", "2", "3"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("  Detected format: HDF5\n  \u2713 Loaded: shape=(4, 5, 3) dtype=float32\n"), std::string::npos);
  EXPECT_NE(r.out.find("    data.mat     : image data (key='data')\n"), std::string::npos);
  const std::string expected =
      "{\n"
      "  \"image\": {\n"
      "    \"available_datasets\": {\n"
      "      \"cube\": [\n"
      "        3,\n"
      "        4,\n"
      "        5\n"
      "      ]\n"
      "    },\n"
      "    \"dataset_used\": \"cube\",\n"
      "    \"dataset_attrs\": {\n"
      "      \"units\": \"\\u00b5m\"\n"
      "    },\n"
      "    \"file_attrs\": {\n"
      "      \"title\": \"t\"\n"
      "    },\n"
      "    \"_transposed\": \"CHW \\u2192 HWC\",\n"
      "    \"_source_format\": \"HDF5\",\n"
      "    \"_source_file\": \"" + h5 + "\",\n"
      "    \"crop\": {\n"
      "      \"y\": 1,\n"
      "      \"x\": 1,\n"
      "      \"height\": 2,\n"
      "      \"width\": 3\n"
      "    }\n"
      "  },\n"
      "  \"conversion\": {\n"
      "    \"output_data_key\": \"cube\",\n"
      "    \"output_data_shape\": [\n"
      "      2,\n"
      "      3,\n"
      "      3\n"
      "    ],\n"
      "    \"output_data_dtype\": \"float32\"\n"
      "  }\n"
      "}";
  EXPECT_EQ(testing::read_file(out() + "/metadata.json"), expected);
  MatFile file(out() + "/data.mat");
  ASSERT_EQ(file.variables().size(), 1u);
  EXPECT_EQ(file.variables()[0].name, "cube");
  NdArray cube = file.load("cube");
  ASSERT_EQ(cube.shape, (std::vector<int64_t>{2, 3, 3}));
  // Output (row, col, band) = stored (band, row + 1, col + 1).
  EXPECT_EQ(at<float>(cube, {1, 2, 2}), static_cast<float>(2 * 20 + 2 * 5 + 3) / 4.0f);
}

TEST_F(ConvertCli, MissingHdf5DatasetEndsWithItsMessage) {
  const std::string h5 = dir.file("cube.h5");
  {
    testing::H5Writer w(h5);
    w.dataset_f32("a", {2, 2}, {1, 2, 3, 4});
  }
  auto r = convert({"--img", h5 + ":/b", "--out-dir", out()});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "error: Dataset 'b' not found in " + h5 + ".\nAvailable datasets: ['a']\n");
}

#endif  // LUMORA_HAVE_HDF5

TEST_F(ConvertCli, FailuresEndWithTheirMessage) {
  auto ext = convert({"--img", dir.file("scene.xyz"), "--out-dir", out()});
  EXPECT_EQ(ext.exit_code, 1);
  EXPECT_EQ(ext.out, "\n  Loading image: " + dir.file("scene.xyz") + "\n");
  EXPECT_EQ(ext.err, "error: Unrecognised file extension '.xyz'. Supported: envi, hdf5, tiff\n");

  auto key = convert({"--img", hdr(), "--out-dir", out(), "--data-key", "1abc"});
  EXPECT_EQ(key.exit_code, 1);
  EXPECT_NE(key.err.find("--data-key must be a MATLAB variable name"), std::string::npos);
  EXPECT_FALSE(fs::exists(out()));

#if LUMORA_HAVE_GDAL
  auto gt = convert({"--img", hdr(), "--gt", dir.file("labels.csv"), "--out-dir", out()});
  EXPECT_EQ(gt.exit_code, 1);
  EXPECT_EQ(gt.err, "error: Unsupported ground truth format: .csv\n");
  auto empty_gt = convert({"--img", hdr(), "--gt", "", "--out-dir", out()});
  EXPECT_EQ(empty_gt.exit_code, 1);
  EXPECT_NE(empty_gt.out.find("\n  Loading ground truth: \n"), std::string::npos);
  EXPECT_EQ(empty_gt.err, "error: Unsupported ground truth format: \n");
#endif
}

#if !LUMORA_HAVE_GDAL || !LUMORA_HAVE_HDF5
TEST_F(ConvertCli, MissingReaderPrintsTheInstallHintAndExitsWithOne) {
#if !LUMORA_HAVE_GDAL
  const std::string img = dir.file("x.tif"), name = "GDAL", package = "libgdal-dev";
#else
  const std::string img = dir.file("x.h5"), name = "HDF5", package = "libhdf5-dev";
#endif
  auto r = convert({"--img", img, "--out-dir", out()});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("\n  Missing dependency: " + name + "\n  Install it with:  sudo apt-get install " + package +
                       "\n  Then rebuild lumora:  cmake -DLUMORA_WITH_" + name +
                       "=ON <build-dir> && cmake --build <build-dir>\n\n"),
            std::string::npos);
}
#endif

// ---------------------------------------------------------------- the real Samson scene

TEST(ConvertSamson, EnviPairConvertsToTheRawValues) {
  const std::string shared = testing::shared_dir();
  if (shared.empty() || !fs::exists(shared + "/data/samson/samson_1.img.hdr")) GTEST_SKIP() << "no shared data";
#if !LUMORA_HAVE_GDAL
  GTEST_SKIP() << "built without GDAL";
#endif
  const std::string base = shared + "/data/samson/";
  testing::TempDir dir;
  auto r = testing::run_program("lumora-convert", {"--img", base + "samson_1.img.hdr", "--gt", base + "samson_gt.mat",
                                                   "--out-dir", dir.path()});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("    Wavelengths  : [400.938721, 404.152496, 407.366302, 410.580048, 413.793854] ... (156 "
                       "total)\n"),
            std::string::npos);
  EXPECT_NE(r.out.find("    Classes      : 3\n    Class labels : [1, 2, 3]\n"), std::string::npos);
  EXPECT_NE(r.out.find("      class 2         :    3,666 px\n"), std::string::npos);

  const std::string raw = testing::read_file(base + "samson_1.img");
  ASSERT_EQ(raw.size(), 95u * 95u * 156u * 2u);
  NdArray cube = MatFile(dir.path() + "/data.mat").load("data");
  ASSERT_EQ(cube.dtype, DType::Float32);
  ASSERT_EQ(cube.shape, (std::vector<int64_t>{95, 95, 156}));
  const auto* values = reinterpret_cast<const int16_t*>(raw.data());  // little-endian, band-sequential
  for (int64_t b = 0; b < 156; ++b)
    for (int64_t row = 0; row < 95; ++row)
      for (int64_t col = 0; col < 95; ++col)
        ASSERT_EQ(at<float>(cube, {row, col, b}), static_cast<float>(values[(b * 95 + row) * 95 + col]));
  const json meta = json::parse(testing::read_file(dir.path() + "/metadata.json"));
  EXPECT_FALSE(meta["image"].contains("reflectance scale factor"));
  EXPECT_EQ(meta["image"]["default bands"], json({"85", "50", "10"}));
  EXPECT_EQ(meta["ground_truth"]["mat_key"], "samson_gt");
}

// ---------------------------------------------------------------- crop helper

TEST(ApplyCrop, BoundsAndLabelWindows) {
  NdArray data = NdArray::zeros(DType::Float32, {4, 5, 2});
  for (int64_t i = 0; i < data.numel(); ++i) static_cast<float*>(data.data)[i] = static_cast<float>(i);
  NdArray small_gt = NdArray::zeros(DType::UInt8, {3, 3});
  for (int64_t i = 0; i < 9; ++i) static_cast<uint8_t*>(small_gt.data)[i] = static_cast<uint8_t>(i);

  auto [same, no_gt] = commands::convert::_apply_crop(data, std::nullopt, {0, 0, 4, 5});
  EXPECT_EQ(same.shape, data.shape);
  EXPECT_FALSE(no_gt.has_value());
  EXPECT_EQ(at<float>(same, {3, 4, 1}), at<float>(data, {3, 4, 1}));

  auto [cut, gt_cut] = commands::convert::_apply_crop(data, small_gt, {1, 1, 3, 4});
  EXPECT_EQ(cut.shape, (std::vector<int64_t>{3, 4, 2}));
  EXPECT_EQ(at<float>(cut, {0, 0, 0}), at<float>(data, {1, 1, 0}));
  // The smaller label map keeps only what lies inside its own extent.
  EXPECT_EQ(gt_cut->shape, (std::vector<int64_t>{2, 2}));
  EXPECT_EQ(at<uint8_t>(*gt_cut, {1, 1}), 8);

  auto message = [&](std::array<int64_t, 4> crop) {
    try {
      commands::convert::_apply_crop(data, std::nullopt, crop);
    } catch (const ValueError& e) {
      return std::string(e.what());
    }
    return std::string("(no error)");
  };
  EXPECT_EQ(message({1, 0, 4, 5}), "Crop region (1, 0, 4, 5) exceeds image bounds (4, 5)");
  EXPECT_EQ(message({0, 1, 4, 5}), "Crop region (0, 1, 4, 5) exceeds image bounds (4, 5)");
  EXPECT_EQ(message({0, -1, 2, 2}), "Crop region (0, -1, 2, 2) exceeds image bounds (4, 5)");
  EXPECT_EQ(message({2, 2, 0, 2}), "Crop size must be positive, got height 0 and width 2");
  EXPECT_EQ(message({3, 3, -2, 1}), "Crop size must be positive, got height -2 and width 1");
}

}  // namespace
}  // namespace lumora
