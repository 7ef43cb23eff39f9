// Hostile command lines and bundles against the built programs: every failure
// is one "error: ..." naming the file and the option or entry, the right exit
// status, and nothing new on disk; a bundle that does not fit the scene is
// refused before any network runs.
#include <gtest/gtest.h>

#include "lumora/config.h"
#include <torch/torch.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "lumora/core/state_dict.h"
#include "lumora/models/bandscan.h"
#include "lumora/models/cubeseg.h"
#include "lumora/rssp/bundle.h"
#include "support/testing.h"

namespace lumora {
namespace {

namespace fs = std::filesystem;
using testing::RunResult;
using testing::TempDir;

// Every path below `dir`, relative to it.
std::set<std::string> entries(const std::string& dir) {
  std::set<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(dir)) out.insert(fs::relative(e.path(), dir).string());
  return out;
}

size_t count_of(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

// The usage line, then "<program>: error: <message>".
void expect_option_error(const RunResult& r, const std::string& program, const std::string& message) {
  EXPECT_EQ(r.exit_code, 2) << r.err;
  EXPECT_EQ(r.err.rfind("usage: " + program + " [-h]", 0), 0u) << r.err;
  const std::string tail = "\n" + program + ": error: " + message + "\n";
  ASSERT_GE(r.err.size(), tail.size()) << r.err;
  EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail) << r.err;
  EXPECT_EQ(r.err.find("Exception raised from"), std::string::npos) << r.err;  // no LibTorch trace
}

void expect_failure(const RunResult& r, const std::string& message) {
  EXPECT_EQ(r.exit_code, 1) << r.err << r.out;
  EXPECT_EQ(r.err, "error: " + message + "\n");
}

// A folder with a tiny scene; programs run inside it, so that default output
// places (".") are inside it too.
class Hostile : public ::testing::Test {
 protected:
  void SetUp() override { write(32, 32, 8, 4); }

  void write(int64_t h, int64_t w, int64_t bands, int64_t classes) {
    auto scene = testing::make_tiny_scene(h, w, bands, classes);
    testing::write_scene(dir.path(), scene.cube, scene.labels);
  }
  std::string data() const { return dir.file("data.mat"); }
  std::string gt() const { return dir.file("gt.mat"); }
  std::string out() const { return dir.file("out"); }

