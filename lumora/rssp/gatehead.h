// The per-node routing head of the class tree and its trainer. At an internal
// node the head turns a pixel's spectral fingerprint (from the shared, frozen
// fingerprint encoder) into p_left, the probability that the pixel belongs to
// one of the left child's classes. Only this small head is node-specific:
// 32 * d_model + 65 parameters.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <torch/arg.h>
#include <torch/nn/cloneable.h>
#include <torch/nn/modules/container/sequential.h>
#include <torch/nn/pimpl.h>
#include <torch/types.h>

#include "lumora/rssp/records.h"

namespace lumora {

struct SSSRRouterOptions {
  TORCH_ARG(int64_t, d_model) = 64;
};

// head = Linear(d_model, 32) -> ReLU (in place) -> Linear(32, 1); no
// mode-dependent layers, so training and evaluation mode behave the same.
class SSSRRouterImpl : public torch::nn::Cloneable<SSSRRouterImpl> {
 public:
  explicit SSSRRouterImpl(const SSSRRouterOptions& options = {});
  void reset() override;

  // (B, d_model, H, W) -> (B, H, W); any other rank: head over the last
  // dimension (which must be d_model), e.g. (N, d_model) -> (N,).
  torch::Tensor forward(const torch::Tensor& fingerprints);

  SSSRRouterOptions options;
  torch::nn::Sequential head{nullptr};
};
TORCH_MODULE(SSSRRouter);

// The node's pixels of one split; all three are undefined when fewer than 2
// pixels of the node's classes remain.
struct RouterSplit {
  torch::Tensor fingerprints;  // (n, d_model), fp_map's dtype and device
  torch::Tensor targets;       // float32 (n,): 1 for a left class, 0 for a right one
  torch::Tensor labels;        // int64 (n,) global labels, CPU
  bool empty() const { return !fingerprints.defined(); }
};

// Keeps the pixels of `coords` (int64 (N, 2) of row, column) whose label is
// one of the node's classes (`left_classes` and `right_classes`, the classes
// of its two children), in their order, and gathers their fingerprints from
// `fp_map` (H, W, d_model).
RouterSplit prepare_split(const torch::Tensor& coords, const torch::Tensor& labels, const torch::Tensor& fp_map,
                          const std::vector<int64_t>& left_classes, const std::vector<int64_t>& right_classes);

// Class-balanced sample weights for float targets (1 = left, 0 = right):
// total / (2 n_left) and total / (2 n_right), or all 1 when a side is empty.
torch::Tensor balanced_weights(const torch::Tensor& targets);

// How a trained router did: its accuracy on the training pixels at the last
// evaluation, the best validation accuracy (none without validation), and
// the training pixels on either side.
struct RouterSummary {
  double train_acc = 0.0;
  std::optional<double> val_acc;
  int64_t n_left = 0, n_right = 0;
};

class RouterObserver {
 public:
  virtual ~RouterObserver() = default;
  // Every evaluation epoch: training accuracy, and validation accuracy when
  // validation is used.
  virtual void on_evaluation(int64_t /*epoch*/, double /*train_acc*/, std::optional<double> /*val_acc*/) {}
};
using RouterObserverPtr = RouterObserver*;  // TORCH_ARG needs a one-word type

struct TrainRouterOptions {
  TORCH_ARG(int64_t, d_model) = 64;
  TORCH_ARG(int64_t, epochs) = 200;
  TORCH_ARG(double, lr) = 0.001;
  TORCH_ARG(torch::Device, device) = torch::Device(torch::kCPU);
  TORCH_ARG(RouterObserverPtr, observer) = nullptr;
};

struct TrainedRouter {
  SSSRRouter router;
  RouterSummary summary;
};

// Trains one node's router full-batch with AdamW on the node's training
// pixels, evaluating every 50th epoch and at the last, and keeps the weights
// of the strictly best validation accuracy (the earliest on ties). Returns
// the router on the CPU in evaluation mode with its summary, or nothing when
// the node has fewer than 4 training pixels. `node` must be internal.
std::optional<TrainedRouter> train_router(const TreeNode& node, const torch::Tensor& labels,
                                          const torch::Tensor& train_coords, const torch::Tensor& val_coords,
                                          const torch::Tensor& fp_map, const TrainRouterOptions& options = {});

}  // namespace lumora
