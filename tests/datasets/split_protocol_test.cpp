// Fixed counts, spatially disjoint blocks and given maps: the splits the
// programs draw, and the record that lets prediction draw them again.
#include <gtest/gtest.h>

#include <torch/torch.h>

#include <set>

#include "lumora/core/errors.h"
#include "lumora/datasets/cubeset.h"
#include "lumora/io/matfile.h"
#include "support/testing.h"

namespace lumora {
namespace {

using testing::error_of;

// A 40 x 36 scene of irregular rectangular fields of three classes, with an
// unlabelled road between them, and a rare class 4 of `rare` pixels.
torch::Tensor field_labels(int64_t rare = 5) {
  auto labels = torch::zeros({40, 36}, torch::kInt64);
  for (int64_t r = 0; r < 40; ++r)
    for (int64_t c = 0; c < 36; ++c) {
      if (r == 19 || c == 17) continue;  // the road
      labels[r][c] = 1 + ((r / 7) + (c / 5)) % 3;
    }
  for (int64_t i = 0; i < rare; ++i) labels[38][30 + i % 6] = 4;
  return labels;
}

std::set<std::pair<int64_t, int64_t>> pixel_set(const torch::Tensor& coords) {
  std::set<std::pair<int64_t, int64_t>> out;
  for (int64_t i = 0; i < coords.size(0); ++i) out.insert({coords[i][0].item<int64_t>(), coords[i][1].item<int64_t>()});
  return out;
}

int64_t class_count(const torch::Tensor& coords, const torch::Tensor& labels, int64_t c) {
  int64_t n = 0;
  for (int64_t i = 0; i < coords.size(0); ++i) n += labels[coords[i][0]][coords[i][1]].item<int64_t>() == c;
  return n;
}

bool same(const PixelSplit& a, const PixelSplit& b) {
  return torch::equal(a.train, b.train) && torch::equal(a.val, b.val) && torch::equal(a.test, b.test);
}

SplitProtocol counts(int64_t train, int64_t val, int64_t seed = 42) {
  SplitProtocol p;
  p.train_per_class = train, p.val_per_class = val, p.seed = seed;
  return p;
}

SplitProtocol disjoint(int64_t block, int64_t guard, int64_t seed = 42) {
  SplitProtocol p;
  p.mode = SplitMode::disjoint, p.block = block, p.guard = guard, p.seed = seed;
  return p;
}

}  // namespace

TEST(CountSplit, FirstPixelsOfTheRatioShuffleAndARareClassCutAndReported) {
  const torch::Tensor labels = field_labels(5);
  const PixelSplit split = split_pixels(labels, 5, counts(10, 4));
  for (int64_t c = 1; c <= 3; ++c) {
    EXPECT_EQ(class_count(split.train, labels, c), 10);
    EXPECT_EQ(class_count(split.val, labels, c), 4);
  }
  // Class 4 (5 pixels): training at most half, validation half of the rest, test never empty.
  EXPECT_EQ(class_count(split.train, labels, 4), 2);
  EXPECT_EQ(class_count(split.val, labels, 4), 1);
  EXPECT_EQ(class_count(split.test, labels, 4), 2);
  EXPECT_EQ(split.notes, std::vector<std::string>{"class 4 has 5 pixels: 2 train (10 asked), 1 val (4 asked), 2 test"});

  // The same shuffle as the ratios: class 1's first pixels are the ratio split's.
  const int64_t n1 = (labels == 1).sum().item<int64_t>();
  const PixelSplit by_ratio = split_pixels(labels, 5, 10.0 / static_cast<double>(n1) + 1e-9, 0.0, 42);
  EXPECT_TRUE(torch::equal(by_ratio.train.slice(0, 0, 10), split.train.slice(0, 0, 10)));

  // One pixel: training only, and said.
  const PixelSplit single = split_pixels(field_labels(1), 5, counts(3, 1));
  EXPECT_EQ(single.notes, (std::vector<std::string>{"class 4 has 1 pixels: 1 train (3 asked), 0 val (1 asked), 0 test",
                                                    "class 4 has no test pixel (1 pixel in all): it is not scored"}));
}

TEST(SplitModes, EachIsDeterministicForASeedAndChangesWithIt) {
  const torch::Tensor labels = field_labels();
  for (const SplitProtocol& p : {counts(6, 3), disjoint(5, 1)}) {
    SplitProtocol other = p;
    other.seed = 43;
    EXPECT_TRUE(same(split_pixels(labels, 5, p), split_pixels(labels, 5, p))) << p.describe();
    EXPECT_FALSE(same(split_pixels(labels, 5, p), split_pixels(labels, 5, other))) << p.describe();
  }
}

TEST(DisjointSplit, NoTestPixelNearOrBesideATrainingOrValidationPixel) {
  const torch::Tensor labels = field_labels();
  for (int64_t guard : {0, 1, 2}) {
    for (int64_t seed : {1, 2, 3}) {
      const SplitProtocol p = disjoint(6, guard, seed);
      const PixelSplit split = split_pixels(labels, 5, p);
      const auto fitted = pixel_set(torch::cat({split.train, split.val}));
      const auto test = pixel_set(split.test);
      std::set<int64_t> fitted_blocks;
      for (const auto& [r, c] : fitted) fitted_blocks.insert(r / 6 * 6 + c / 6);
      for (const auto& [tr, tc] : test) {
        EXPECT_FALSE(fitted_blocks.count(tr / 6 * 6 + tc / 6)) << "test pixel in a fitted block";
        for (const auto& [fr, fc] : fitted)
          ASSERT_GT(std::max(std::abs(tr - fr), std::abs(tc - fc)), guard) << "guard " << guard << " seed " << seed;
      }
      // Every class trains; labelled pixels are used at most once; what the guard dropped is counted.
      for (int64_t c = 1; c <= 4; ++c) EXPECT_GT(class_count(split.train, labels, c), 0);
      const int64_t labelled = (labels > 0).sum().item<int64_t>();
      const int64_t used = split.train.size(0) + split.val.size(0) + split.test.size(0);
      EXPECT_EQ(split.notes.front(), "disjoint split: blocks of 6 x 6 pixels; the guard band of " +
                                         std::to_string(guard) + (guard == 1 ? " pixel" : " pixels") + " left " +
                                         std::to_string(labelled - used) +
                                         (labelled - used == 1 ? " test pixel" : " test pixels") + " unused");
      if (guard == 0) {
        EXPECT_EQ(used, labelled);
      }
    }
  }
  EXPECT_EQ(resolved_block(SplitProtocol(), 40, 36), 4);
  EXPECT_EQ(resolved_block(SplitProtocol(), 145, 145), 15);
  EXPECT_EQ(resolved_block(SplitProtocol(), 610, 340), 32);
}

TEST(DisjointSplit, AClassLeftWithoutTrainingPixelsIsRefusedNamingIt) {
  // Class 2 lives in one block, which the rarer class 1 may take for validation.
  auto labels = torch::zeros({8, 32}, torch::kInt64);
  for (int64_t b = 0; b < 4; ++b) labels[0][b * 8] = 1, labels[1][b * 8] = 1, labels[2][b * 8] = 1;
  for (int64_t r = 4; r < 8; ++r) labels[r][9] = 2, labels[r][10] = 2, labels[r][11] = 2, labels[r][12] = 2;
  std::string message = "no error";
  for (int64_t seed = 0; seed < 64 && message == "no error"; ++seed) {
    SplitProtocol p = disjoint(8, 1, seed);
    p.train_per_class = 1, p.val_per_class = 5;
    message = error_of<ValueError>([&] { split_pixels(labels, 3, p); });
  }
  EXPECT_EQ(message,
            "the disjoint split leaves class 2 without training pixels: its 16 pixels lie in blocks of 8 x 8 pixels "
            "that other classes gave to validation; choose a smaller --split_block");
}

TEST(SplitRecord, PlainRatiosKeepTheirThreeEntriesAndEveryModeRoundTrips) {
  EXPECT_EQ(protocol_to_json(SplitProtocol()).dump(), R"({"train_ratio":0.2,"val_ratio":0.1,"seed":42})");
  SplitProtocol given;
  given.mode = SplitMode::given, given.train_gt = "/a/train.mat", given.test_gt = "/a/test.mat";
  SplitProtocol ratio_block = disjoint(12, 3, 7);
  ratio_block.train_ratio = 0.05;
  for (const SplitProtocol& p : {SplitProtocol(), counts(10, 0, 9), ratio_block, given}) {
    const auto record = protocol_to_json(p);
    EXPECT_EQ(protocol_from_json(record, "r"), p) << record.dump();
  }
  EXPECT_EQ(protocol_to_json(counts(10, 5)).dump(),
            R"({"train_ratio":0.2,"val_ratio":0.1,"seed":42,"mode":"random","train_per_class":10,"val_per_class":5})");
  auto bad = protocol_to_json(counts(10, 5));
  bad["train_per_class"] = 0;
  EXPECT_EQ(error_of<ValueError>([&] { protocol_from_json(bad, "'x.json': split"); }),
            "'x.json': split.train_per_class must be an integer of at least 1, got 0");
  bad = protocol_to_json(SplitProtocol());
  bad["colour"] = "red";
  EXPECT_EQ(error_of<ValueError>([&] { protocol_from_json(bad, "r"); }), "r has an unexpected key 'colour'");
}

TEST(GivenMaps, TrainAndScoreOnlyWhereTheMapsSayAndRefuseWhatCannotBeASplit) {
  testing::TempDir dir;
  const auto scene = testing::make_tiny_scene(16, 32, 4, 3);
  testing::write_scene(dir.path(), scene.cube, scene.labels);
  const torch::Tensor train_map = scene.labels * (torch::arange(32).remainder(8) == 0).to(torch::kInt64);
  const torch::Tensor test_map = scene.labels * (torch::arange(32).remainder(8) >= 4).to(torch::kInt64);
  auto write = [&](const std::string& name, const torch::Tensor& map) {
    write_mat(dir.file(name), {{"map", NdArray::from_tensor(map)}});
    return dir.file(name);
  };
  SplitProtocol p;
  p.mode = SplitMode::given, p.train_gt = write("train.mat", train_map), p.test_gt = write("test.mat", test_map);
  auto scene_of = [&](const SplitProtocol& protocol, const std::string& gt) {
    return LabelledScene(SceneOptions(dir.file("data.mat"), gt).protocol(protocol));
  };
  {
    const LabelledScene s = scene_of(p, "");
    // Validation without a map of its own: a tenth of each class of the training map.
    auto fitted = pixel_set(s.train_coords);
    for (const auto& pixel : pixel_set(s.val_coords)) EXPECT_TRUE(fitted.insert(pixel).second);
    EXPECT_EQ(fitted, pixel_set(torch::nonzero(train_map)));
    EXPECT_EQ(pixel_set(s.test_coords), pixel_set(torch::nonzero(test_map)));
    EXPECT_EQ(s.val_coords.size(0), 5);  // classes of 30, 15 and 15 pixels: 3 + 1 + 1
    EXPECT_TRUE(torch::equal(s.labels, train_map + test_map));
  }
  {
    // Without a test map, --gt's other labelled pixels are tested.
    SplitProtocol from_gt = p;
    from_gt.test_gt.reset();
    const LabelledScene s = scene_of(from_gt, dir.file("gt.mat"));
    EXPECT_EQ(s.test_coords.size(0),
              (scene.labels > 0).sum().item<int64_t>() - s.train_coords.size(0) - s.val_coords.size(0));
  }
  auto refused = [&](SplitProtocol q) { return error_of<OptionError>([&] { scene_of(q, ""); }); };
  SplitProtocol q = p;
  q.train_gt = write("small.mat", torch::ones({16, 31}, torch::kInt64));
  EXPECT_EQ(refused(q), "--train_gt: the label map 'map' in '" + dir.file("small.mat") +
                            "' is 16 x 31 but the scene is 16 x 32 pixels");
  q = p, q.test_gt = write("overlap.mat", scene.labels);
  EXPECT_EQ(refused(q), std::to_string((train_map > 0).sum().item<int64_t>()) +
                            " pixels are labelled in both --train_gt '" + dir.file("train.mat") + "' and --test_gt '" +
                            dir.file("overlap.mat") + "', the first at row 1, column 0; a pixel belongs to one set only");
  q = p, q.train_gt = write("empty.mat", torch::zeros({16, 32}, torch::kInt64));
  EXPECT_EQ(refused(q), "--train_gt '" + dir.file("empty.mat") + "' labels no pixel: there is nothing to train on");
  q = p, q.train_gt = write("no3.mat", train_map * (train_map != 3).to(torch::kInt64));
  EXPECT_EQ(refused(q).substr(0, 10), "class 3 ha");
  EXPECT_NE(refused(q).find("in --test_gt '" + dir.file("test.mat") + "' but no training pixel in --train_gt '" +
                            dir.file("no3.mat") + "': a network cannot learn it"),
            std::string::npos);
}

}  // namespace lumora