  RunResult run(const std::string& program, std::vector<std::string> args) {
    before = entries(dir.path());
    return testing::run_program(program, args, dir.path());
  }
  RunResult train(std::vector<std::string> extra, const std::string& out_dir = "") {
    std::vector<std::string> args = {"--data", data(), "--gt", gt(), "--out-dir", out_dir.empty() ? out() : out_dir,
                                     "--epochs", "1",
                                     "--base_filters", "4", "--num_filters", "2"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run("lumora-train", args);
  }
  RunResult treefit(std::vector<std::string> extra, const std::string& out_dir = "") {
    std::vector<std::string> args = {"--data", data(), "--gt", gt(), "--out-dir", out_dir.empty() ? out() : out_dir,
                                     "--epochs", "1",
                                     "--ensembles", "1", "--leaf_ensembles", "1", "--base_filters", "4",
                                     "--num_filters", "2", "--val_interval", "1", "--min_epochs", "1",
                                     "--d_model", "8", "--d_state", "4"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run("lumora-treefit", args);
  }
  RunResult predict(const std::string& model, std::vector<std::string> extra) {
    std::vector<std::string> args = {"--data", data(), "--gt", gt(), "--model", model, "--out-dir", out()};
    args.insert(args.end(), extra.begin(), extra.end());
    return run("lumora-predict", args);
  }
  // A 4 x 5 x 3 ENVI cube for lumora-convert.
  std::string envi_image() {
    std::ofstream raw(dir.file("img.raw"), std::ios::binary);
    for (int i = 0; i < 4 * 5 * 3; ++i) {
      const float v = static_cast<float>(i);
      raw.write(reinterpret_cast<const char*>(&v), sizeof v);
    }
    std::ofstream(dir.file("img.hdr")) << "ENVI\nsamples = 5\nlines = 4\nbands = 3\nheader offset = 0\n"
                                          "data type = 4\ninterleave = bsq\nbyte order = 0\n";
    return dir.file("img.hdr");
  }
  // Nothing appeared in the folder since the last run started.
  void expect_nothing_new() { EXPECT_EQ(entries(dir.path()), before); }

  TempDir dir;
  std::set<std::string> before;
};

// ---------------------------------------------------------------- bundles

// An ensemble member for `classes` whose prediction is `favoured` on every
// pixel: the last layer ignores its input and its bias picks the class.
ForestEntry biased_member(const std::vector<int64_t>& classes, int64_t favoured, int64_t bands) {
  torch::manual_seed(3);
  const ClassMaps maps = class_maps(classes);
  HyperspectralNet net(HyperspectralNetOptions(bands, maps.num_classes).num_filters(2).base_filters(4));
  ForestEntry f;
  f.state_dict = cpu_copy(state_dict(*net));
  for (auto& [name, tensor] : f.state_dict) {
    if (name == "decoder.final.weight") tensor.zero_();
    if (name == "decoder.final.bias") {
      tensor.zero_();
      tensor[maps.global_to_local.at(favoured)] = 20.0;
    }
  }
  f.global_to_local = maps.global_to_local;
  f.local_to_global = maps.local_to_global;
  f.num_classes = maps.num_classes;
  f.num_bands = bands;
  f.num_filters = 2;
  f.num_blocks = 3;
  f.base_filters = 4;
  return f;
}

NodeEntry node(const std::vector<int64_t>& classes, int64_t favoured, int64_t bands) {
  NodeEntry e;
  e.forests = {biased_member(classes, favoured, bands)};
  e.node_classes = classes;
  e.num_classes = static_cast<int64_t>(classes.size()) + 1;
  e.num_bands = bands;
  e.num_filters = 2;
  e.num_blocks = 3;
  e.base_filters = 4;
  e.d_model = 8;
  return e;
}

// Classes 1..3 as root {1 | {2 | 3}}; both trained nodes favour class 2, so
// every pixel is predicted 2 under forest routing. No node has a router (as
// when training skipped them); the encoder's weights are there.
Bundle three_class_bundle(int64_t bands = 8) {
  Bundle b;
  b.tree = TreeNode({1, 2, 3}, TreeNode({1}), TreeNode({2, 3}, TreeNode({2}), TreeNode({3})));
  b.trained_models.insert("root", node({1, 2, 3}, 2, bands));
  b.trained_models.insert("root_R", node({2, 3}, 2, bands));
  SpectralSSMEncoder encoder(SpectralSSMEncoderOptions().d_model(8).d_state(4));
  b.ssm_state = cpu_copy(state_dict(*encoder));
  b.d_model = 8;
  b.d_state = 4;
  return b;
}

std::string saved(const TempDir& where, const std::string& name, const Bundle& b) {
  save_bundle(b, where.file(name));
  return where.file(name);
}

const char* kPredictUsage = "lumora-predict";

}  // namespace

// ================================================================ options

TEST_F(Hostile, RatiosOutsideZeroToOneAreOptionErrors) {
  expect_option_error(train({"--train_ratio", "nan"}), "lumora-train",
                      "--train_ratio: must be a number from 0 to 1, got nan");
  expect_nothing_new();
  expect_option_error(train({"--val_ratio", "inf"}), "lumora-train",
                      "--val_ratio: must be a number from 0 to 1, got inf");
  expect_option_error(treefit({"--train_ratio", "1e300"}), "lumora-treefit",
                      "--train_ratio: must be a number from 0 to 1, got 1e300");
  expect_nothing_new();
  expect_option_error(predict(dir.file("m.pkl"), {"--val_ratio", "-0.1"}), kPredictUsage,
                      "--val_ratio: must be a number from 0 to 1, got -0.1");
  expect_nothing_new();
  // The bounds themselves are fractions, and text stays CLI11's conversion error.
  expect_option_error(train({"--train_ratio", "abc"}), "lumora-train", "Could not convert: --train_ratio = abc");
}

TEST_F(Hostile, FilterCountsBelowOneAreOptionErrors) {
  expect_option_error(train({"--num_filters", "0"}), "lumora-train", "--num_filters: must be at least 1, got 0");
  expect_option_error(train({"--base_filters", "-3"}), "lumora-train", "--base_filters: must be at least 1, got -3");
  expect_option_error(treefit({"--num_filters", "0"}), "lumora-treefit", "--num_filters: must be at least 1, got 0");
  expect_option_error(treefit({"--base_filters", "0"}), "lumora-treefit",
                      "--base_filters: must be at least 1, got 0");
  expect_nothing_new();
}

TEST_F(Hostile, TreefitChecksDepthEnsemblesAndIntervalsWhileParsing) {
  expect_option_error(treefit({"--depth", "-1"}), "lumora-treefit",
                      "--depth: depth_mode must be 'auto', 'full' or a non-negative integer, got '-1'");
  expect_option_error(treefit({"--ensembles", "0"}), "lumora-treefit", "--ensembles: must be at least 1, got 0");
  expect_option_error(treefit({"--leaf_ensembles", "0"}), "lumora-treefit",
                      "--leaf_ensembles: must be at least 1, got 0");
  expect_option_error(treefit({"--val_interval", "0"}), "lumora-treefit",
                      "--val_interval: must be at least 1, got 0");
  expect_nothing_new();
}

TEST_F(Hostile, TreefitChecksEpochCountsAndRates) {
  expect_option_error(treefit({"--epochs", "-5"}), "lumora-treefit", "--epochs: must be at least 0, got -5");
  expect_option_error(treefit({"--ssm_epochs", "-1"}), "lumora-treefit", "--ssm_epochs: must be at least 0, got -1");
  expect_option_error(treefit({"--warmup_epochs", "-2"}), "lumora-treefit",
                      "--warmup_epochs: must be at least 0, got -2");
  expect_option_error(treefit({"--d_model", "0"}), "lumora-treefit", "--d_model: must be at least 1, got 0");
  expect_option_error(treefit({"--epochs", "99999999999999999999"}), "lumora-treefit",
                      "--epochs: 99999999999999999999 is out of the range of an integer");
  expect_option_error(treefit({"--lr", "nan"}), "lumora-treefit", "--lr: must be a finite number above 0, got nan");
  expect_option_error(treefit({"--ssm_lr", "0"}), "lumora-treefit", "--ssm_lr: must be a finite number above 0, got 0");
  expect_option_error(train({"--focal_gamma", "-1"}), "lumora-train",
                      "--focal_gamma: must be a finite number of at least 0, got -1");
  expect_nothing_new();
}

TEST_F(Hostile, SplitWithoutTestPixelsFailsBeforeTraining) {
  auto r = train({"--train_ratio", "0.7", "--val_ratio", "0.6"});
  expect_failure(r, "--train_ratio 0.7 and --val_ratio 0.6 leave no labelled pixel of '" + gt() + "' for testing");
  EXPECT_EQ(r.out.find("Training on"), std::string::npos);
  expect_nothing_new();
  auto t = treefit({"--train_ratio", "1", "--val_ratio", "0"});
  expect_failure(t, "--train_ratio 1.0 and --val_ratio 0.0 leave no labelled pixel of '" + gt() + "' for testing");
  expect_nothing_new();
}

TEST_F(Hostile, TreefitRefusesAnUnwritableBundlePathBeforePretraining) {
  std::ofstream(dir.file("blocker")) << "a file";
  auto r = treefit({"--save", "blocker/spt_models.pkl"}, dir.path());
  expect_failure(r, "--save: '" + dir.file("blocker") + "' is a file, not a folder");
  EXPECT_EQ(r.out.find("=== SSM Encoder ==="), std::string::npos) << r.out;
  expect_nothing_new();

  fs::create_directory(dir.file("taken"));
  before = entries(dir.path());
  auto folder = treefit({"--save", "taken"}, dir.path());
  expect_failure(folder, "--save: '" + dir.file("taken") + "' is a folder, not a file");
  expect_nothing_new();
}

TEST_F(Hostile, OutputFolderThatIsAFileFailsInEveryProgram) {
  std::ofstream(dir.file("plain")) << "x";
  const std::string plain = dir.file("plain");
  expect_failure(train({}, plain), "--out-dir: '" + plain + "' is a file, not a folder");
  expect_nothing_new();
  expect_failure(treefit({}, plain + "/deeper"),
                 "--out-dir: cannot create '" + plain + "/deeper': '" + plain + "' is a file, not a folder");
  expect_nothing_new();
  const std::string model = saved(dir, "m.pkl", three_class_bundle());
  before = entries(dir.path());
  auto r = run("lumora-predict", {"--data", data(), "--gt", gt(), "--model", model, "--out-dir", plain});
  expect_failure(r, "--out-dir: '" + plain + "' is a file, not a folder");
  expect_nothing_new();
  if (!LUMORA_WITH_CONVERT) return;  // built without the converter
  const std::string image = envi_image();
  auto c = run("lumora-convert", {"--img", image, "--out-dir", plain});
  expect_failure(c, "--out-dir: '" + plain + "' is a file, not a folder");
  EXPECT_EQ(c.out.find("Loading image"), std::string::npos);
  expect_nothing_new();
}

TEST_F(Hostile, TreefitRefusesAFolderAsTheEncoderWeights) {
  fs::create_directory(dir.file("weights"));
  auto r = treefit({"--ssm_load", dir.file("weights"), "--routing", "soft"});
  expect_failure(r, "--ssm_load: '" + dir.file("weights") + "' is a folder, not a file");
  expect_nothing_new();
}

TEST_F(Hostile, TrainCreatesTheFolderOfANestedSaveName) {
  auto r = train({"--save", "weights/best.pth", "--log", "logs/run.csv"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(fs::is_regular_file(dir.file("out/weights/best.pth")));
  EXPECT_TRUE(fs::is_regular_file(dir.file("out/logs/run.csv")));
}

TEST_F(Hostile, TrainRefusesALogPathThatIsAFolder) {
  fs::create_directories(dir.file("out/log.csv"));
  before = entries(dir.path());
  auto r = train({"--log", "log.csv"});
  expect_failure(r, "--log: '" + dir.file("out/log.csv") + "' is a folder, not a file");
  expect_nothing_new();
}

TEST_F(Hostile, PredictRefusesAFolderAsTheModel) {
  fs::create_directory(dir.file("models"));
  auto r = predict(dir.file("models"), {});
  expect_failure(r, "--model: '" + dir.file("models") + "' is a folder, not a file");
  EXPECT_EQ(r.out, "");
  expect_nothing_new();
}

TEST_F(Hostile, ConvertRefusesACropThatWrapsAroundBeforeWriting) {
  if (!LUMORA_WITH_CONVERT) GTEST_SKIP() << "built without lumora-convert";
  const std::string image = envi_image();
  for (const std::vector<std::string>& crop : std::vector<std::vector<std::string>>{
           {"1", "0", "9223372036854775807", "2"}, {"0", "9223372036854775807", "2", "9223372036854775807"}}) {
    auto r = run("lumora-convert", {"--img", image, "--out-dir", out(), "--crop", crop[0], crop[1], crop[2],
                                    crop[3]});
    expect_failure(r, "Crop region (" + crop[0] + ", " + crop[1] + ", " + crop[2] + ", " + crop[3] +
                          ") exceeds image bounds (4, 5)");
    expect_nothing_new();
  }
}

// ================================================================ bundle fit

TEST_F(Hostile, BandCountOtherThanTheBundlesFailsNamingBoth) {
  write(32, 32, 4, 3);
  const std::string model = saved(dir, "m.pkl", three_class_bundle(8));
  auto r = predict(model, {"--routing", "forest"});
  expect_failure(r, "the cube in '" + data() + "' has 4 bands but the bundle '" + model +
                        "' was trained on 8 bands");
  EXPECT_EQ(r.err.find("mat1"), std::string::npos);
  expect_nothing_new();
}

TEST_F(Hostile, ClassIdsTheBundleDoesNotKnowFailNamingThem) {
  write(32, 32, 8, 5);
  const std::string model = saved(dir, "m.pkl", three_class_bundle());
  auto r = predict(model, {"--routing", "forest"});
  expect_failure(r, "the label map in '" + gt() + "' holds class ids 4, 5 that the bundle '" + model +
                        "' does not know (its classes: 1, 2, 3)");
  expect_nothing_new();
}

TEST_F(Hostile, SceneLackingBundleClassesIsScoredOverTheBundlesClasses) {
  write(32, 32, 8, 1);  // class 1 only; the bundle predicts class 2 everywhere
  const std::string model = saved(dir, "m.pkl", three_class_bundle());
  auto r = predict(model, {"--routing", "forest"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string results = testing::read_file(dir.file("out/test_results_forest.csv"));
  EXPECT_EQ(results.substr(results.find("\r\n") + 2, 24), "forest,0.000000,0.000000") << results;
  const std::string report = testing::read_file(dir.file("out/class_report_forest.csv"));
  EXPECT_NE(report.find("\r\n1,"), std::string::npos) << report;
  EXPECT_NE(report.find(",0,0.000000,0.000000,0.000000\r\n"), std::string::npos) << report;
}

TEST_F(Hostile, NodeWithoutEnsembleMembersFailsBeforeInference) {
  write(32, 32, 8, 3);
  Bundle b = three_class_bundle();
  Bundle empty = b;
  empty.trained_models = TrainedModels();
  for (const auto& [id, entry] : b.trained_models) {
    NodeEntry e = entry;
    if (id == "root_R") e.forests.clear();
    empty.trained_models.insert(id, e);
  }
  const std::string model = saved(dir, "empty.pkl", empty);
  auto r = predict(model, {"--routing", "forest"});
  expect_failure(r, "bundle '" + model + "': node 'root_R' has no ensemble members to predict with");
  EXPECT_EQ(r.out.find("Inference complete"), std::string::npos);
  expect_nothing_new();
}

// ================================================================ routers

TEST_F(Hostile, UntrainedRoutersFallBackToTheEnsembleOncePerNode) {
  write(32, 32, 8, 3);
  const std::string model = saved(dir, "m.pkl", three_class_bundle());
  auto r = predict(model, {"--routing", "all"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // Once per node in each of the two runs that use routers.
  EXPECT_EQ(count_of(r.out, "  Node 'root' has no trained router: routing by its ensemble there.\n"), 2u) << r.out;
  EXPECT_EQ(count_of(r.out, "  Node 'root_R' has no trained router: routing by its ensemble there.\n"), 2u);
  const size_t forest_run = r.out.find("(routing=forest)"), hybrid_run = r.out.find("(routing=hybrid)");
  EXPECT_EQ(r.out.substr(forest_run, hybrid_run - forest_run).find("no trained router"), std::string::npos);
  // Routed as forest routing routes: the same scores in all three.
  const std::string forest = testing::read_file(dir.file("out/test_results_forest.csv"));
  for (const char* mode : {"hybrid", "soft"}) {
    const std::string other = testing::read_file(dir.file(std::string("out/test_results_") + mode + ".csv"));
    EXPECT_EQ(other.substr(other.find("\r\n") + 2 + std::string(mode).size()),
              forest.substr(forest.find("\r\n") + 2 + 6))
        << mode;
  }
}

// ================================================================ split record

// One real tree fit shared by the split cases: it is the slow part.
class RecordedSplit : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new TempDir();
    auto scene = testing::make_tiny_scene(32, 32, 8, 4);
    testing::write_scene(dir->path(), scene.cube, scene.labels);
    fit = new RunResult(testing::run_program(
        "lumora-treefit", {"--data", dir->file("data.mat"), "--gt", dir->file("gt.mat"), "--out-dir",
                           dir->file("fit"), "--epochs", "2", "--ensembles", "1", "--leaf_ensembles", "1",
                           "--base_filters", "4", "--num_filters", "2", "--val_interval", "1", "--min_epochs", "1",
                           "--d_model", "8", "--d_state", "4", "--seed", "7", "--train_ratio", "0.3"}));
  }
  static void TearDownTestSuite() {
    delete fit;
    delete dir;
  }
  static RunResult predict(const std::string& out, std::vector<std::string> extra) {
    std::vector<std::string> args = {"--data",  dir->file("data.mat"), "--gt",      dir->file("gt.mat"),
                                     "--model", dir->file("fit/spt_models.pkl"), "--out-dir", dir->file(out),
                                     "--routing", "forest"};
    args.insert(args.end(), extra.begin(), extra.end());
    return testing::run_program("lumora-predict", args);
  }
  static TempDir* dir;
  static RunResult* fit;
};
TempDir* RecordedSplit::dir = nullptr;
RunResult* RecordedSplit::fit = nullptr;

TEST_F(RecordedSplit, TreefitRecordsTheSplitAndHintsTheSeed) {
  ASSERT_EQ(fit->exit_code, 0) << fit->err;
  const Bundle b = load_bundle(dir->file("fit/spt_models.pkl"));
  ASSERT_TRUE(b.split.has_value());
  EXPECT_EQ(b.split->train_ratio, 0.3);
  EXPECT_EQ(b.split->val_ratio, 0.1);
  EXPECT_EQ(b.split->seed, 7);
  EXPECT_NE(fit->out.find(" --train_ratio 0.3 --val_ratio 0.1 --seed 7\n"), std::string::npos) << fit->out;
}

TEST_F(RecordedSplit, PredictScoresTheRecordedTestPixelsWithoutOptions) {
  ASSERT_EQ(fit->exit_code, 0) << fit->err;
  auto r = predict("plain", {});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out.find("WARNING"), std::string::npos) << r.out;
  const std::string fitted = testing::read_file(dir->file("fit/test_results.csv"));
  const std::string predicted = testing::read_file(dir->file("plain/test_results_forest.csv"));
  EXPECT_EQ(predicted.substr(predicted.find("\r\n")), fitted.substr(fitted.find("\r\n")));
  EXPECT_EQ(testing::read_file(dir->file("plain/class_report_forest.csv")),
            testing::read_file(dir->file("fit/class_report_forest.csv")));
  // The same values given explicitly: no warning either.
  auto same = predict("same", {"--seed", "7", "--train_ratio", "0.3", "--val_ratio", "0.1"});
  ASSERT_EQ(same.exit_code, 0) << same.err;
  EXPECT_EQ(same.out.find("WARNING"), std::string::npos);
}

TEST_F(RecordedSplit, GivenValuesThatDifferAreUsedWithOneWarningEach) {
  ASSERT_EQ(fit->exit_code, 0) << fit->err;
  auto r = predict("other", {"--seed", "42", "--val_ratio", "0.2"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(count_of(r.out, "WARNING: "), 2u) << r.out;
  EXPECT_NE(r.out.find("WARNING: --seed 42 differs from the 7 recorded in the bundle; the test pixels may include "
                       "pixels the tree was trained on.\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("WARNING: --val_ratio 0.2 differs from the 0.1 recorded in the bundle; the test pixels may "
                       "include pixels the tree was trained on.\n"),
            std::string::npos);
  // The given split is the one scored: fewer test pixels than the recorded one.
  const std::string fitted = testing::read_file(dir->file("fit/class_report_forest.csv"));
  EXPECT_NE(testing::read_file(dir->file("other/class_report_forest.csv")), fitted);
}

TEST_F(RecordedSplit, BundleWithoutARecordUsesTheOptionsAsBefore) {
  ASSERT_EQ(fit->exit_code, 0) << fit->err;
  Bundle b = load_bundle(dir->file("fit/spt_models.pkl"));
  b.split.reset();
  save_bundle(b, dir->file("old.pkl"));
  // Defaults (0.2, 0.1, 42) differ from the fit's split: another test set.
  auto r = testing::run_program("lumora-predict", {"--data", dir->file("data.mat"), "--gt", dir->file("gt.mat"),
                                                   "--model", dir->file("old.pkl"), "--out-dir", dir->file("old"),
                                                   "--routing", "forest"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out.find("WARNING"), std::string::npos);
  EXPECT_NE(r.out.find("test: "), std::string::npos);
  auto given = testing::run_program(
      "lumora-predict", {"--data", dir->file("data.mat"), "--gt", dir->file("gt.mat"), "--model",
                         dir->file("old.pkl"), "--out-dir", dir->file("given"), "--routing", "forest", "--seed", "7",
                         "--train_ratio", "0.3"});
  ASSERT_EQ(given.exit_code, 0) << given.err;
  EXPECT_EQ(testing::read_file(dir->file("given/class_report_forest.csv")),
            testing::read_file(dir->file("fit/class_report_forest.csv")));
  EXPECT_NE(testing::read_file(dir->file("old/class_report_forest.csv")),
            testing::read_file(dir->file("fit/class_report_forest.csv")));
}

}  // namespace lumora
