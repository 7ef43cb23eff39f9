#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "lumora/core/errors.h"
#include "lumora/datasets/cubeset.h"
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

HyperspectralDataset load(const testing::TempDir& dir, const std::string& split = "train") {
  return HyperspectralDataset(HyperspectralDatasetOptions(dir.file("data.mat"), dir.file("gt.mat")).split(split));
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
  auto opts = HyperspectralDatasetOptions(dir.file("data.mat"), dir.file("gt.mat")).data_key("first");
  HyperspectralDataset auto_ds(opts);
  HyperspectralDataset named(opts.labels_key("gt"));
  HyperspectralDataset second(opts.data_key("second"));
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

  HyperspectralDataset mm(HyperspectralDatasetOptions(dir.file("data.mat"), dir.file("gt.mat")).use_fp16(true));
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
  auto ds = load(dir, "train");
  EXPECT_TRUE(torch::equal(ds.labels, torch::tensor({{1, -1, 2}, {0, 2, 0}}, torch::kInt64)));
  EXPECT_EQ(ds.num_classes, 3);
  const int64_t total = ds.train_coords.size(0) + ds.val_coords.size(0) + ds.test_coords.size(0);
  EXPECT_EQ(total, 3);  // negatives never enter a set
  EXPECT_EQ(ds.split_mask.lt(0).sum().item<int64_t>(), 0);
}

TEST(Dataset, SplitsAreDisjointAndCoverEveryLabelledPixel) {
  testing::TempDir dir;
  auto scene = testing::make_tiny_scene(12, 12, 3, 4);
  testing::write_scene(dir.path(), scene.cube, scene.labels);
  auto train = load(dir, "train"), val = load(dir, "val"), test = load(dir, "test");
  std::set<std::pair<int64_t, int64_t>> seen;
  int64_t rows = 0;
  for (auto* ds : {&train, &val, &test}) {
    EXPECT_TRUE(torch::equal(ds->train_coords, train.train_coords));
    for (int64_t i = 0; i < ds->coords.size(0); ++i)
      seen.insert({ds->coords[i][0].item<int64_t>(), ds->coords[i][1].item<int64_t>()});
    rows += ds->coords.size(0);
    // The mask holds the labels of exactly this split's pixels.
    EXPECT_EQ(ds->split_mask.gt(0).sum().item<int64_t>(), ds->coords.size(0));
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
  auto ds = load(dir, "val");
  EXPECT_EQ(ds.size().value(), 1u);
  for (size_t idx : {size_t{0}, size_t{5}, static_cast<size_t>(-1)}) {
    auto ex = ds.get(idx);
    EXPECT_TRUE(ex.data.is_same(ds.data));
    EXPECT_TRUE(ex.target.is_same(ds.split_mask));
  }
}

TEST(Dataset, PrintsTheSummaryLine) {
  testing::TempDir dir;
  auto scene = testing::make_tiny_scene(6, 10, 4, 2);
  testing::write_scene(dir.path(), scene.cube, scene.labels);
  ::testing::internal::CaptureStdout();
  auto ds = load(dir, "test");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "test: " + std::to_string(ds.test_coords.size(0)) + " pixels across 2 classes\n");
}

TEST(Dataset, FailureMessages) {
  testing::TempDir dir;
  auto scene = testing::make_tiny_scene(6, 8, 4, 3);
  testing::write_scene(dir.path(), scene.cube, scene.labels);
  const auto opts = HyperspectralDatasetOptions(dir.file("data.mat"), dir.file("gt.mat"));

  EXPECT_EQ(error_of([&] { HyperspectralDataset(HyperspectralDatasetOptions(opts).split("Train")); }),
            "split must be 'train', 'val', or 'test'. Got: 'Train'");
  EXPECT_EQ(error_of([&] { HyperspectralDataset(HyperspectralDatasetOptions(opts).seed(4294967296LL)); }),
            "Seed must be between 0 and 2**32 - 1");
  EXPECT_EQ(error_of([&] { HyperspectralDataset(HyperspectralDatasetOptions(opts).seed(-1)); }),
            "Seed must be between 0 and 2**32 - 1");
  EXPECT_EQ(error_of([&] {
              HyperspectralDataset(HyperspectralDatasetOptions(opts).data_key("nope").labels_key("gt"));
            }),
            "variable 'nope' not found in '" + dir.file("data.mat") + "'");
  EXPECT_EQ(error_of([&] {
              HyperspectralDataset(HyperspectralDatasetOptions(opts).data_key("cube").labels_key("cube"));
            }),
            "variable 'cube' not found in '" + dir.file("gt.mat") + "'");
  EXPECT_EQ(error_of([&] {
              HyperspectralDataset(HyperspectralDatasetOptions(dir.file("missing.mat"), dir.file("gt.mat")));
            }),
            "No such file: '" + dir.file("missing.mat") + "'");

  write_mat(dir.file("flat.mat"), {{"cube", NdArray::from_tensor(torch::rand({6, 8}))}});
  EXPECT_EQ(error_of([&] {
              HyperspectralDataset(HyperspectralDatasetOptions(dir.file("flat.mat"), dir.file("gt.mat"))
                                       .data_key("cube")
                                       .labels_key("gt"));
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
    // Each load reads the file again: no dataset holds the cube in between.
    torch::Tensor alone = load_scene_cube(dir.file("data.mat"), min_max).clone();
    torch::Tensor with_labels =
        HyperspectralDataset(HyperspectralDatasetOptions(dir.file("data.mat"), dir.file("gt.mat")).use_fp16(min_max))
            .data;
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
