// The split protocols end to end: what each training program draws, writes
// to split.tif and records, what lumora-predict reproduces from the record
// alone, and the option errors refused before any work.
#include <gtest/gtest.h>
#include <torch/torch.h>

#include <filesystem>

#include "lumora/datasets/cubeset.h"
#include "lumora/io/matfile.h"
#include "lumora/rssp/bundle.h"
#include "maps/raster_reading.h"
#include "support/testing.h"

namespace lumora {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kSmallNet = {"--base_filters", "4", "--num_filters", "2", "--lr", "0.01", "--no-maps"};

class SplitCli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new testing::TempDir();
    auto scene = testing::make_tiny_scene(32, 32, 8, 3);
    scene.labels[31][0] = 4;  // a rare class of one pixel
    testing::write_scene(dir->path(), scene.cube, scene.labels);
    labels = new torch::Tensor(scene.labels);
  }
  static void TearDownTestSuite() {
    delete labels;
    delete dir;
  }
  static testing::RunResult run(const std::string& program, const std::string& out, std::vector<std::string> extra,
                                bool with_gt = true) {
    std::vector<std::string> args = {"--data", dir->file("data.mat"), "--out-dir", dir->file(out)};
    if (with_gt) args.insert(args.end(), {"--gt", dir->file("gt.mat")});
    args.insert(args.end(), extra.begin(), extra.end());
    return testing::run_program(program, args);
  }
  static torch::Tensor roles_in(const std::string& path) {
    return testing::read_raster(dir->file(path)).values[0].to(torch::kUInt8);
  }
  static torch::Tensor roles_of(const SplitProtocol& p, const std::string& gt) {
    return LabelledScene(SceneOptions(dir->file("data.mat"), gt).protocol(p).load_cube(false)).roles();
  }
  static testing::TempDir* dir;
  static torch::Tensor* labels;
};
testing::TempDir* SplitCli::dir = nullptr;
torch::Tensor* SplitCli::labels = nullptr;

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

