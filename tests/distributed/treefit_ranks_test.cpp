// lumora-treefit over 2 and 3 processes on the loopback interface: the same
// files, byte for byte, as one process; a killed rank fails the run in time;
// repeated runs and their summary.
#include <gtest/gtest.h>

#include <csignal>
#include <cmath>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include <fmt/format.h>

#include "lumora/core/elapsed.h"
#include "lumora/test_paths.h"
#include "support/testing.h"

namespace lumora {
namespace {

namespace fs = std::filesystem;

// One intra-op thread everywhere: float sums then add up in one order, so
// that any difference is the distribution's fault.
const std::vector<std::string> kOneThread = {"OMP_NUM_THREADS=1"};

std::vector<std::string> fit_args(const testing::TempDir& dir, const std::string& out,
                                  const std::vector<std::string>& extra, const std::string& epochs = "6") {
  std::vector<std::string> args = {"--data", dir.file("data.mat"), "--gt", dir.file("gt.mat"), "--out-dir",
                                   dir.file(out), "--epochs", epochs, "--ensembles", "2", "--leaf_ensembles", "2",
                                   "--base_filters", "4", "--num_filters", "2", "--val_interval", "2",
                                   "--min_epochs", epochs, "--d_model", "8", "--d_state", "4"};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// Starts `world` ranks of one run into `out` and waits for all of them.
std::vector<testing::RunResult> run_ranks(const testing::TempDir& dir, const std::string& out, int world,
                                          const std::vector<std::string>& extra = {}) {
  const std::string url = "tcp://127.0.0.1:" + std::to_string(testing::free_port());
  std::vector<std::unique_ptr<testing::BackgroundProgram>> ranks;
  for (int r = 0; r < world; ++r) {
    std::vector<std::string> args = extra;
    for (const std::string& a : {std::string("--dist-url"), url, std::string("--world-size"), std::to_string(world),
                                 std::string("--rank"), std::to_string(r), std::string("--dist-timeout"),
                                 std::string("60")})
      args.push_back(a);
    ranks.push_back(std::make_unique<testing::BackgroundProgram>("lumora-treefit", fit_args(dir, out, args), kOneThread));
  }
  std::vector<testing::RunResult> results;
  for (auto& rank : ranks) results.push_back(rank->wait(300.0));
  return results;
}

const std::vector<std::string> kRunFiles = {"spt_models.pkl", "training_history.csv", "test_results.csv",
                                            "class_report_forest.csv", "warmstarted.pt"};

class TreefitRanks : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new testing::TempDir();
    auto scene = testing::make_tiny_scene(32, 32, 8, 4);
    testing::write_scene(dir->path(), scene.cube, scene.labels);
    testing::BackgroundProgram single("lumora-treefit", fit_args(*dir, "single", {}), kOneThread);
    alone = new testing::RunResult(single.wait(300.0));
  }
  static void TearDownTestSuite() {
    delete alone;
    delete dir;
  }
  static void expect_same_files(const std::string& out) {
    for (const std::string& name : kRunFiles)
      EXPECT_EQ(testing::read_file(dir->file(out + "/" + name)), testing::read_file(dir->file("single/" + name)))
          << out << "/" << name << " differs from the single-process run's";
  }
  static testing::TempDir* dir;
  static testing::RunResult* alone;
};
testing::TempDir* TreefitRanks::dir = nullptr;
testing::RunResult* TreefitRanks::alone = nullptr;

TEST_F(TreefitRanks, TwoAndThreeRanksWriteTheSingleProcessFiles) {
  ASSERT_EQ(alone->exit_code, 0) << alone->err;
  for (int world : {2, 3}) {
    const std::string out = "ranks" + std::to_string(world);
    const auto results = run_ranks(*dir, out, world);
    for (int r = 0; r < world; ++r) ASSERT_EQ(results[static_cast<size_t>(r)].exit_code, 0) << results[static_cast<size_t>(r)].err;
    expect_same_files(out);

    // Rank 0 prints the run as one process does; the others only their own lines.
    const std::string& leader = results[0].out;
    EXPECT_NE(leader.find("=== Training SPT Ensembles (loss=ce) ==="), std::string::npos);
    EXPECT_NE(leader.find("[rank 0/" + std::to_string(world) + "] all " + std::to_string(world) + " ranks joined"),
              std::string::npos);
    for (int r = 1; r < world; ++r) {
      const std::string& lines = results[static_cast<size_t>(r)].out;
      const std::string prefix = "\\[rank " + std::to_string(r) + "/" + std::to_string(world) + "\\] ";
      std::stringstream in(lines);
      std::string line;
      while (std::getline(in, line))
        EXPECT_TRUE(std::regex_search(line, std::regex("^" + prefix))) << line;
      EXPECT_TRUE(std::regex_search(lines, std::regex(prefix + "joined rank 0 at 127\\.0\\.0\\.1:\\d+ \\(pid \\d+\\)")));
      EXPECT_TRUE(std::regex_search(lines, std::regex(prefix + "\\d+ jobs: .* training, .* waiting \\(\\d+%\\)")));
    }
  }
}

// The arguments of rank `rank` of 2 meeting at `url`, writing into `out`.
std::vector<std::string> pair_args(const testing::TempDir& dir, const std::string& out, const std::string& url,
                                   int rank, const std::string& timeout, const std::string& epochs) {
  return fit_args(dir, out,
                  {"--dist-url", url, "--world-size", "2", "--rank", std::to_string(rank), "--dist-timeout", timeout},
                  epochs);
}

struct Survivor {
  testing::RunResult result;
  double seconds_after_kill = 0;
};

// Two ranks of a long run into `out`; once rank 1 has joined and both are
// well into training, rank `victim` is killed. The other rank's end.
Survivor kill_one_rank(const testing::TempDir& dir, const std::string& out, const std::string& timeout, int victim) {
  const std::string url = "tcp://127.0.0.1:" + std::to_string(testing::free_port());
  testing::BackgroundProgram leader("lumora-treefit", pair_args(dir, out, url, 0, timeout, "5000"), kOneThread);
  testing::BackgroundProgram worker("lumora-treefit", pair_args(dir, out, url, 1, timeout, "5000"), kOneThread);
  const double start = wall_time();
  while (worker.out().find("joined rank 0") == std::string::npos && wall_time() - start < 60.0)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  (victim == 0 ? leader : worker).kill();
  const double killed = wall_time();
  Survivor s;
  s.result = (victim == 0 ? worker : leader).wait(60.0);
  s.seconds_after_kill = wall_time() - killed;
  return s;
}

TEST_F(TreefitRanks, AKilledRankFailsRankZeroWithinTheTimeout) {
  const auto [r, seconds] = kill_one_rank(*dir, "killed", "3", /*victim=*/1);
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  EXPECT_LT(seconds, 3.0 + 5.0);
  EXPECT_NE(r.err.find("rank 1 gave no sign of life for 3 s (it died, hung or lost the network); the run is "
                       "abandoned; no ensemble member had finished"),
            std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(dir->file("killed/spt_models.pkl")));
  EXPECT_FALSE(fs::exists(dir->file("killed/training_history.csv")));
}

TEST_F(TreefitRanks, AKilledRankZeroFailsTheOthersAtOnce) {
  const auto [r, seconds] = kill_one_rank(*dir, "leader-killed", "30", /*victim=*/0);
  EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
  // Long before the 30 s timeout: the store's connection breaks with rank 0.
  EXPECT_LT(seconds, 10.0);
  EXPECT_TRUE(std::regex_search(r.err, std::regex("^error: rank 1/2 lost contact with rank 0 at 127\\.0\\.0\\.1:\\d+ "
                                                  "\\(.*\\); the run is abandoned\n")))
      << r.err;
  EXPECT_FALSE(fs::exists(dir->file("leader-killed/spt_models.pkl")));
}

TEST_F(TreefitRanks, RanksWithDifferentOptionsAreRefusedBeforeTraining) {
  const std::string url = "tcp://127.0.0.1:" + std::to_string(testing::free_port());
  testing::BackgroundProgram leader("lumora-treefit", pair_args(*dir, "mismatch", url, 0, "5", "6"), kOneThread);
  testing::BackgroundProgram worker("lumora-treefit", pair_args(*dir, "mismatch", url, 1, "5", "8"), kOneThread);
  const testing::RunResult r0 = leader.wait(60.0);
  const testing::RunResult r1 = worker.wait(60.0);
  EXPECT_EQ(r0.exit_code, 1);
  EXPECT_NE(r0.err.find("error: rank 1 has different training options, scene, split or class tree than rank 0: "
                        "give every rank the same --data, --gt and options"),
            std::string::npos)
      << r0.err;
  EXPECT_EQ(r1.exit_code, 1) << r1.out;
  EXPECT_NE(r1.err.find("rank 0"), std::string::npos) << r1.err;
  EXPECT_FALSE(fs::exists(dir->file("mismatch/spt_models.pkl")));
}

// Waits until `out`'s checkpoint holds more than `jobs` finished jobs.
void await_jobs(const std::string& out, int64_t jobs) {
  const double start = wall_time();
  auto count = [&] {
    int64_t n = 0;
    if (fs::is_directory(out + "/checkpoint"))
      for (const auto& e : fs::directory_iterator(out + "/checkpoint")) n += e.path().extension() == ".job";
    return n;
  };
  while (count() <= jobs && wall_time() - start < 120.0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

int64_t kept_jobs(const std::string& out) {
  std::smatch m;
  return std::regex_search(out, m, std::regex("Resuming: (\\d+) finished ensemble members kept")) ? std::stoll(m[1])
                                                                                                   : -1;
}

TEST_F(TreefitRanks, StoppedAndKilledRunsResumeToTheFilesOfOneUninterruptedRun) {
  const std::string out = dir->file("resumed");
  testing::BackgroundProgram stopped("lumora-treefit", fit_args(*dir, "resumed", {}), kOneThread);
  await_jobs(out, 0);
  stopped.send(SIGTERM);
  const testing::RunResult first = stopped.wait(120.0);
  EXPECT_EQ(first.exit_code, 143) << first.err;
  EXPECT_TRUE(std::regex_search(first.err, std::regex("^stopped by SIGTERM at epoch \\d+; continue with --resume\n$")))
      << first.err;

  // Killed without warning this time, once it has finished one more job.
  testing::BackgroundProgram killed("lumora-treefit", fit_args(*dir, "resumed", {"--resume"}), kOneThread);
  await_jobs(out, 1);
  killed.kill();
  const std::string killed_out = killed.wait(60.0).out;
  EXPECT_GE(kept_jobs(killed_out), 1) << killed_out;

  const testing::RunResult last =
      testing::BackgroundProgram("lumora-treefit", fit_args(*dir, "resumed", {"--resume"}), kOneThread).wait(120.0);
  ASSERT_EQ(last.exit_code, 0) << last.err;
  EXPECT_GE(kept_jobs(last.out), 2) << last.out;
  expect_same_files("resumed");
  std::vector<std::string> left;
  for (const auto& e : fs::directory_iterator(out + "/checkpoint")) left.push_back(e.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"run.pt"});

  const testing::RunResult again = testing::run_program("lumora-treefit", fit_args(*dir, "resumed", {"--resume"}));
  EXPECT_EQ(again.exit_code, 0);
  EXPECT_NE(again.out.find("Nothing to resume: the run in " + out + " finished\n"), std::string::npos) << again.out;
  const testing::RunResult other =
      testing::run_program("lumora-treefit", fit_args(*dir, "resumed", {"--resume"}, /*epochs=*/"8"));
  EXPECT_EQ(other.exit_code, 2);
  EXPECT_EQ(other.err, "error: cannot resume from '" + out + "/checkpoint/run.pt': its --epochs is 6, this run's is 8\n");
  expect_same_files("resumed");
}

TEST_F(TreefitRanks, ARestartedRunOfOtherRanksTrainsOnlyWhatRankZeroLacks) {
  const std::string out = dir->file("restarted");
  const std::string url = "tcp://127.0.0.1:" + std::to_string(testing::free_port());
  testing::BackgroundProgram leader("lumora-treefit", pair_args(*dir, "restarted", url, 0, "3", "6"), kOneThread);
  testing::BackgroundProgram worker("lumora-treefit", pair_args(*dir, "restarted", url, 1, "3", "6"), kOneThread);
  await_jobs(out, 0);
  worker.kill();
  const testing::RunResult failed = leader.wait(60.0);
  EXPECT_EQ(failed.exit_code, 1);
  EXPECT_TRUE(std::regex_search(failed.err, std::regex("; \\d+ finished ensemble members? (is|are) kept: "
                                                       "continue with --resume\n$")))
      << failed.err;

  const auto results = run_ranks(*dir, "restarted", 3, {"--resume"});
  for (const testing::RunResult& r : results) ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_GE(kept_jobs(results[0].out), 1) << results[0].out;
  expect_same_files("restarted");
}

// Reads "header\r\nvalues\r\n" into name -> text.
std::map<std::string, std::string> one_row_csv(const std::string& path) {
  std::vector<std::vector<std::string>> rows;
  std::stringstream in(testing::read_file(path));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> fields;
    std::stringstream cells(line);
    for (std::string f; std::getline(cells, f, ',');) fields.push_back(f);
    rows.push_back(fields);
  }
  std::map<std::string, std::string> out;
  for (size_t i = 0; i < rows.at(0).size(); ++i) out[rows.at(0)[i]] = rows.at(1).at(i);
  return out;
}

// The summary's mean and sample deviation, recomputed from each run's file.
void expect_summary_matches_runs(const std::string& out, const std::vector<int64_t>& seeds,
                                 const std::vector<std::pair<std::string, std::string>>& columns) {
  const std::string summary = testing::read_file(out + "/runs_summary.csv");
  std::string header = "score";
  for (int64_t s : seeds) header += ",run_" + std::to_string(s);
  EXPECT_EQ(summary.substr(0, summary.find("\r\n")), header + ",mean,std");
  for (const auto& [column, label] : columns) {
    std::vector<double> values;
    std::string row = label;
    for (int64_t s : seeds) {
      const std::string text = one_row_csv(out + "/run_" + std::to_string(s) + "/test_results.csv").at(column);
      values.push_back(std::stod(text));
      row += "," + text;
    }
    double mean = 0, squares = 0;
    for (double v : values) mean += v / static_cast<double>(values.size());
    for (double v : values) squares += (v - mean) * (v - mean);
    row += fmt::format(",{:.6f},{:.6f}\r\n", mean, std::sqrt(squares / static_cast<double>(values.size() - 1)));
    EXPECT_NE(summary.find("\r\n" + row), std::string::npos) << row << " not in\n" << summary;
  }
}

TEST_F(TreefitRanks, RepeatedRunsOverTwoRanksWriteEachRunAndTheSummary) {
  const auto results = run_ranks(*dir, "runs", 2, {"--runs", "3", "--seed", "7"});
  ASSERT_EQ(results[0].exit_code, 0) << results[0].err;
  ASSERT_EQ(results[1].exit_code, 0) << results[1].err;
  for (int64_t seed : {7, 8, 9})
    for (const std::string& name : kRunFiles)
      EXPECT_TRUE(fs::exists(dir->file("runs/run_" + std::to_string(seed) + "/" + name))) << seed << " " << name;
  expect_summary_matches_runs(dir->file("runs"), {7, 8, 9},
                              {{"OA", "OA"}, {"mIoU", "mIoU"}, {"AA", "AA"}, {"kappa", "kappa"}});
  EXPECT_NE(results[0].out.find("Test Results over 3 runs (mean ± std)"), std::string::npos);
}

TEST(TrainRuns, ThreeRunsOnTheSampleSceneAndTheirSummary) {
  testing::TempDir dir;
  const std::string sample = testing::source_dir() + "/data/sample";
  const auto r = testing::run_program(
      "lumora-train", {"--data", sample + "/data.mat", "--gt", sample + "/gt.mat", "--epochs", "3", "--base_filters",
                       "4", "--num_filters", "2", "--num_blocks", "1", "--runs", "3", "--no-maps", "--out-dir",
                       dir.file("train")});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  for (int64_t seed : {42, 43, 44})
    EXPECT_TRUE(fs::exists(dir.file("train/run_" + std::to_string(seed) + "/best_model.pth"))) << seed;
  expect_summary_matches_runs(dir.file("train"), {42, 43, 44},
                              {{"test_oa", "OA"},
                               {"test_miou", "mIoU"},
                               {"test_dice", "Dice"},
                               {"test_precision", "Precision"},
                               {"test_recall", "Recall"},
                               {"test_aa", "AA"},
                               {"test_kappa", "kappa"}});
}

}  // namespace
}  // namespace lumora
