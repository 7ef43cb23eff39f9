// Runs the built lumora-treefit once on a tiny scene, then lumora-predict on
// its bundle: the files, their exact layout and the agreement of both programs.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "lumora/core/state_dict.h"
#include "lumora/datasets/cubeset.h"
#include "lumora/rssp/bundle.h"
#include "lumora/rssp/sam_clustering.h"
#include "lumora/test_paths.h"
#include "support/testing.h"

namespace lumora {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> csv_rows(const std::string& text) {
  std::vector<std::string> rows;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    rows.push_back(text.substr(start, end - start));
  EXPECT_EQ(start, text.size()) << "rows must end with CR LF";
  return rows;
}

size_t count_of(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

const char* kReportHeader = "class_id,total_test_pixels,correct_pixels,IoU,Precision,Recall";
const std::string kScore = "\\d\\.\\d{6}";

// One tree-fitting run shared by every test: it is the slow part.
class TreeCli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new testing::TempDir();
    auto scene = testing::make_tiny_scene(32, 32, 8, 4);
    testing::write_scene(dir->path(), scene.cube, scene.labels);
    fit = new testing::RunResult(testing::run_program(
        "lumora-treefit", {"--data", dir->file("data.mat"), "--gt", dir->file("gt.mat"), "--out-dir",
                           dir->file("fit"), "--epochs", "6", "--ensembles", "1", "--leaf_ensembles", "1",
                           "--base_filters", "4", "--num_filters", "2", "--val_interval", "2", "--min_epochs",
                           "2", "--d_model", "8", "--d_state", "4"}));
  }
  static void TearDownTestSuite() {
    delete fit;
    delete dir;
  }
  static testing::RunResult predict(const std::string& out, std::vector<std::string> extra,
                                    const std::string& model = "") {
    std::vector<std::string> args = {"--data",  dir->file("data.mat"),
                                     "--gt",    dir->file("gt.mat"),
                                     "--model", model.empty() ? dir->file("fit/spt_models.pkl") : model,
                                     "--out-dir", dir->file(out)};
    args.insert(args.end(), extra.begin(), extra.end());
    return testing::run_program("lumora-predict", args);
  }
  // Python's torch.load reads the bundle and the encoder weights (see
  // bundle_torch_check.py).
  static void check_bundle_with(const std::string& python, const char* which) {
    ASSERT_EQ(fit->exit_code, 0);
    if (python.empty()) GTEST_SKIP() << which << " not installed";
    auto c = testing::run_command(python, {testing::source_dir() + "/tests/cli/bundle_torch_check.py",
                                           dir->file("fit/spt_models.pkl"), "8", "4", dir->file("fit/warmstarted.pt")});
    if (c.exit_code == 77) GTEST_SKIP() << which << ": " << c.out;
    EXPECT_EQ(c.exit_code, 0) << python << "\n" << c.out << c.err;
  }
  static testing::TempDir* dir;
  static testing::RunResult* fit;
};
testing::TempDir* TreeCli::dir = nullptr;
testing::RunResult* TreeCli::fit = nullptr;

}  // namespace

TEST_F(TreeCli, FitWritesEveryFileInItsLayout) {
  ASSERT_EQ(fit->exit_code, 0) << fit->err << fit->out;
  // Forest routing trims encoder pre-training to one epoch and says so.
  EXPECT_NE(fit->out.find("Ensemble routing selected — skipping SSM pretraining (set --ssm_epochs manually to "
                          "override)"),
            std::string::npos);
  EXPECT_NE(fit->out.find("Fingerprint map shape: (32, 32, 8)"), std::string::npos);
  EXPECT_NE(fit->out.find("=== Running Cascade Inference (routing=forest) ==="), std::string::npos);
  for (const char* name : {"warmstarted.pt", "training_history.csv", "spt_models.pkl"})
    EXPECT_TRUE(fs::exists(dir->file(std::string("fit/") + name))) << name;

  const auto results = csv_rows(testing::read_file(dir->file("fit/test_results.csv")));
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0], "routing,OA,mIoU,Dice,Precision,Recall,AA,kappa");
  EXPECT_TRUE(std::regex_match(results[1], std::regex("forest(,-?" + kScore + "){7}"))) << results[1];

  const auto report = csv_rows(testing::read_file(dir->file("fit/class_report_forest.csv")));
  ASSERT_EQ(report.size(), 5u);  // four classes, all present among the test pixels
  EXPECT_EQ(report[0], kReportHeader);
  for (size_t c = 1; c <= 4; ++c)
    EXPECT_TRUE(std::regex_match(report[c], std::regex(std::to_string(c) + ",\\d+,\\d+(," + kScore + "){3}")))
        << report[c];
}

