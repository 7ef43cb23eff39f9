// Training of the class tree's nodes: the node-local dataset and scores, the
// epoch budget of a node, the ensemble training of one node (train_node) and
// the pre-order walk over a whole tree (train_tree).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <torch/arg.h>
#include <torch/data/datasets/base.h>
#include <torch/data/example.h>
#include <torch/types.h>

#include "lumora/core/elapsed.h"
#include "lumora/metrics/confusion.h"
#include "lumora/rssp/records.h"

namespace lumora {

// ---------------------------------------------------------------------------
// Node data

// The single training sample of one tree node: the whole cube and a label
// mask that keeps the split's pixels of the node's classes, renumbered 1..K
// (0 everywhere else, i.e. ignored by the loss and the scores).
class NodeDataset : public torch::data::datasets::Dataset<NodeDataset> {
 public:
  // data: (C, H, W) scene, kept as given (no copy); labels: (H, W) global ids
  // of any integer type; node_classes: the node's "classes"; split_coords:
  // (N, 2) integer (row, column) pairs of one split. Fails with a ValueError
  // for labels that are not 2-D, coordinates that are not (N, 2) or lie
  // outside the label map, and invalid class lists (see class_maps).
  NodeDataset(const torch::Tensor& data, const torch::Tensor& labels, const std::vector<int64_t>& node_classes,
              const torch::Tensor& split_coords);

  // (data, split_mask) whatever the index.
  torch::data::Example<> get(size_t index) override;
  torch::optional<size_t> size() const override { return 1; }

  torch::Tensor data;
  ClassMap global_to_local;
  ClassMap local_to_global;
  int64_t num_classes = 0;   // K + 1
  torch::Tensor split_mask;  // int64 (H, W) on the CPU
  int64_t num_pixels = 0;    // pixels of split_mask > 0
};

// The seven scores of logits `pred` (B, num_classes, H, W) against local
// labels `target` (B, H, W), 0 = not scored; seven zeros when nothing is scored.
Scores compute_node_metrics(const torch::Tensor& pred, const torch::Tensor& target, int64_t num_classes);

// The epoch budget of a node: base_epochs for a node covering every class,
// otherwise max(floor(base_epochs * n / total_classes), base_epochs / 2).
int64_t get_node_epochs(int64_t base_epochs, const std::vector<int64_t>& node_classes, int64_t total_classes);

// ---------------------------------------------------------------------------
// Per-member bookkeeping of node training

// Best-validation tracking and the two early-stop rules of one ensemble
// member; train_node feeds it every validation.
class MemberProgress {
 public:
  MemberProgress(int64_t val_interval, int64_t patience, int64_t min_epochs);

  // Records one validation; true when its mIoU beats the best so far
  // (strictly), false when it adds val_interval to the no-improvement count.
  bool observe(int64_t epoch, const Scores& scores);
  // After observe: the early-stop line to print when a rule fires, else none.
  // mIoU >= 0.99 wins over the no-improvement rule; neither fires before
  // min_epochs.
  std::optional<std::string> early_stop(int64_t epoch) const;

  double best_val_miou = 0.0;
  int64_t best_epoch = 0;
  double best_oa = 0.0, best_aa = 0.0, best_kappa = 0.0;
  int64_t epochs_without_improvement = 0;
  double last_val_miou = 0.0;

 private:
  int64_t val_interval_, patience_, min_epochs_;
};

// What happened in one epoch of one member (for progress reporting and tests).
struct NodeEpochEvent {
  std::string node_id;
  int64_t forest_idx = 0;  // from 0
  int64_t epoch = 0;       // from 1
  int64_t epochs = 0;
  double lr = 0.0;                // learning rate of this epoch's step
  double train_loss = 0.0;
  bool scheduler_stepped = false; // the plateau scheduler saw this epoch's loss
  std::optional<double> val_loss;  // validation epochs only
  std::optional<Scores> val_scores;
};

// ---------------------------------------------------------------------------
// Node and tree training

// The keyword parameters of train_node / train_tree, with their defaults.
struct TrainNodeOptions {
  TORCH_ARG(int64_t, ssm_d_model) = 64;
  TORCH_ARG(int64_t, base_epochs) = 300;
  TORCH_ARG(int64_t, num_forests) = 5;   // ensemble size of nodes with 3 or more classes
  TORCH_ARG(int64_t, base_filters) = 32;
  TORCH_ARG(int64_t, num_filters) = 8;
  TORCH_ARG(int64_t, num_blocks) = 3;
  TORCH_ARG(double, lr) = 0.0001;
  TORCH_ARG(std::string, device) = "cuda";
  TORCH_ARG(std::string, node_id) = "root";
  TORCH_ARG(std::string, loss_type) = "ce";
  TORCH_ARG(double, focal_gamma) = 2.0;
  TORCH_ARG(int64_t, patience) = 50;
  TORCH_ARG(int64_t, min_epochs) = 40;
  TORCH_ARG(int64_t, leaf_forests) = 3;  // ensemble size cap of nodes with at most 2 classes
  TORCH_ARG(int64_t, warmup_epochs) = 0;
  TORCH_ARG(int64_t, val_interval) = 20;
  // Directory of training_history.csv; none writes no history.
  TORCH_ARG(std::optional<std::string>, out_dir) = std::nullopt;
  // Wall-clock start of the whole tree training (see wall_time); none = the node's start.
  TORCH_ARG(std::optional<double>, global_start) = std::nullopt;
  // Called after every epoch of every member; not part of the training itself.
  TORCH_ARG(std::function<void(const NodeEpochEvent&)>, on_epoch) = nullptr;
};

// The ensemble size of a node with `node_class_count` classes.
int64_t actual_forests(int64_t node_class_count, int64_t num_forests, int64_t leaf_forests);

// Trains one node: `actual_forests` HyperspectralNet members (member i seeded
// with 42 + i) on the node's classes, then, for an internal node when
// `fp_map` (H, W, d_model) is given, its router. Appends one row per
// validation to out_dir/training_history.csv. Returns the node entry.
// data (C, H, W); labels (H, W) global ids; train/val_coords (N, 2) int64.
NodeEntry train_node(const TreeNode& node, const torch::Tensor& data, const torch::Tensor& labels,
                     int64_t total_classes, const torch::Tensor& train_coords, const torch::Tensor& val_coords,
                     const std::optional<torch::Tensor>& fp_map, const TrainNodeOptions& options = {});

// Trains `tree` (node_id names it) and, in pre-order, every descendant that
// covers at least 2 classes; every node shares one global_start.
TrainedModels train_tree(const TreeNode& tree, const torch::Tensor& data, const torch::Tensor& labels,
                         int64_t total_classes, const torch::Tensor& train_coords, const torch::Tensor& val_coords,
                         const std::optional<torch::Tensor>& fp_map, const TrainNodeOptions& options = {});

// The header of training_history.csv.
extern const std::vector<std::string> kHistoryHeader;

}  // namespace lumora
