// OUT_DIR/checkpoint/ of a lumora-treefit run. run.pt says what the run is
// made with, how long training_history.csv was before its training began,
// and holds the pre-trained encoder once there is one; job_<index>.job holds
// each finished ensemble member (a node's last member with its router). A
// finished run keeps only a run.pt that says so.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "lumora/commands/run_identity.h"
#include "lumora/core/state_dict.h"
#include "lumora/distributed/tree_jobs.h"

namespace lumora::commands::treefit {

struct TreeRunRecord {
  cli::RunIdentity identity;
  bool finished = false;
  int64_t history_bytes = -1;  // -1: there was no history file
  std::optional<StateDict> encoder;
};

class TreeCheckpoint : public JobStore {
 public:
  explicit TreeCheckpoint(const std::string& out_dir);

  const std::string& folder() const { return folder_; }
  const std::string& record_path() const { return record_path_; }

  // The stored record; none without run.pt. Errors name the file.
  std::optional<TreeRunRecord> read_record() const;
  // A new run: the earlier run's files go, then `record` is written.
  void start(const TreeRunRecord& record);
  void write_record(const TreeRunRecord& record);
  // The record marked finished; the job files go.
  void finish(TreeRunRecord record);
  int64_t jobs_kept() const;

  bool has(size_t index) const override;
  std::string read(size_t index) const override;
  void keep(size_t index, const std::string& bytes) override;

 private:
  std::string job_path(size_t index) const;
  void remove_jobs() const;
  std::string folder_, record_path_;
};

// training_history.csv back to its length before the run's training began.
void restore_history(const std::string& path, int64_t bytes);
// The history's length now, -1 when there is none.
int64_t history_length(const std::string& path);

}  // namespace lumora::commands::treefit
