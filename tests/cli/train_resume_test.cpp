// A stopped or killed lumora-train run, resumed, ends with the files an
// uninterrupted run writes; a resume of another run is refused; a failed
// checkpoint write says why and leaves the previous one.
#include <gtest/gtest.h>
#include <torch/torch.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "lumora/commands/train_checkpoint.h"
#include "support/testing.h"

namespace lumora {
namespace {

namespace fs = std::filesystem;

void write_text(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

const std::vector<std::string> kFiles = {"best_model.pth", "best_model.json", "training_log.csv",
                                         "test_results.csv", "checkpoint.pt", "split.tif"};

class TrainResume : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new testing::TempDir();
    auto scene = testing::make_tiny_scene(16, 32, 8, 3);
    testing::write_scene(dir->path(), scene.cube, scene.labels);
    const testing::RunResult whole = run("whole", {});
    ASSERT_EQ(whole.exit_code, 0) << whole.err;
  }
  static void TearDownTestSuite() { delete dir; }
  static std::vector<std::string> args(const std::string& out, std::vector<std::string> extra) {
    std::vector<std::string> a = {"--data", dir->file("data.mat"), "--gt", dir->file("gt.mat"), "--out-dir",
                                  dir->file(out), "--base_filters", "4", "--num_filters", "2", "--num_blocks", "1",
                                  "--no-maps", "--few_labels"};
    for (const auto& [option, value] : {std::pair<const char*, const char*>{"--epochs", "100"}, {"--lr", "0.01"}})
      if (std::find(extra.begin(), extra.end(), option) == extra.end()) a.insert(a.end(), {option, value});
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  }
  static testing::RunResult run(const std::string& out, const std::vector<std::string>& extra) {
    return testing::run_program("lumora-train", args(out, extra));
  }
  // Started in the background and hit by `signal` once its first checkpoint is there.
  static testing::RunResult interrupted(const std::string& out, int signal) {
    testing::BackgroundProgram program("lumora-train", args(out, {}));
    const fs::path checkpoint = dir->file(out + "/checkpoint.pt");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!fs::exists(checkpoint) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    program.send(signal);
    return program.wait(120);
  }
  static void expect_same_files(const std::string& out) {
    for (const std::string& f : kFiles)
      EXPECT_EQ(testing::read_file(dir->file(out + "/" + f)), testing::read_file(dir->file("whole/" + f)))
          << out << "/" << f;
    for (const auto& entry : fs::directory_iterator(dir->file(out)))
      EXPECT_NE(entry.path().extension(), ".part") << entry.path();
  }
  static testing::TempDir* dir;
};
testing::TempDir* TrainResume::dir = nullptr;

}  // namespace

TEST_F(TrainResume, StoppedAndKilledRunsResumeToTheFilesOfAnUninterruptedRun) {
  const testing::RunResult stopped = interrupted("stopped", SIGTERM);
  ASSERT_EQ(stopped.exit_code, 143) << stopped.err;
  EXPECT_TRUE(std::regex_search(stopped.err, std::regex("^stopped by SIGTERM at epoch [0-9]+; continue with --resume\n$")))
      << stopped.err;
  EXPECT_FALSE(fs::exists(dir->file("stopped/test_results.csv")));
  const testing::RunResult resumed = run("stopped", {"--resume"});
  ASSERT_EQ(resumed.exit_code, 0) << resumed.err;
  EXPECT_TRUE(std::regex_search(resumed.out, std::regex("Resuming from epoch [0-9]+ \\(checkpoint.pt\\)")));
  expect_same_files("stopped");

  const testing::RunResult killed = interrupted("killed", SIGKILL);
  ASSERT_EQ(killed.exit_code, 128 + SIGKILL);
  ASSERT_EQ(run("killed", {"--resume"}).exit_code, 0);
  expect_same_files("killed");
}

TEST_F(TrainResume, AnotherRunIsRefusedByNameAndAFinishedOneIsNotTrainedAgain) {
  const std::string checkpoint = dir->file("whole/checkpoint.pt");
  const testing::RunResult longer = run("whole", {"--resume", "--epochs", "500"});
  EXPECT_EQ(longer.exit_code, 2);
  EXPECT_EQ(longer.err, "error: cannot resume from '" + checkpoint + "': its --epochs is 100, this run's is 500\n");
  const testing::RunResult other_seed = run("whole", {"--resume", "--lr", "0.02"});
  EXPECT_EQ(other_seed.err, "error: cannot resume from '" + checkpoint + "': its --lr is 0.01, this run's is 0.02\n");

  const std::string log_before = testing::read_file(dir->file("whole/training_log.csv"));
  const testing::RunResult again = run("whole", {"--resume"});
  EXPECT_EQ(again.exit_code, 0);
  EXPECT_NE(again.out.find("Nothing to resume: the run in " + dir->file("whole") + " finished at epoch 100"),
            std::string::npos);
  EXPECT_EQ(testing::read_file(dir->file("whole/training_log.csv")), log_before);

  // --runs: the finished run is skipped, the missing one trained, the summary the same.
  ASSERT_EQ(run("runs", {"--runs", "2"}).exit_code, 0);
  const std::string summary = testing::read_file(dir->file("runs/runs_summary.csv"));
  fs::remove_all(dir->file("runs/run_43"));
  const testing::RunResult resumed = run("runs", {"--runs", "2", "--resume"});
  ASSERT_EQ(resumed.exit_code, 0) << resumed.err;
  EXPECT_NE(resumed.out.find("Nothing to resume: the run in " + dir->file("runs/run_42")), std::string::npos);
  EXPECT_NE(resumed.out.find("No checkpoint in " + dir->file("runs/run_43") + ": training starts at epoch 1"),
            std::string::npos);
  EXPECT_EQ(testing::read_file(dir->file("runs/runs_summary.csv")), summary);
}

TEST_F(TrainResume, AFailedCheckpointWriteNamesTheReasonAndKeepsThePreviousOne) {
  const std::string path = dir->file("full/checkpoint.pt"), log = dir->file("full/log.csv");
  fs::create_directories(dir->file("full"));
  write_text(log, "epoch\r\n10\r\n");
  commands::train::TrainCheckpointer keeper(path, log, {{"--epochs", "20"}});
  c10::impl::GenericDict state(c10::StringType::get(), c10::AnyType::get());
  state.insert("weights", torch::ones({64}));
  keeper.save(state, 10);
  const auto size = fs::file_size(path);
  write_text(log, "epoch\r\n10\r\n" + std::string(400, '2') + "\r\n");  // the next checkpoint is longer
  std::string message;
  {
    testing::FileSizeLimit limit(size);
    message = testing::error_of<RuntimeError>([&] { keeper.save(state, 20); });
  }
  EXPECT_EQ(message, "failed to write '" + path + "': File too large");
  const auto kept = commands::train::read_checkpoint(path);
  ASSERT_TRUE(kept.has_value());
  EXPECT_EQ(kept->epoch, 10);
  EXPECT_EQ(kept->log, "epoch\r\n10\r\n");
  EXPECT_EQ(testing::entries(dir->file("full")), (std::vector<std::string>{"checkpoint.pt", "log.csv"}));
}

}  // namespace lumora
