// checkpoint.pt of a lumora-train run: the fit's whole state after its
// latest validation (or at a stop), the log written so far, and what the run
// was made with, so that --resume goes on only with the same scene, split,
// network and options. A run that finished leaves a small one that says so.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <ATen/core/ivalue.h>

#include "lumora/commands/run_identity.h"
#include "lumora/training/fit.h"

namespace lumora::commands::train {

using cli::RunIdentity;

struct StoredCheckpoint {
  RunIdentity identity;
  bool finished = false;
  int64_t epoch = 0;
  c10::IValue fit;  // the fit state; None once finished
  std::string log;  // the training log's bytes at that epoch
};

// Reads `path`; errors name it. std::nullopt when there is no such file.
std::optional<StoredCheckpoint> read_checkpoint(const std::string& path);

// Keeps the fit's state with the log in `checkpoint_path`, atomically.
class TrainCheckpointer : public FitCheckpointer {
 public:
  TrainCheckpointer(std::string checkpoint_path, std::string log_path, RunIdentity identity)
      : path_(std::move(checkpoint_path)), log_path_(std::move(log_path)), identity_(std::move(identity)) {}
  void save(const c10::IValue& state, int64_t epoch) override;
  // Replaces the checkpoint by the small one of a finished run.
  void finish(int64_t epoch);

 private:
  void write(const c10::IValue& state, int64_t epoch, bool finished);
  std::string path_, log_path_;
  RunIdentity identity_;
};

}  // namespace lumora::commands::train
