// Class-tree training spread over the ranks of a Cluster. The jobs are the
// ensemble members of every trained node; a node's router rides with its
// last member, because it starts from the generator state that member
// leaves behind. Every rank takes the next job, largest first, until none
// is left; rank 0 receives the results and plays them, in the order one
// process would have produced them, to the same observer and history file,
// so the models are those of a single-process run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <torch/types.h>

#include "lumora/distributed/cluster.h"
#include "lumora/rssp/nodefit.h"
#include "lumora/rssp/records.h"

namespace lumora {

struct TreeJob {
  size_t index = 0;  // in single-process training order
  std::string node_id;
  int64_t forest_idx = 0;
  int64_t ensemble_size = 0;
  bool with_router = false;
  int64_t epochs = 0;  // the node's epoch budget: the job's expected size
};

// The jobs of train_tree(tree, ...) in its training order.
std::vector<TreeJob> tree_jobs(const TreeNode& tree, int64_t total_classes, bool has_fingerprints,
                               const TrainNodeOptions& options);
// Largest epoch budget first; equal budgets in training order.
std::vector<TreeJob> largest_first(std::vector<TreeJob> jobs);

struct JobDone {
  TreeJob job;
  FitResult fit;       // weights moved out
  double seconds = 0;  // training time of the member and its router
};

// What one rank did: its jobs, the seconds they took, and the seconds from
// the start of tree training until this rank had nothing left to do (on rank 0:
// until every result was in).
struct RankShare {
  int64_t jobs = 0;
  double busy = 0, total = 0;
};

// A rank's own jobs as they finish.
class JobObserver {
 public:
  virtual ~JobObserver() = default;
  virtual void on_job_done(const JobDone& /*done*/) {}
  virtual void on_share_done(const RankShare& /*share*/) {}
};
using JobObserverPtr = JobObserver*;

// Finished jobs kept outside the process, so that a killed run's work is
// found again: entries are encode_job_result's bytes, by TreeJob::index.
class JobStore {
 public:
  virtual ~JobStore() = default;
  virtual bool has(size_t index) const = 0;
  virtual std::string read(size_t index) const = 0;
  virtual void keep(size_t index, const std::string& bytes) = 0;
};

// train_tree, job by job: a job the store holds is played back (its epochs
// to the observer and the history) instead of trained, and each job trained
// is kept as soon as it is done. Models and history are train_tree's.
TrainedModels train_tree_kept(const TreeNode& tree, const torch::Tensor& data, const torch::Tensor& labels,
                              int64_t total_classes, const torch::Tensor& train_coords,
                              const torch::Tensor& val_coords, const std::optional<torch::Tensor>& fp_map,
                              const TrainNodeOptions& options, JobStore& store);

// train_tree over every rank of `cluster`; all ranks call it with the same
// arguments (scene, split, tree and fingerprints alike). `key_prefix`
// separates runs that share the cluster. Rank 0 returns the models, reports
// to options.observer() and writes options.out_dir()'s history exactly as
// train_tree; the other ranks return nothing and write nothing. With a
// `store` on rank 0, the jobs it holds are handed to no rank, and every
// result rank 0 receives is kept there.
std::optional<TrainedModels> train_tree_distributed(Cluster& cluster, const std::string& key_prefix,
                                                    const TreeNode& tree, const torch::Tensor& data,
                                                    const torch::Tensor& labels, int64_t total_classes,
                                                    const torch::Tensor& train_coords,
                                                    const torch::Tensor& val_coords,
                                                    const std::optional<torch::Tensor>& fp_map,
                                                    const TrainNodeOptions& options, JobObserver* jobs = nullptr,
                                                    JobStore* store = nullptr);

// A finished job as bytes and back (exposed for tests).
struct JobResult {
  FitResult fit;
  std::vector<EpochReport> epochs;
  double seconds = 0;
  std::optional<RouterOutcome> router;  // the last member's job of a node with a router
};
std::string encode_job_result(const JobResult& result);
JobResult decode_job_result(const std::string& bytes);

}  // namespace lumora
