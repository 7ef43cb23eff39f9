#include "lumora/datasets/spilled_cube.h"

#include <gtest/gtest.h>
#include <torch/torch.h>

#include <cmath>
#include <cstdlib>

#include "lumora/core/errors.h"
#include "lumora/datasets/cubeset.h"
#include "lumora/io/matfile.h"
#include "support/mat5_bytes.h"
#include "support/testing.h"

namespace lumora {
namespace {

using testing::TempDir;
namespace m5 = testing::mat5;

// Points TMPDIR at a folder of the test's own for its lifetime.
class OwnTemporaryFolder {
 public:
  OwnTemporaryFolder() {
    const char* old = std::getenv("TMPDIR");
    if (old) previous_ = old;
    had_ = old != nullptr;
    setenv("TMPDIR", dir_.path().c_str(), 1);
  }
  ~OwnTemporaryFolder() {
    if (had_)
      setenv("TMPDIR", previous_.c_str(), 1);
    else
      unsetenv("TMPDIR");
  }
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  std::string previous_;
  bool had_ = false;
};

torch::Tensor sample_cube(int64_t h, int64_t w, int64_t c) {
  torch::manual_seed(3);
  return torch::rand({h, w, c}) * 900 + 50;
}

// The windows and bands of a spilled cube are the loaded cube's, up to the
// last bit of the statistics (taken in double precision here).
void expect_same_as_loaded(const std::string& path, bool min_max) {
  const torch::Tensor loaded = load_scene_cube(path, min_max);
  const SpilledCube spilled(path, min_max);
  ASSERT_EQ(spilled.bands(), loaded.size(0));
  ASSERT_EQ(spilled.height(), loaded.size(1));
  ASSERT_EQ(spilled.width(), loaded.size(2));
  const torch::Tensor whole = spilled.window(0, spilled.height(), 0, spilled.width());
  EXPECT_TRUE(torch::allclose(whole, loaded, 1e-5, 1e-5)) << (whole - loaded).abs().max().item<double>();
  EXPECT_TRUE(torch::equal(spilled.window(3, 6, 2, 5), whole.slice(1, 3, 6).slice(2, 2, 5)));
  EXPECT_TRUE(torch::equal(spilled.window(0, spilled.height(), 4, 6), whole.slice(2, 4, 6)));
  EXPECT_TRUE(torch::equal(spilled.band_planes({2, 0, 2}), whole.index_select(0, torch::tensor({2, 0, 2}))));
}

TEST(SpilledCube, CompressedAndPlainFilesGiveTheLoadedCube) {
  TempDir dir;  // before TMPDIR moves, so that it lies outside the folder watched
  OwnTemporaryFolder tmp;
  const torch::Tensor cube = sample_cube(12, 10, 5);
  testing::write_scene(dir.path(), cube, torch::ones({12, 10}, torch::kLong));
  expect_same_as_loaded(dir.file("data.mat"), false);
  expect_same_as_loaded(dir.file("data.mat"), true);

  // Uncompressed and big-endian, values stored as uint16 in a double variable.
  std::vector<uint16_t> values;
  for (int64_t i = 0; i < 7 * 6 * 4; ++i) values.push_back(static_cast<uint16_t>((i * 37) % 1000));
  m5::Matrix m;
  m.name = "cube";
  m.dims = {7, 6, 4};
  m.data_type = 4;  // uint16
  m.data = m5::values(values, true);
  m5::write_bytes(dir.file("plain.mat"), m5::header(true) + m5::matrix(m, true));
  expect_same_as_loaded(dir.file("plain.mat"), false);

  // The stored order is column-major: element (y, x, c) is value y + 7 (x + 6 c).
  const SpilledCube spilled(dir.file("plain.mat"), false);
  const torch::Tensor raw = spilled.window(0, 7, 0, 6) * (spilled.scale().spread + 1e-8) + spilled.scale().offset;
  EXPECT_NEAR(raw[2][3][5].item<double>(), static_cast<double>(values[3 + 7 * (5 + 6 * 2)]), 1e-2);
  // Nothing is left in the temporary folder, even while the cube is open.
  EXPECT_TRUE(testing::entries(tmp.dir().path()).empty());
}

TEST(SpilledCube, StatisticsAreTheWholeCubesOwn) {
  TempDir dir;  // before TMPDIR moves, so that it lies outside the folder watched
  OwnTemporaryFolder tmp;
  const torch::Tensor cube = sample_cube(9, 8, 3);
  testing::write_scene(dir.path(), cube, torch::ones({9, 8}, torch::kLong));
  const SpilledCube by_moments(dir.file("data.mat"), false);
  EXPECT_NEAR(by_moments.scale().offset, cube.to(torch::kDouble).mean().item<double>(), 1e-3);
  EXPECT_NEAR(by_moments.scale().spread, cube.to(torch::kDouble).std(false).item<double>(), 1e-3);
  const SpilledCube by_range(dir.file("data.mat"), true);
  EXPECT_EQ(by_range.scale().offset, cube.min().item<float>());
  EXPECT_EQ(by_range.scale().spread, cube.max().item<float>() - cube.min().item<float>());
}

TEST(SpilledCube, DamagedOrUnusableCubesFailNamingTheFile) {
  TempDir dir;  // before TMPDIR moves, so that it lies outside the folder watched
  OwnTemporaryFolder tmp;
  // A compressed cube whose stream is cut short.
  m5::Matrix m;
  m.name = "cube";
  m.array_class = m5::kClassSingle;
  m.data_type = m5::kSingle;
  m.dims = {16, 16, 2};
  std::vector<float> varied;
  for (int i = 0; i < 512; ++i) varied.push_back(std::sin(static_cast<float>(i) * 0.7f) * 1000.0f);
  m.data = m5::values(varied);
  const std::string stream = m5::zlib(m5::matrix(m));
  const std::string cut = dir.file("cut.mat");
  m5::write_bytes(cut, m5::header() + m5::element(m5::kCompressed, stream.substr(0, stream.size() / 2)));
  const std::string message = testing::error_of([&] { SpilledCube c(cut, false); });
  EXPECT_NE(message.find("variable 'cube' in '" + cut + "' is truncated: its compressed data ends after "),
            std::string::npos)
      << message;

  // Values that are not finite are counted, as a loaded scene counts them.
  std::vector<float> bad(32, 2.0f);
  bad[3] = std::nanf("");
  bad[9] = INFINITY;
  m.dims = {4, 4, 2};
  m.data = m5::values(bad);
  const std::string nan = dir.file("nan.mat");
  m5::write_bytes(nan, m5::header() + m5::compressed(m5::matrix(m)));
  EXPECT_EQ(testing::error_of([&] { SpilledCube c(nan, false); }),
            testing::error_of([&] { load_scene_cube(nan); }));
  EXPECT_EQ(testing::error_of([&] { SpilledCube c(nan, false); }),
            "the cube in '" + nan + "' holds 2 values that are not finite (NaN or infinite); clean or mask them "
            "before training");

  // A window outside the cube.
  m.data = m5::values(std::vector<float>(32, 1.0f));
  const std::string ok = dir.file("ok.mat");
  m5::write_bytes(ok, m5::header() + m5::compressed(m5::matrix(m)));
  const SpilledCube c(ok, false);
  EXPECT_EQ(testing::error_of([&] { c.window(0, 5, 0, 4); }),
            "window rows [0, 5) x columns [0, 4) lies outside the 4 x 4 cube of '" + ok + "'");
  EXPECT_TRUE(testing::entries(tmp.dir().path()).empty());
}

}  // namespace
}  // namespace lumora