TEST_F(TreeCli, BundleHoldsTreeEnsemblesAndEncoder) {
  ASSERT_EQ(fit->exit_code, 0);
  const Bundle b = load_bundle(dir->file("fit/spt_models.pkl"));
  EXPECT_EQ(b.tree.classes, (std::vector<int64_t>{1, 2, 3, 4}));
  EXPECT_EQ(b.d_model, 8);
  EXPECT_EQ(b.d_state, 4);
  ASSERT_TRUE(b.ssm_state.has_value());
  EXPECT_FALSE(b.ssm_state->empty());
  for (const auto& [name, tensor] : *b.ssm_state) EXPECT_TRUE(tensor.device().is_cpu()) << name;
  EXPECT_EQ(b.trained_models.keys(), trained_node_ids(b.tree));
  EXPECT_EQ(b.trained_models.at(kRootId).node_classes, b.tree.classes);
}

TEST_F(TreeCli, PythonTorchLoadsTheBundle) { check_bundle_with(LUMORA_TEST_PYTHON, "python3-torch"); }

TEST_F(TreeCli, PyTorch2LoadsTheBundle) { check_bundle_with(LUMORA_TEST_PYTHON_TORCH2, "PyTorch 2.x"); }

TEST_F(TreeCli, PredictForestReproducesTheFitScores) {
  ASSERT_EQ(fit->exit_code, 0);
  auto r = predict("forest", {"--routing", "forest"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("Forest-only routing — SSM encoder not needed."), std::string::npos);
  EXPECT_EQ(r.out.find("Loading SSM encoder"), std::string::npos);
  const auto fitted = csv_rows(testing::read_file(dir->file("fit/test_results.csv")));
  const auto predicted = csv_rows(testing::read_file(dir->file("forest/test_results_forest.csv")));
  ASSERT_EQ(predicted.size(), 2u);
  EXPECT_EQ(predicted[0], "routing,test_oa,test_miou,test_dice,test_precision,test_recall,test_aa,test_kappa");
  EXPECT_EQ(predicted[1], fitted[1]);
  EXPECT_EQ(testing::read_file(dir->file("forest/class_report_forest.csv")),
            testing::read_file(dir->file("fit/class_report_forest.csv")));
}

TEST_F(TreeCli, PredictAllRunsTheThreeModesInOrder) {
  ASSERT_EQ(fit->exit_code, 0);
  auto r = predict("all", {});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const size_t forest = r.out.find("(routing=forest)"), hybrid = r.out.find("(routing=hybrid)"),
               soft = r.out.find("(routing=soft)");
  ASSERT_NE(soft, std::string::npos);
  EXPECT_LT(forest, hybrid);
  EXPECT_LT(hybrid, soft);
  EXPECT_EQ(count_of(r.out, "Loading SSM encoder from checkpoint ..."), 2u);
  EXPECT_NE(r.out.find("Total predict time: "), std::string::npos);
  for (const char* mode : {"forest", "hybrid", "soft"}) {
    const auto rows = csv_rows(testing::read_file(dir->file(std::string("all/test_results_") + mode + ".csv")));
    ASSERT_EQ(rows.size(), 2u) << mode;
    EXPECT_EQ(rows[1].substr(0, rows[1].find(',')), mode);
    EXPECT_EQ(csv_rows(testing::read_file(dir->file(std::string("all/class_report_") + mode + ".csv")))[0],
              kReportHeader);
  }
}

TEST_F(TreeCli, PredictWithoutEncoderFallsBackToForest) {
  ASSERT_EQ(fit->exit_code, 0);
  Bundle b = load_bundle(dir->file("fit/spt_models.pkl"));
  b.ssm_state.reset();
  save_bundle(b, dir->file("no_ssm.pkl"));
  auto r = predict("fallback", {"--routing", "soft"}, dir->file("no_ssm.pkl"));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("WARNING: No SSM weights found. Falling back to ensemble routing."), std::string::npos);
  EXPECT_TRUE(fs::exists(dir->file("fallback/test_results_forest.csv")));
  EXPECT_FALSE(fs::exists(dir->file("fallback/test_results_soft.csv")));
  const auto rows = csv_rows(testing::read_file(dir->file("fallback/test_results_forest.csv")));
  const auto fitted = csv_rows(testing::read_file(dir->file("fit/test_results.csv")));
  EXPECT_EQ(rows[1], fitted[1]);
}

