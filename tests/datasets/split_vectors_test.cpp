// The per-class split must reproduce numpy's legacy RandomState shuffle
// exactly; the expected splits are stored vectors.
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include <nlohmann/json.hpp>

#include "lumora/datasets/cubeset.h"
#include "support/testing.h"

namespace lumora {
namespace {

nlohmann::json load_vectors() {
  std::ifstream in(testing::source_dir() + "/tests/data/split_cases.json");
  return nlohmann::json::parse(in);
}

torch::Tensor coords_of(const nlohmann::json& list) {
  auto t = torch::empty({static_cast<int64_t>(list.size()), 2}, torch::kInt64);
  for (size_t i = 0; i < list.size(); ++i) {
    t[i][0] = list[i][0].get<int64_t>();
    t[i][1] = list[i][1].get<int64_t>();
  }
  return t;
}

torch::Tensor labels_of(const nlohmann::json& rows) {
  const int64_t h = rows.size(), w = rows[0].size();
  auto t = torch::empty({h, w}, torch::kInt64);
  for (int64_t r = 0; r < h; ++r)
    for (int64_t c = 0; c < w; ++c) t[r][c] = rows[r][c].get<int64_t>();
  return t;
}

}  // namespace

TEST(SplitVectors, GeneratorMatchesReferenceOutputs) {
  const auto vectors = load_vectors();
  std::mt19937 gen(42);
  for (const auto& expected : vectors["mt19937_seed42_first_outputs"]) EXPECT_EQ(gen(), expected.get<uint32_t>());
}

TEST(SplitVectors, EveryCaseIsReproduced) {
  const auto vectors = load_vectors();
  ASSERT_GE(vectors["cases"].size(), 6u);
  for (const auto& c : vectors["cases"]) {
    SCOPED_TRACE("seed " + std::to_string(c["seed"].get<int64_t>()) + " ratios " + c["train_ratio"].dump() + "/" +
                 c["val_ratio"].dump());
    const auto labels = labels_of(c["labels"]);
    const auto split = split_pixels(labels, labels.max().item<int64_t>() + 1, c["train_ratio"].get<double>(),
                                    c["val_ratio"].get<double>(), c["seed"].get<int64_t>());
    EXPECT_TRUE(torch::equal(split.train, coords_of(c["train_coords"])));
    EXPECT_TRUE(torch::equal(split.val, coords_of(c["val_coords"])));
    EXPECT_TRUE(torch::equal(split.test, coords_of(c["test_coords"])));
  }
}

TEST(SplitVectors, DatasetFromMatFilesGivesTheSameSplits) {
  const auto vectors = load_vectors();
  const auto& c = vectors["cases"][5];  // the large case
  testing::TempDir dir;
  const auto labels = labels_of(c["labels"]);
  testing::write_scene(dir.path(), torch::rand({labels.size(0), labels.size(1), 4}), labels.to(torch::kInt16));
  const LabelledScene scene(SceneOptions(dir.file("data.mat"), dir.file("gt.mat")).seed(c["seed"].get<int64_t>()));
  EXPECT_TRUE(torch::equal(scene.train_coords, coords_of(c["train_coords"])));
  EXPECT_TRUE(torch::equal(scene.val_coords, coords_of(c["val_coords"])));
  EXPECT_TRUE(torch::equal(scene.test_coords, coords_of(c["test_coords"])));
  for (const char* name : {"train", "val", "test"}) {
    const HyperspectralDataset ds(scene, parse_split(name));
    EXPECT_TRUE(torch::equal(ds.coords, coords_of(c[std::string(name) + "_coords"])));
  }
}

}  // namespace lumora
