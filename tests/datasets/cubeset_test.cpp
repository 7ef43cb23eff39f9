#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <set>

#include "lumora/core/errors.h"
#include "lumora/datasets/cubeset.h"
#include "support/mat5_bytes.h"
#include "support/testing.h"

namespace lumora {
namespace {

MatVariableInfo var(const std::string& name, std::vector<int64_t> dims, bool numeric = true) {
  MatVariableInfo v;
  v.name = name;
  v.dims = std::move(dims);
  v.numeric = numeric;
  v.mat_class = numeric ? "double" : "cell";
  return v;
}

using testing::error_of;

SceneOptions options(const testing::TempDir& dir) { return SceneOptions(dir.file("data.mat"), dir.file("gt.mat")); }

LabelledScene load(const testing::TempDir& dir) { return LabelledScene(options(dir)); }

// An uncompressed single-precision cube (H, W, C) named "cube", from its
// values in the file's column-major order: two cubes of one shape make two
// files of one size.
void write_plain_cube(const std::string& path, const std::vector<float>& values, const std::vector<int32_t>& dims) {
  namespace mat5 = testing::mat5;
  mat5::Matrix cube;
  cube.name = "cube";
  cube.array_class = mat5::kClassSingle;
  cube.dims = dims;
  cube.data_type = mat5::kSingle;
  cube.data = mat5::values(values);
  mat5::write_bytes(path, mat5::header() + mat5::matrix(cube));
}

}  // namespace

TEST(FindKeys, LastThreeDAndLastTwoDWin) {
  auto keys = _find_keys({var("a", {4, 4, 3}), var("m", {4, 4}), var("b", {4, 4, 5}), var("n", {1, 4}),
                          var("v", {2, 2, 2, 2})});
  EXPECT_EQ(keys, std::make_pair(std::string("b"), std::string("n")));
}

TEST(FindKeys, HeaderEntriesSkippedAndNonNumericCountsAsTwoD) {
  auto keys = _find_keys({var("__header__", {4, 4, 3}), var("cube", {4, 4, 3}), var("gt", {4, 4}),
                          var("names", {1, 1, 9}, /*numeric=*/false)});
  EXPECT_EQ(keys, std::make_pair(std::string("cube"), std::string("names")));
}

TEST(FindKeys, ExactMessageWhenAKeyIsMissing) {
  EXPECT_EQ(error_of([] { _find_keys({var("__globals__", {1, 1}), var("cube", {4, 4, 3}), var("x", {2, 2, 2, 2})}); }),
            "Could not auto-detect keys.\nAvailable: ['cube', 'x']\n"
            "Pass manually: HyperspectralDataset(..., data_key='...', labels_key='...')");
  EXPECT_EQ(error_of([] { _find_keys({}); }),
            "Could not auto-detect keys.\nAvailable: []\n"
            "Pass manually: HyperspectralDataset(..., data_key='...', labels_key='...')");
}

TEST(Dataset, PooledOrderLetsTheLabelFileWinSharedNamesAndLaterTwoD) {
  testing::TempDir dir;
  auto scene = testing::make_tiny_scene(6, 8, 4, 3);
  // The data file also holds a 2-D variable; the label file's one comes later.
  write_mat(dir.file("data.mat"), {{"extra2d", NdArray::from_tensor(torch::ones({6, 8}))},
                                   {"cube", NdArray::from_tensor(scene.cube)}});
  write_mat(dir.file("gt.mat"), {{"gt", NdArray::from_tensor(scene.labels)}});
  auto ds = load(dir);
  EXPECT_TRUE(torch::equal(ds.labels, scene.labels));

  // A shared name: the label file's array takes the data file's slot, so
  // "extra2d" of the label file (a 2-D label map) is the last 2-D variable
  // only if nothing 2-D follows it; here "gt" still follows.
  write_mat(dir.file("gt.mat"), {{"gt", NdArray::from_tensor(scene.labels)},
                                 {"extra2d", NdArray::from_tensor(torch::ones({6, 8, 2}))}});
  // Pooled: extra2d (label file's 3-D), cube (3-D), gt (2-D) -> cube, gt.
  ds = load(dir);
  EXPECT_EQ(ds.num_bands, 4);
  EXPECT_TRUE(torch::equal(ds.labels, scene.labels));
}

TEST(Dataset, DetectedKeyOnlyInTheOtherFileFailsAsMissingVariable) {
  testing::TempDir dir;
  auto scene = testing::make_tiny_scene(6, 8, 4, 3);
  // The only 2-D variable is in the data file: detection picks it, the label file lacks it.
  write_mat(dir.file("data.mat"), {{"cube", NdArray::from_tensor(scene.cube)},
                                   {"mask", NdArray::from_tensor(scene.labels)}});
  write_mat(dir.file("gt.mat"), {{"other", NdArray::from_tensor(torch::ones({6, 8, 2, 2}))}});
  const auto msg = error_of([&] { load(dir); });
  EXPECT_EQ(msg, "variable 'mask' not found in '" + dir.file("gt.mat") + "'");
}

TEST(Dataset, OnlyDataKeyGivenStillAutoDetectsBoth) {
  testing::TempDir dir;
  auto scene = testing::make_tiny_scene(6, 8, 4, 3);
  write_mat(dir.file("data.mat"), {{"first", NdArray::from_tensor(scene.cube.flip(2))},
                                   {"second", NdArray::from_tensor(scene.cube)}});
  write_mat(dir.file("gt.mat"), {{"gt", NdArray::from_tensor(scene.labels)}});
  auto opts = options(dir).data_key("first");
  LabelledScene auto_ds(opts);
  LabelledScene named(opts.labels_key("gt"));
  LabelledScene second(opts.data_key("second"));
  EXPECT_TRUE(torch::equal(auto_ds.data, second.data));  // "second" was detected
  EXPECT_FALSE(torch::equal(named.data, second.data));   // both given: used as given
}

TEST(Dataset, ShapesConversionsAndNormalisation) {
  testing::TempDir dir;
  auto scene = testing::make_tiny_scene(6, 8, 5, 3);
  testing::write_scene(dir.path(), scene.cube.to(torch::kFloat64), scene.labels.to(torch::kUInt8));
  auto ds = load(dir);
  EXPECT_EQ(ds.num_bands, 5);
  EXPECT_EQ(ds.num_classes, 4);
  EXPECT_EQ(ds.data.sizes(), (std::vector<int64_t>{5, 6, 8}));
  EXPECT_EQ(ds.data.scalar_type(), torch::kFloat32);
  EXPECT_EQ(ds.labels.scalar_type(), torch::kInt64);
  EXPECT_NEAR(ds.data.mean().item<double>(), 0.0, 1e-5);
  EXPECT_NEAR(ds.data.std(false).item<double>(), 1.0, 1e-4);
  // Band axis first: data[c, h, w] is the stored cube[h, w, c] normalised.
  auto cube = scene.cube.to(torch::kFloat64);
  auto expected = ((cube - cube.mean()) / cube.std(false)).permute({2, 0, 1}).to(torch::kFloat32);
  EXPECT_TRUE(torch::allclose(ds.data, expected, 1e-4, 1e-4));

  LabelledScene mm(options(dir).use_fp16(true));
  EXPECT_EQ(mm.data.scalar_type(), torch::kFloat32);
  EXPECT_GE(mm.data.min().item<float>(), 0.0f);
  EXPECT_LE(mm.data.max().item<float>(), 1.0f);
  EXPECT_NEAR(mm.data.min().item<float>(), 0.0f, 1e-6);
  EXPECT_NEAR(mm.data.max().item<float>(), 1.0f, 1e-6);
}

TEST(Dataset, FractionalAndNegativeLabels) {
  testing::TempDir dir;
  auto labels = torch::tensor({{1.7, -1.0, 2.2}, {-0.5, 2.9, 0.0}}, torch::kFloat64);
  testing::write_scene(dir.path(), torch::rand({2, 3, 2}), labels);
  auto scene = load(dir);
  EXPECT_TRUE(torch::equal(scene.labels, torch::tensor({{1, -1, 2}, {0, 2, 0}}, torch::kInt64)));
  EXPECT_EQ(scene.num_classes, 3);
  const int64_t total = scene.train_coords.size(0) + scene.val_coords.size(0) + scene.test_coords.size(0);
  EXPECT_EQ(total, 3);  // negatives never enter a set
  for (Split split : {Split::train, Split::val, Split::test}) EXPECT_EQ(scene.mask(split).lt(0).sum().item<int64_t>(), 0);
}

TEST(Dataset, SplitsAreDisjointAndCoverEveryLabelledPixel) {
  testing::TempDir dir;
  auto tiny = testing::make_tiny_scene(12, 12, 3, 4);
  testing::write_scene(dir.path(), tiny.cube, tiny.labels);
  const LabelledScene scene = load(dir);
  std::set<std::pair<int64_t, int64_t>> seen;
  int64_t rows = 0;
  for (Split split : {Split::train, Split::val, Split::test}) {
    const HyperspectralDataset ds(scene, split);
    EXPECT_EQ(ds.split, split);
    EXPECT_TRUE(torch::equal(ds.coords, scene.coords(split)));
    for (int64_t i = 0; i < ds.coords.size(0); ++i)
      seen.insert({ds.coords[i][0].item<int64_t>(), ds.coords[i][1].item<int64_t>()});
    rows += ds.coords.size(0);
    // The mask holds the labels of exactly this split's pixels.
    EXPECT_EQ(ds.split_mask.gt(0).sum().item<int64_t>(), ds.coords.size(0));
    EXPECT_TRUE(torch::equal(ds.split_mask.gt(0), ds.split_mask.ne(0)));
    EXPECT_TRUE(torch::equal(ds.split_mask.masked_select(ds.split_mask.gt(0)),
                             scene.labels.masked_select(ds.split_mask.gt(0))));
  }
  EXPECT_EQ(rows, static_cast<int64_t>(seen.size()));
  EXPECT_EQ(rows, scene.labels.gt(0).sum().item<int64_t>());
}

TEST(Dataset, WorkedSplitSizesAndSingletonClass) {
  // Class sizes 1, 2, 5, 10 give 1/0/0, 1/1/0, 1/1/3, 2/1/7.
  auto labels = torch::zeros({3, 10}, torch::kInt64);
  labels[0][0] = 1;
  labels[0].slice(0, 1, 3).fill_(2);
  labels[0].slice(0, 3, 8).fill_(3);
  labels[1].fill_(4);
  auto split = split_pixels(labels, 5, 0.2, 0.1, 42);
  auto count = [](const torch::Tensor& coords, const torch::Tensor& map, int64_t c) {
    int64_t n = 0;
    for (int64_t i = 0; i < coords.size(0); ++i)
      n += map[coords[i][0].item<int64_t>()][coords[i][1].item<int64_t>()].item<int64_t>() == c;
    return n;
  };
  const int64_t expected[4][3] = {{1, 0, 0}, {1, 1, 0}, {1, 1, 3}, {2, 1, 7}};
  for (int64_t c = 1; c <= 4; ++c) {
    EXPECT_EQ(count(split.train, labels, c), expected[c - 1][0]) << c;
    EXPECT_EQ(count(split.val, labels, c), expected[c - 1][1]) << c;
    EXPECT_EQ(count(split.test, labels, c), expected[c - 1][2]) << c;
  }
}

TEST(Dataset, AbsentClassConsumesNoRandomNumbers) {
  auto with_gap = torch::tensor({{1, 1, 1, 3, 3, 3, 3}}, torch::kInt64);
  auto without = torch::tensor({{1, 1, 1, 2, 2, 2, 2}}, torch::kInt64);
  auto a = split_pixels(with_gap, 4, 0.3, 0.3, 9);
  auto b = split_pixels(without, 3, 0.3, 0.3, 9);
  EXPECT_TRUE(torch::equal(a.train, b.train));
  EXPECT_TRUE(torch::equal(a.test, b.test));
}

TEST(Dataset, RatiosOutsideZeroToOneAreRefused) {
  auto labels = torch::tensor({{1, 1, 2, 2}}, torch::kInt64);
  auto message = [&](double train, double val) {
    return testing::error_of<ValueError>([&] { split_pixels(labels, 3, train, val, 42); });
  };
  EXPECT_EQ(message(std::nan(""), 0.1), "train_ratio must be a number from 0 to 1, got nan");
  EXPECT_EQ(message(1e300, 0.1), "train_ratio must be a number from 0 to 1, got 1e+300");
  EXPECT_EQ(message(0.2, -0.5), "val_ratio must be a number from 0 to 1, got -0.5");
  EXPECT_EQ(message(0.0, 1.0), "no error");
}

TEST(Dataset, SampleInterfaceReturnsTheSameTensors) {
  testing::TempDir dir;
  auto scene = testing::make_tiny_scene(6, 8, 4, 3);
  testing::write_scene(dir.path(), scene.cube, scene.labels);
  HyperspectralDataset ds(load(dir), Split::val);
  EXPECT_EQ(ds.size().value(), 1u);
  for (size_t idx : {size_t{0}, size_t{5}, static_cast<size_t>(-1)}) {
    auto ex = ds.get(idx);
    EXPECT_TRUE(ex.data.is_same(ds.data));
    EXPECT_TRUE(ex.target.is_same(ds.split_mask));
  }
}

// The programs print the split lines; loading a scene and taking its splits prints nothing.
TEST(Dataset, LoadingPrintsNothing) {
  testing::TempDir dir;
  auto scene = testing::make_tiny_scene(6, 10, 4, 2);
  testing::write_scene(dir.path(), scene.cube, scene.labels);
  ::testing::internal::CaptureStdout();
  const LabelledScene loaded = load(dir);
  for (Split split : {Split::train, Split::val, Split::test}) {
    const HyperspectralDataset view(loaded, split);
    EXPECT_EQ(view.split, split);
  }
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

// The three splits are views of one cube and one label map: same storage,
// not copies; only the masks are their own.
TEST(Dataset, SplitsShareTheScenesStorage) {
  testing::TempDir dir;
  auto tiny = testing::make_tiny_scene(8, 10, 4, 3);
  testing::write_scene(dir.path(), tiny.cube, tiny.labels);
  const LabelledScene scene = load(dir);
  const HyperspectralDataset train(scene, Split::train), val(scene, Split::val), test(scene, Split::test);
  for (const HyperspectralDataset* ds : {&train, &val, &test}) {
    EXPECT_EQ(ds->data.data_ptr(), scene.data.data_ptr());
    EXPECT_EQ(ds->labels.data_ptr(), scene.labels.data_ptr());
    EXPECT_EQ(ds->coords.data_ptr(), scene.coords(ds->split).data_ptr());
    auto sample = const_cast<HyperspectralDataset*>(ds)->get(0);
    EXPECT_EQ(sample.data.data_ptr(), scene.data.data_ptr());
    EXPECT_EQ(sample.data.sizes(), scene.data.sizes());
  }
  EXPECT_NE(train.split_mask.data_ptr(), val.split_mask.data_ptr());
  EXPECT_NE(val.split_mask.data_ptr(), test.split_mask.data_ptr());
}

// Each load reads its files: nothing is kept between loads, so a cube
// rewritten in place with the same size and time stamp is read anew while an
// earlier scene of it is still held.
TEST(Dataset, EachLoadReadsTheFilesAgain) {
  testing::TempDir dir;
  auto tiny = testing::make_tiny_scene(6, 8, 4, 3);
  testing::write_scene(dir.path(), tiny.cube, tiny.labels);
  const torch::Tensor column_major = tiny.cube.permute({2, 1, 0}).contiguous();
  std::vector<float> values(column_major.data_ptr<float>(), column_major.data_ptr<float>() + column_major.numel());
  write_plain_cube(dir.file("data.mat"), values, {6, 8, 4});
  const auto size = std::filesystem::file_size(dir.file("data.mat"));
  const auto stamp = std::filesystem::last_write_time(dir.file("data.mat"));
  const LabelledScene first = load(dir);

  std::reverse(values.begin(), values.end());  // every axis reversed
  write_plain_cube(dir.file("data.mat"), values, {6, 8, 4});
  std::filesystem::last_write_time(dir.file("data.mat"), stamp);
  ASSERT_EQ(std::filesystem::file_size(dir.file("data.mat")), size);
  const LabelledScene second = load(dir);
  EXPECT_NE(first.data.data_ptr(), second.data.data_ptr());
  EXPECT_TRUE(torch::allclose(second.data, first.data.flip({0, 1, 2}), 1e-5, 1e-5));
  EXPECT_FALSE(torch::allclose(second.data, first.data, 1e-3, 1e-3));
}

TEST(Split, NamesParseBothWays) {
  for (Split split : {Split::train, Split::val, Split::test}) EXPECT_EQ(parse_split(split_name(split)), split);
  EXPECT_STREQ(split_name(Split::train), "train");
  EXPECT_STREQ(split_name(Split::val), "val");
  EXPECT_STREQ(split_name(Split::test), "test");
}

TEST(Split, OtherNamesAreRefusedWithTheExactMessage) {
  for (const std::string bad : {"Train", "", "validation", " test", "test ", "TEST"})
    EXPECT_EQ(error_of<ValueError>([&] { parse_split(bad); }),
              "split must be 'train', 'val', or 'test'. Got: '" + bad + "'");
}

TEST(Dataset, FailureMessages) {
  testing::TempDir dir;
  auto scene = testing::make_tiny_scene(6, 8, 4, 3);
  testing::write_scene(dir.path(), scene.cube, scene.labels);
  const auto opts = options(dir);

  EXPECT_EQ(error_of([&] { LabelledScene(SceneOptions(opts).seed(4294967296LL)); }),
            "Seed must be between 0 and 2**32 - 1");
  EXPECT_EQ(error_of([&] { LabelledScene(SceneOptions(opts).seed(-1)); }), "Seed must be between 0 and 2**32 - 1");
  EXPECT_EQ(error_of([&] { LabelledScene(SceneOptions(opts).data_key("nope").labels_key("gt")); }),
            "variable 'nope' not found in '" + dir.file("data.mat") + "'");
  EXPECT_EQ(error_of([&] { LabelledScene(SceneOptions(opts).data_key("cube").labels_key("cube")); }),
            "variable 'cube' not found in '" + dir.file("gt.mat") + "'");
  EXPECT_EQ(error_of([&] { LabelledScene(SceneOptions(dir.file("missing.mat"), dir.file("gt.mat"))); }),
            "No such file: '" + dir.file("missing.mat") + "'");

  write_mat(dir.file("flat.mat"), {{"cube", NdArray::from_tensor(torch::rand({6, 8}))}});
  EXPECT_EQ(error_of([&] {
              LabelledScene(SceneOptions(dir.file("flat.mat"), dir.file("gt.mat")).data_key("cube").labels_key("gt"));
            }),
            "expected a 3-D cube (H, W, C) in variable 'cube' of '" + dir.file("flat.mat") + "', got 2 dimensions");
}

TEST(Dataset, UnsoundInputsAreRefusedWithClearErrors) {
  testing::TempDir dir;
  auto scene = testing::make_tiny_scene(6, 8, 4, 3);
  // No labelled pixel.
  testing::write_scene(dir.path(), scene.cube, torch::zeros({6, 8}, torch::kInt64) - 1);
  EXPECT_EQ(error_of([&] { load(dir); }), "no labelled pixels in '" + dir.file("gt.mat") + "' (no label above 0)");
  // NaN and infinite values in the cube.
  auto bad = scene.cube.clone();
  bad[0][0][0] = std::nanf("");
  bad[1][2][3] = INFINITY;
  testing::write_scene(dir.path(), bad, scene.labels);
  EXPECT_EQ(error_of([&] { load(dir); }), "the cube in '" + dir.file("data.mat") +
                                              "' holds 2 values that are not finite (NaN or infinite); clean or "
                                              "mask them before training");
  // Finite values whose statistics overflow single precision, such as a fill
  // value of the largest float: the scene used to normalise to NaN silently.
  auto filled = scene.cube.clone();
  filled[0][0].fill_(3.0e38f);
  filled[5][7].fill_(3.0e38f);  // the mean overflows
  testing::write_scene(dir.path(), filled, scene.labels);
  const std::string overflow = "the cube in '" + dir.file("data.mat") +
                               "' holds values too large to normalise in single precision (up to 3e+38); rescale "
                               "them or mask fill values before training";
  EXPECT_EQ(error_of([&] { load(dir); }), overflow);
  EXPECT_EQ(error_of([&] { load_scene_cube(dir.file("data.mat")); }), overflow);
  filled[5][7].fill_(-3.0e38f);  // the range overflows
  testing::write_scene(dir.path(), filled, scene.labels);
  EXPECT_EQ(error_of([&] { LabelledScene(options(dir).use_fp16(true)); }), overflow);
  EXPECT_EQ(error_of([&] { load_scene_cube(dir.file("data.mat"), /*min_max=*/true); }), overflow);
  // Label map of another size.
  testing::write_scene(dir.path(), scene.cube, torch::ones({5, 8}, torch::kInt64));
  EXPECT_NE(error_of([&] { load(dir); }).find("is 5 x 8 but the cube"), std::string::npos);
}

}  // namespace lumora

namespace lumora {

// A scene without its label map: the same normalised cube a dataset holds,
// whichever normalisation, and the last 3-D variable of the file.
TEST(SceneCube, EqualsTheDatasetsCubeWithoutALabelMap) {
  testing::TempDir dir;
  auto scene = testing::make_tiny_scene(6, 8, 5, 3);
  testing::write_scene(dir.path(), scene.cube, scene.labels);
  for (bool min_max : {false, true}) {
    const torch::Tensor alone = load_scene_cube(dir.file("data.mat"), min_max);
    const torch::Tensor with_labels = LabelledScene(options(dir).use_fp16(min_max)).data;
    EXPECT_TRUE(torch::equal(alone, with_labels)) << min_max;
  }
  write_mat(dir.file("two.mat"), {{"first", NdArray::from_tensor(torch::zeros({2, 3, 4}))},
                                   {"mask", NdArray::from_tensor(torch::ones({2, 3}))},
                                   {"second", NdArray::from_tensor(torch::arange(24, torch::kFloat32).view({2, 3, 4}))}});
  const torch::Tensor second = load_scene_cube(dir.file("two.mat"));
  EXPECT_EQ(second.sizes(), (std::vector<int64_t>{4, 2, 3}));
  EXPECT_GT(second.std().item<double>(), 0.5);  // the ramp, not the zeros
  write_mat(dir.file("flat.mat"), {{"mask", NdArray::from_tensor(torch::ones({2, 3}))}});
  EXPECT_EQ(error_of<ValueError>([&] { load_scene_cube(dir.file("flat.mat")); }),
            "no 3-D variable (H, W, C) to use as the cube in '" + dir.file("flat.mat") + "'; its variables: ['mask']");
}

}  // namespace lumora
