// Runs the built lumora-train on a tiny scene.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "lumora/core/state_dict.h"
#include "lumora/datasets/cubeset.h"
#include "lumora/models/cubeseg.h"
#include "lumora/test_paths.h"
#include "support/testing.h"

namespace lumora {
namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  std::string line;
  while (std::getline(ss, line)) out.push_back(line);
  return out;
}

class TrainCli : public ::testing::Test {
 protected:
  void SetUp() override {
    auto scene = testing::make_tiny_scene(32, 32, 8, 3);
    testing::write_scene(dir.path(), scene.cube, scene.labels);
  }
  testing::RunResult train(std::vector<std::string> extra) {
    std::vector<std::string> args = {"--data", dir.file("data.mat"), "--gt", dir.file("gt.mat"),
                                     "--out-dir", dir.file("out"), "--base_filters", "4", "--num_filters", "2",
                                     "--lr", "0.01"};
    args.insert(args.end(), extra.begin(), extra.end());
    return testing::run_program("lumora-train", args);
  }
  // Trains briefly, then has `python` load best_model.pth with
  // torch.load(weights_only=True) and compare its keys with the network's.
  void check_weights_with(const std::string& python, const char* which) {
    if (python.empty()) GTEST_SKIP() << which << " not installed";
    auto r = train({"--epochs", "10"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    HyperspectralNet net(HyperspectralNetOptions(8, 4).num_filters(2).base_filters(4));
    std::ofstream keys(dir.file("keys.txt"));
    for (const auto& entry : state_dict(*net)) keys << entry.first << "\n";
    keys.close();
    auto c = testing::run_command(python, {testing::source_dir() + "/tests/cli/weights_torch_check.py",
                                           dir.file("out/best_model.pth"), dir.file("keys.txt")});
    if (c.exit_code == 77) GTEST_SKIP() << which << ": " << c.out;
    EXPECT_EQ(c.exit_code, 0) << python << "\n" << c.out << c.err;
  }
  testing::TempDir dir;
};

const char* kLogHeader =
    "epoch,train_loss,val_loss,val_oa,val_miou,val_dice,val_precision,val_recall,val_aa,val_kappa\r\n";
const char* kResultsHeader =
    "best_epoch,test_oa,test_miou,test_dice,test_precision,test_recall,test_aa,test_kappa\r\n";

}  // namespace

TEST_F(TrainCli, TwentyEpochsWriteLogWeightsAndResults) {
  auto r = train({"--epochs", "20"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  auto lines = lines_of(r.out);
  ASSERT_GE(lines.size(), 7u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex("train: \\d+ pixels across 3 classes")));
  EXPECT_TRUE(std::regex_match(lines[1], std::regex("val: \\d+ pixels across 3 classes")));
  EXPECT_TRUE(std::regex_match(lines[2], std::regex("test: \\d+ pixels across 3 classes")));
  EXPECT_EQ(lines[3], "Training on cpu | fp32 (full precision)");
  EXPECT_TRUE(std::regex_match(lines[4], std::regex("Bands: 8 \\| Classes: 4 \\| Parameters: [0-9,]+")));
  EXPECT_EQ(lines[5], "Loss: ce");
  EXPECT_EQ(lines[6], "");

  const std::string log = testing::read_file(dir.file("out/training_log.csv"));
  const std::string row = "\\d+\\.\\d{4}";
  std::regex log_re(std::string(kLogHeader) + "10(," + row + "){9}\r\n20(," + row + "){9}\r\n");
  EXPECT_TRUE(std::regex_match(log, log_re)) << log;
  const std::string results = testing::read_file(dir.file("out/test_results.csv"));
  EXPECT_TRUE(std::regex_match(results, std::regex(std::string(kResultsHeader) + "(10|20)(," + row + "){7}\r\n")))
      << results;
  EXPECT_NE(r.out.find("Best epoch:"), std::string::npos);

  HyperspectralNet net(HyperspectralNetOptions(8, 4).num_filters(2).base_filters(4));
  EXPECT_NO_THROW(load_state_dict(*net, load_state_dict_file(dir.file("out/best_model.pth"))));
}

TEST_F(TrainCli, PythonTorchLoadsTheWeightsWeightsOnly) { check_weights_with(LUMORA_TEST_PYTHON, "python3-torch"); }

TEST_F(TrainCli, PyTorch2LoadsTheWeightsWeightsOnly) { check_weights_with(LUMORA_TEST_PYTHON_TORCH2, "PyTorch 2.x"); }

TEST_F(TrainCli, ValidatesEveryTenthEpochOnly) {
  auto r = train({"--epochs", "25", "--log", "log25.csv"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  auto rows = lines_of(testing::read_file(dir.file("out/log25.csv")));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1].substr(0, 3), "10,");
  EXPECT_EQ(rows[2].substr(0, 3), "20,");
  EXPECT_NE(r.out.find("Logs: log25.csv  |  Test results: test_results.csv"), std::string::npos);
}

TEST_F(TrainCli, FocalLossLineAndShortRunFallsBackToFinalWeights) {
  auto r = train({"--epochs", "3", "--loss", "focal", "--focal_gamma", "3"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  auto lines = lines_of(r.out);
  EXPECT_EQ(lines[5], "Loss: focal | gamma=3.0");
  EXPECT_EQ(lines[6], "");
  EXPECT_NE(r.out.find("Warning: no validation epoch improved"), std::string::npos);
  EXPECT_EQ(testing::read_file(dir.file("out/training_log.csv")), kLogHeader);
  const std::string results = testing::read_file(dir.file("out/test_results.csv"));
  EXPECT_EQ(results.substr(0, std::string(kResultsHeader).size() + 2), std::string(kResultsHeader) + "0,");
  EXPECT_TRUE(testing::read_file(dir.file("out/best_model.pth")).size() > 0);
}

TEST_F(TrainCli, OptionErrorsExitTwoWithUsage) {
  const std::vector<std::vector<std::string>> cases = {
      {"--gt", "x.mat"},                                        // missing --data
      {"--data", "a", "--gt", "b", "--bogus", "1"},             // unknown option
      {"--data", "a", "--gt", "b", "--epochs", "ten"},          // not an integer
      {"--data", "a", "--gt", "b", "--loss", "hinge"},          // outside the choices
  };
  for (const auto& args : cases) {
    auto r = testing::run_program("lumora-train", args);
    EXPECT_EQ(r.exit_code, 2) << args.back();
    EXPECT_EQ(r.err.rfind("usage: lumora-train [-h] --data DATA [--gt GT]", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("lumora-train: error: "), std::string::npos);
  }
}

TEST_F(TrainCli, HelpListsEveryOption) {
  auto r = testing::run_program("lumora-train", {"--help"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("LUMORA — Hyperspectral Segmentation Training"), std::string::npos);
  for (const char* text :
       {"--data DATA", "Path to hyperspectral data .mat file", "--gt GT", "Path to ground truth labels .mat file",
        "Fraction of labeled pixels per class for training (default: 0.2)",
        "Fraction of labeled pixels per class for validation (default: 0.1)",
        "Base filter count for encoder/decoder (default: 32)", "Filters in Spectral3DStack (default: 8)",
        "Number of 3D conv blocks (default: 3)", "Number of training epochs (default: 300)",
        "Learning rate (default: 1e-4; 3e-4 with --few_labels)", "Random seed (default: 42)", "--loss {ce,squared_ce,focal,dice}",
        "Loss function (default: ce). squared_ce: CE squared, amplifies hard-example penalty. focal: focal loss with "
        "--focal_gamma. dice: combined CrossEntropy + Dice loss.",
        "Focal loss gamma — higher values focus more on hard examples (default: 2.0)",
        "Use mixed precision (float16) training", "--out-dir OUT_DIR", "Output directory",
        "Path to save best model weights (default: best_model.pth)",
        "Path to training log CSV (default: training_log.csv)"})
    EXPECT_NE(r.out.find(text), std::string::npos) << text;
}

// The program prints the split lines: the pixel counts of the scene's three
// splits, once each and in order, before the check that finds no test pixel.
TEST_F(TrainCli, SplitLinesPrecedeTheNoTestPixelFailure) {
  auto r = train({"--train_ratio", "1", "--val_ratio", "0"});
  EXPECT_EQ(r.exit_code, 1);
  const LabelledScene scene(SceneOptions(dir.file("data.mat"), dir.file("gt.mat")).train_ratio(1).val_ratio(0));
  EXPECT_EQ(scene.train_coords.size(0), 31 * 32);  // every labelled pixel: all rows but the first
  EXPECT_EQ(r.out, "train: " + std::to_string(scene.train_coords.size(0)) +
                       " pixels across 3 classes\nval: 0 pixels across 3 classes\ntest: 0 pixels across 3 classes\n");
  EXPECT_EQ(r.err, "error: --train_ratio 1.0 and --val_ratio 0.0 leave no labelled pixel of '" + dir.file("gt.mat") +
                       "' for testing\n");
  EXPECT_FALSE(std::filesystem::exists(dir.file("out")));
}

TEST_F(TrainCli, LoadErrorsExitOneBeforeWritingAnything) {
  auto r = testing::run_program("lumora-train", {"--data", dir.file("nope.mat"), "--gt", dir.file("gt.mat"),
                                                 "--out-dir", dir.file("never")});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "error: No such file: '" + dir.file("nope.mat") + "'\n");
  EXPECT_FALSE(std::filesystem::exists(dir.file("never")));
}

TEST_F(TrainCli, SceneTooSmallToTrainFailsBeforeWritingAnything) {
  testing::TempDir small;
  auto scene = testing::make_tiny_scene(20, 20, 8, 3);
  testing::write_scene(small.path(), scene.cube, scene.labels);
  auto r = testing::run_program("lumora-train", {"--data", small.file("data.mat"), "--gt", small.file("gt.mat"),
                                                 "--out-dir", small.file("out")});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err,
            "error: a scene of 20 x 20 pixels is too small to train on: the network's deepest level would hold a "
            "single pixel (it needs at least 16 x 32 or 32 x 16 pixels)\n");
  EXPECT_FALSE(std::filesystem::exists(small.file("out/best_model.pth")));
}

}  // namespace lumora
