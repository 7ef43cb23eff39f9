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
#include "lumora/models/losses.h"
#include "lumora/rssp/gatehead.h"
#include "lumora/rssp/records.h"
#include "lumora/training/fit.h"

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
// Node and tree training

// What node training reports, in this order per node: the start, per member
// its start, its epochs and its end, the node's summary, then for an
// internal node with fingerprints the router.
struct NodeStart {
  std::string node_id;
  std::vector<int64_t> node_classes;
  int64_t num_classes = 0;  // K + 1
  int64_t epochs = 0;
  int64_t ensemble_size = 0;
  Loss loss = Loss::ce;
  double focal_gamma = 2.0;
  int64_t train_pixels = 0, val_pixels = 0;
};

struct MemberStart {
  std::string node_id;
  int64_t forest_idx = 0;  // from 0
  int64_t ensemble_size = 0;
  int64_t seed = 0;
};

struct MemberDone {
  MemberStart member;
  FitResult fit;          // weights moved out: only the scores and epochs remain
  double elapsed = 0.0;   // seconds since the whole tree training began
};

struct NodeDone {
  std::string node_id;
  std::vector<double> member_mious;  // each member's best validation mIoU
  int64_t early_stops = 0;
  double elapsed = 0.0;  // seconds this node's ensemble took
};

class NodeTrainingObserver {
 public:
  virtual ~NodeTrainingObserver() = default;
  virtual void on_node_start(const NodeStart& /*node*/) {}
  virtual void on_member_start(const MemberStart& /*member*/) {}
  virtual void on_member_epoch(const MemberStart& /*member*/, const EpochReport& /*epoch*/) {}
  virtual void on_member_done(const MemberDone& /*done*/) {}
  virtual void on_node_done(const NodeDone& /*done*/) {}
  virtual void on_router_start(const std::string& /*node_id*/) {}
  // `summary` is none when the router was skipped for too few pixels.
  virtual void on_router_done(const std::string& /*node_id*/, const std::optional<RouterSummary>& /*summary*/) {}
};
using NodeTrainingObserverPtr = NodeTrainingObserver*;  // TORCH_ARG needs a one-word type

// The keyword parameters of train_node / train_tree, with their defaults.
struct TrainNodeOptions {
  TORCH_ARG(int64_t, ssm_d_model) = 64;
  TORCH_ARG(int64_t, base_epochs) = 300;
  TORCH_ARG(int64_t, num_forests) = 5;   // ensemble size of nodes with 3 or more classes
  // Filters, blocks and base filters; bands and classes come from the node.
  TORCH_ARG(NetworkSizes, sizes) = NetworkSizes();
  TORCH_ARG(double, lr) = 0.0001;
  TORCH_ARG(torch::Device, device) = torch::Device(torch::kCPU);
  TORCH_ARG(std::string, node_id) = "root";
  TORCH_ARG(Loss, loss) = Loss::ce;
  TORCH_ARG(double, focal_gamma) = 2.0;
  TORCH_ARG(int64_t, patience) = 50;
  TORCH_ARG(int64_t, min_epochs) = 40;
  TORCH_ARG(int64_t, leaf_forests) = 3;  // ensemble size cap of nodes with at most 2 classes
  TORCH_ARG(int64_t, warmup_epochs) = 0;
  TORCH_ARG(int64_t, val_interval) = 20;
  // Float16 autocast and the gradient scaler on CUDA (see fit_network).
  TORCH_ARG(bool, mixed_precision) = false;
  // Directory of training_history.csv; none writes no history.
  TORCH_ARG(std::optional<std::string>, out_dir) = std::nullopt;
  // Wall-clock start of the whole tree training (see wall_time); none = the node's start.
  TORCH_ARG(std::optional<double>, global_start) = std::nullopt;
  TORCH_ARG(NodeTrainingObserverPtr, observer) = nullptr;
  // What members do differently with few labels; each member draws with its own seed.
  TORCH_ARG(FewLabelOptions, few_labels) = FewLabelOptions();
};

// The ensemble size of a node with `node_class_count` classes.
int64_t actual_forests(int64_t node_class_count, int64_t num_forests, int64_t leaf_forests);

// One node's training, taken apart so that its members can be trained
// anywhere and in any order: each member draws only from its own seed, and
// the router from the generator state the node's last member leaves behind.
class NodeTrainer {
 public:
  // Arguments as train_node's; nothing is trained yet.
  NodeTrainer(const TreeNode& node, const torch::Tensor& data, const torch::Tensor& labels, int64_t total_classes,
              const torch::Tensor& train_coords, const torch::Tensor& val_coords, const TrainNodeOptions& options);

  // What on_node_start reports.
  const NodeStart& start() const { return start_; }
  MemberStart member(int64_t forest_idx) const;
  // Fails when members are due but nothing can train them (no training pixels,
  // a scene too small for the network).
  void check_trainable() const;

  // Member forest_idx, seeded with 42 + forest_idx; every epoch goes to `epochs`.
  FitResult train_member(int64_t forest_idx, FitObserver* epochs);
  // The member's bundle entry around its weights.
  ForestEntry entry(StateDict weights) const;
  // An empty node entry (no members, no router) with this node's fields.
  NodeEntry empty_entry() const;

  // Whether the node gets a router: internal and with fingerprints.
  bool has_router(const std::optional<torch::Tensor>& fp_map) const;
  // Trains the router (see train_router) from the global generator as it stands.
  std::optional<TrainedRouter> train_node_router(const torch::Tensor& fp_map) const;

 private:
  const TreeNode& node_;
  const torch::Tensor& labels_;
  const torch::Tensor& train_coords_;
  const torch::Tensor& val_coords_;
  TrainNodeOptions options_;
  NodeDataset train_ds_, val_ds_;
  NetworkSizes sizes_;
  NodeStart start_;
  std::optional<FitBatch> train_batch_, val_batch_;  // on the device from the first member on
  std::shared_ptr<Criterion> criterion_;
};

// A node's router as training left it: both none when it was skipped for
// too few pixels.
struct RouterOutcome {
  std::optional<StateDict> state;  // CPU
  std::optional<RouterSummary> summary;
};
RouterOutcome router_outcome(const std::optional<TrainedRouter>& router);

// Where a node's members and router come from: trained in this process, or
// trained elsewhere and received (each epoch replayed to `epochs`).
struct NodeSources {
  std::function<FitResult(int64_t forest_idx, FitObserver* epochs)> member;
  std::function<RouterOutcome()> router;
};

// The node entry from its members in order, then its router when
// `with_router`; reports to options.observer() and appends the history rows
// exactly as train_node does.
NodeEntry assemble_node(NodeTrainer& trainer, const NodeSources& sources, bool with_router,
                        const TrainNodeOptions& options);

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