// Test pixels of class 1 are given another class's spectrum: a tree built
// from every label would follow them, one built from the training labels
// keeps class 1 where its training pixels put it.
TEST_F(TreeCli, TestPixelsDoNotShapeTheTree) {
  testing::TempDir scene_dir;
  auto scene = testing::make_tiny_scene(32, 32, 8, 4);
  const torch::Tensor test = split_pixels(scene.labels, 5, 0.2, 0.1, 42).test;
  const torch::Tensor rows = test.select(1, 0), cols = test.select(1, 1);
  const torch::Tensor of_class_1 = scene.labels.index({rows, cols}).eq(1);
  const torch::Tensor rows1 = rows.index({of_class_1}), cols1 = cols.index({of_class_1});

  std::string leaking_tree, training_tree;
  for (int64_t donor = 2; donor <= 4 && leaking_tree == training_tree; ++donor) {
    const torch::Tensor donor_pixel = torch::nonzero(scene.labels.eq(donor))[0];
    torch::Tensor cube = scene.cube.clone();
    cube.index_put_({rows1, cols1}, scene.cube[donor_pixel[0]][donor_pixel[1]]);
    testing::write_scene(scene_dir.path(), cube, scene.labels);
    const HyperspectralDataset train(LabelledScene(SceneOptions(scene_dir.file("data.mat"), scene_dir.file("gt.mat"))),
                                     Split::train);
    leaking_tree = tree_text(build_rssp_tree(train.data, train.labels, 5, DepthMode::automatic()).tree);
    training_tree = tree_text(build_rssp_tree(train.data, train.split_mask, 5, DepthMode::automatic()).tree);
  }
  ASSERT_NE(leaking_tree, training_tree) << "the planted spectra must change a tree built from every label";

  auto r = testing::run_program(
      "lumora-treefit", {"--data", scene_dir.file("data.mat"), "--gt", scene_dir.file("gt.mat"), "--out-dir",
                         scene_dir.file("fit"), "--epochs", "1", "--ensembles", "1", "--leaf_ensembles", "1",
                         "--base_filters", "4", "--num_filters", "2", "--val_interval", "1", "--min_epochs", "1",
                         "--d_model", "8", "--d_state", "4"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(tree_text(load_bundle(scene_dir.file("fit/spt_models.pkl")).tree), training_tree);
}

TEST_F(TreeCli, PredictTakesTheEncoderFromSsmLoad) {
  ASSERT_EQ(fit->exit_code, 0);
  // Forest routing pre-trains one epoch and stores the same weights in the bundle.
  auto from_file = predict("ssm_file", {"--routing", "soft", "--ssm_load", dir->file("fit/warmstarted.pt")});
  ASSERT_EQ(from_file.exit_code, 0) << from_file.err;
  EXPECT_NE(from_file.out.find("Loading SSM encoder from " + dir->file("fit/warmstarted.pt") + " ..."),
            std::string::npos);
  auto from_bundle = predict("ssm_bundle", {"--routing", "soft"});
  ASSERT_EQ(from_bundle.exit_code, 0) << from_bundle.err;
  EXPECT_EQ(testing::read_file(dir->file("ssm_file/test_results_soft.csv")),
            testing::read_file(dir->file("ssm_bundle/test_results_soft.csv")));

  save_state_dict({{"weight", torch::zeros({2})}}, dir->file("foreign.pt"));
  auto foreign = predict("ssm_foreign", {"--routing", "soft", "--ssm_load", dir->file("foreign.pt")});
  EXPECT_EQ(foreign.exit_code, 1);
  EXPECT_EQ(foreign.err.rfind("error: the weights in '" + dir->file("foreign.pt") +
                                  "' do not fit: Error(s) in loading state_dict for SpectralSSMEncoder:",
                              0),
            0u)
      << foreign.err;
}

TEST_F(TreeCli, OptionAndFileErrors) {
  auto bad = testing::run_program("lumora-predict", {"--data", "a", "--gt", "b", "--model", "m", "--routing", "x"});
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_EQ(bad.err.rfind("usage: lumora-predict [-h] --data DATA [--gt GT] --model MODEL", 0), 0u) << bad.err;
  auto fit_bad = testing::run_program("lumora-treefit", {"--data", "a", "--gt", "b", "--routing", "all"});
  EXPECT_EQ(fit_bad.exit_code, 2);
  EXPECT_NE(fit_bad.err.find("lumora-treefit: error: "), std::string::npos);

  // A scene the networks cannot train on fails before the encoder is pre-trained.
  testing::TempDir small;
  auto scene = testing::make_tiny_scene(20, 20, 8, 4);
  testing::write_scene(small.path(), scene.cube, scene.labels);
  auto tiny = testing::run_program("lumora-treefit", {"--data", small.file("data.mat"), "--gt", small.file("gt.mat"),
                                                      "--out-dir", small.file("fit")});
  EXPECT_EQ(tiny.exit_code, 1);
  EXPECT_EQ(tiny.err,
            "error: a scene of 20 x 20 pixels is too small to train on: the network's deepest level would hold a "
            "single pixel (it needs at least 16 x 32 or 32 x 16 pixels)\n");
  EXPECT_FALSE(fs::exists(small.file("fit/warmstarted.pt")));

  auto missing = predict("missing", {"--routing", "forest"}, dir->file("nope.pkl"));
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_NE(missing.err.find(dir->file("nope.pkl")), std::string::npos) << missing.err;
}

}  // namespace lumora