TEST_F(SplitCli, CountsAreWrittenRecordedAndScoredAgainByPredict) {
  auto r = run("lumora-train", "count",
               with(kSmallNet, {"--epochs", "10", "--train_per_class", "6", "--val_per_class", "3", "--seed", "5"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("Split: class 4 has 1 pixels: 1 train (6 asked), 0 val (3 asked), 0 test\n"),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Note: a class has only 1 training pixels; --few_labels usually trains better"),
            std::string::npos);
  SplitProtocol p;
  p.train_per_class = 6, p.val_per_class = 3, p.seed = 5;
  const torch::Tensor written = roles_in("count/split.tif");
  EXPECT_TRUE(torch::equal(written, roles_of(p, dir->file("gt.mat"))));
  EXPECT_EQ(written.eq(1).sum().item<int64_t>(), 3 * 6 + 1);
  const std::string record = testing::read_file(dir->file("count/best_model.json"));
  EXPECT_NE(record.find("\"mode\": \"random\",\n    \"train_per_class\": 6,\n    \"val_per_class\": 3"),
            std::string::npos) << record;
  EXPECT_NE(record.find("\"trained_classes\": [\n    1,\n    2,\n    3,\n    4\n  ]"), std::string::npos) << record;

  // The record alone reproduces the split; a differing option is used with a warning.
  auto same = testing::run_program("lumora-predict", {"--data", dir->file("data.mat"), "--gt", dir->file("gt.mat"),
                                                      "--model", dir->file("count/best_model.pth"), "--no-maps",
                                                      "--out-dir", dir->file("count_predict")});
  ASSERT_EQ(same.exit_code, 0) << same.err;
  EXPECT_EQ(testing::read_file(dir->file("count_predict/test_results.csv")),
            testing::read_file(dir->file("count/test_results.csv")));
  auto other = testing::run_program("lumora-predict", {"--data", dir->file("data.mat"), "--gt", dir->file("gt.mat"),
                                                       "--model", dir->file("count/best_model.pth"), "--no-maps",
                                                       "--train_per_class", "4", "--out-dir", dir->file("other")});
  ASSERT_EQ(other.exit_code, 0) << other.err;
  EXPECT_NE(other.out.find("WARNING: --train_per_class 4 differs from the 6 recorded beside the network; the test "
                           "pixels may include pixels it was trained on."),
            std::string::npos) << other.out;
}

TEST_F(SplitCli, ASpectralHeadTravelsWithTheWeightsIntoEveryPrediction) {
  auto r = run("lumora-train", "head",
               with(kSmallNet, {"--epochs", "10", "--train_per_class", "6", "--val_per_class", "3", "--spectral_head"}));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string record = testing::read_file(dir->file("head/best_model.json"));
  // Every training and validation pixel.
  EXPECT_NE(record.find("\"spectral_support\": 28\n"), std::string::npos) << record;
  for (const auto& [out, extra] : {std::pair<std::string, std::vector<std::string>>{"head_whole", {}},
                                   {"head_tiles", {"--tile", "16"}}}) {
    std::vector<std::string> args = {"--data", dir->file("data.mat"), "--gt", dir->file("gt.mat"), "--model",
                                     dir->file("head/best_model.pth"), "--no-maps", "--out-dir", dir->file(out)};
    args.insert(args.end(), extra.begin(), extra.end());
    auto p = testing::run_program("lumora-predict", args);
    ASSERT_EQ(p.exit_code, 0) << p.err;
    EXPECT_EQ(testing::read_file(dir->file(out + "/test_results.csv")),
              testing::read_file(dir->file("head/test_results.csv")))
        << out;
  }
}

TEST_F(SplitCli, ATreeWithSpectralHeadsOnADisjointSplitIsScoredAgainFromTheBundle) {
  auto fit = run("lumora-treefit", "tree",
                 {"--split_mode", "disjoint", "--split_block", "8", "--epochs", "4", "--ensembles", "1",
                  "--leaf_ensembles", "1", "--base_filters", "4", "--num_filters", "2", "--val_interval", "2",
                  "--min_epochs", "2", "--d_model", "8", "--d_state", "4", "--spectral_head"});
  ASSERT_EQ(fit.exit_code, 0) << fit.err;
  EXPECT_NE(fit.out.find("Split: disjoint split: blocks of 8 x 8 pixels; the guard band of 1 pixel left "),
            std::string::npos) << fit.out;
  SplitProtocol p;
  p.mode = SplitMode::disjoint, p.block = 8;
  EXPECT_TRUE(torch::equal(roles_in("tree/split.tif"), roles_of(p, dir->file("gt.mat"))));
  for (const auto& [id, entry] : load_bundle(dir->file("tree/spt_models.pkl")).trained_models)
    for (const ForestEntry& member : entry.forests)
      EXPECT_EQ(state_dict_at(member.state_dict, "spectral_head.support").size(1), 8) << id;
  const std::string fitted = testing::read_file(dir->file("tree/test_results.csv"));
  for (const auto& [out, extra] : {std::pair<std::string, std::vector<std::string>>{"tree_whole", {}},
                                   {"tree_tiles", {"--tile", "16"}}}) {
    std::vector<std::string> args = {"--data",   dir->file("data.mat"), "--gt",    dir->file("gt.mat"),
                                     "--model",  dir->file("tree/spt_models.pkl"), "--routing", "forest",
                                     "--no-maps", "--out-dir", dir->file(out)};
    args.insert(args.end(), extra.begin(), extra.end());
    auto r = testing::run_program("lumora-predict", args);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string predicted = testing::read_file(dir->file(out + "/test_results_forest.csv"));
    EXPECT_EQ(fitted.substr(fitted.find("\r\n")), predicted.substr(predicted.find("\r\n"))) << out;
  }
}

TEST_F(SplitCli, GivenMapsTrainAndScoreWhereTheySayWithoutALabelFile) {
  const torch::Tensor columns = torch::arange(32).remainder(8);
  const torch::Tensor train_map = *labels * columns.eq(0).to(torch::kInt64);
  const torch::Tensor test_map = *labels * columns.ge(4).to(torch::kInt64);
  write_mat(dir->file("train_map.mat"), {{"train", NdArray::from_tensor(train_map)}});
  write_mat(dir->file("test_map.mat"), {{"test", NdArray::from_tensor(test_map)}});
  auto r = run("lumora-train", "given",
               with(kSmallNet, {"--epochs", "10", "--train_gt", dir->file("train_map.mat"), "--test_gt",
                                dir->file("test_map.mat")}),
               /*with_gt=*/false);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // Validation: a tenth of each class of the training map (at least one pixel).
  const torch::Tensor written = roles_in("given/split.tif");
  EXPECT_TRUE(torch::equal(written.eq(3), test_map.gt(0)));
  EXPECT_TRUE(torch::equal(written.eq(1).logical_or(written.eq(2)), train_map.gt(0)));
  int64_t val = 0;
  for (int64_t c = 1; c <= 4; ++c) {
    const int64_t n = train_map.eq(c).sum().item<int64_t>();
    val += std::min<int64_t>(std::max<int64_t>(1, n / 10), n - 1);
  }
  EXPECT_EQ(written.eq(2).sum().item<int64_t>(), val);
  // Scored from the recorded test map, no --gt given.
  auto p = testing::run_program("lumora-predict", {"--data", dir->file("data.mat"), "--model",
                                                   dir->file("given/best_model.pth"), "--no-maps", "--out-dir",
                                                   dir->file("given_predict")});
  ASSERT_EQ(p.exit_code, 0) << p.err;
  EXPECT_EQ(testing::read_file(dir->file("given_predict/test_results.csv")),
            testing::read_file(dir->file("given/test_results.csv")));
}

TEST_F(SplitCli, OptionErrorsAreRefusedBeforeAnyWork) {
  auto refused = [&](const std::string& program, std::vector<std::string> extra, bool with_gt = true) {
    auto r = run(program, "refused", extra, with_gt);
    EXPECT_EQ(r.exit_code, 2) << r.out << r.err;
    EXPECT_FALSE(fs::exists(dir->file("refused")));
    const auto at = r.err.find("error: ");
    return at == std::string::npos ? r.err : r.err.substr(r.err.rfind("\n", r.err.size() - 2) + 1);
  };
  EXPECT_EQ(refused("lumora-train", {"--train_ratio", "0.1", "--train_per_class", "5"}),
            "lumora-train: error: --train_ratio and --train_per_class both choose the training pixels: give one\n");
  EXPECT_EQ(refused("lumora-treefit", {"--val_ratio", "0.1", "--val_per_class", "5"}),
            "lumora-treefit: error: --val_ratio and --val_per_class both choose the validation pixels: give one\n");
  EXPECT_EQ(refused("lumora-train", {"--train_per_class", "0"}),
            "lumora-train: error: --train_per_class: must be at least 1, got 0\n");
  EXPECT_EQ(refused("lumora-train", {"--val_per_class", "-2"}),
            "lumora-train: error: --val_per_class: must be at least 0, got -2\n");
  EXPECT_EQ(refused("lumora-train", {"--train_per_class", "2.5"}),
            "lumora-train: error: Could not convert: --train_per_class = 2.5\n");
  EXPECT_EQ(refused("lumora-train", {"--split_guard", "2"}),
            "lumora-train: error: --split_guard applies to --split_mode disjoint only\n");
  EXPECT_EQ(refused("lumora-train", {"--train_gt", dir->file("gt.mat"), "--split_mode", "disjoint"}),
            "lumora-train: error: --train_gt and --split_mode cannot go together: the given maps are the split\n");
  EXPECT_EQ(refused("lumora-train", {"--train_gt", dir->file("gt.mat")}, /*with_gt=*/false),
            "lumora-train: error: --gt is required\n");
  write_mat(dir->file("wrong.mat"), {{"m", NdArray::from_tensor(torch::ones({31, 32}, torch::kInt64))}});
  EXPECT_EQ(refused("lumora-train", {"--train_gt", dir->file("wrong.mat")}),
            "error: --train_gt: the label map 'm' in '" + dir->file("wrong.mat") +
                "' is 31 x 32 but the scene is 32 x 32 pixels\n");
  // One block holds the scene: every class trains there and nothing is left to test.
  auto whole = run("lumora-train", "refused", {"--split_mode", "disjoint", "--split_block", "64"});
  EXPECT_EQ(whole.exit_code, 1);
  EXPECT_EQ(whole.err, "error: the split (disjoint, train 0.2, val 0.1, seed 42, block 64, guard 1) leaves no "
                       "labelled pixel of '" + dir->file("gt.mat") + "' for testing\n");
}

}  // namespace lumora
