#include "lumora/rssp/gatehead.h"

#include <torch/torch.h>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "lumora/core/errors.h"
#include "lumora/core/format.h"
#include "lumora/core/state_dict.h"

namespace lumora {
namespace {

namespace nn = torch::nn;

torch::Tensor class_tensor(const std::vector<int64_t>& classes) {
  return torch::tensor(std::vector<int64_t>(classes.begin(), classes.end()), torch::kLong);
}

// Fraction of pixels whose thresholded probability equals the target.
double accuracy(const torch::Tensor& p, const torch::Tensor& targets) {
  const int64_t correct = ((p > 0.5).to(torch::kFloat32) == targets).sum().item<int64_t>();
  return static_cast<double>(correct) / static_cast<double>(targets.size(0));
}

}  // namespace

SSSRRouterImpl::SSSRRouterImpl(const SSSRRouterOptions& options_) : options(options_) { reset(); }

void SSSRRouterImpl::reset() {
  if (options.d_model() < 1) throw ValueError(fmt::format("d_model must be at least 1, got {}", options.d_model()));
  head = register_module("head", nn::Sequential(nn::Linear(options.d_model(), 32),
                                                nn::ReLU(nn::ReLUOptions().inplace(true)),
                                                nn::Linear(32, 1)));
}

torch::Tensor SSSRRouterImpl::forward(const torch::Tensor& fingerprints) {
  if (fingerprints.dim() == 4) {
    const int64_t b = fingerprints.size(0), d = fingerprints.size(1), h = fingerprints.size(2),
                  w = fingerprints.size(3);
    const auto rows = fingerprints.permute({0, 2, 3, 1}).reshape({b * h * w, d});
    return torch::sigmoid(head->forward(rows)).reshape({b, h, w});
  }
  return torch::sigmoid(head->forward(fingerprints)).squeeze(-1);
}

RouterSplit prepare_split(const torch::Tensor& coords, const torch::Tensor& labels, const torch::Tensor& fp_map,
                          const std::vector<int64_t>& left_classes, const std::vector<int64_t>& right_classes) {
  if (coords.dim() != 2 || coords.size(1) != 2)
    throw ValueError(fmt::format("coordinates must be an (N, 2) array of (row, column), got {}-D", coords.dim()));
  if (coords.size(0) == 0) return {};
  const auto cpu_coords = coords.to(torch::kCPU, torch::kLong);
  auto rows = cpu_coords.select(1, 0);
  auto cols = cpu_coords.select(1, 1);
  auto global = labels.index({rows, cols}).to(torch::kCPU, torch::kLong);

  std::vector<int64_t> node_classes = left_classes;
  node_classes.insert(node_classes.end(), right_classes.begin(), right_classes.end());
  const auto keep = torch::isin(global, class_tensor(node_classes)).nonzero().squeeze(1);
  if (keep.numel() < 2) return {};
  rows = rows.index_select(0, keep);
  cols = cols.index_select(0, keep);
  global = global.index_select(0, keep);

  RouterSplit split;
  split.targets = torch::isin(global, class_tensor(left_classes)).to(torch::kFloat32);
  split.fingerprints = fp_map.index({rows.to(fp_map.device()), cols.to(fp_map.device())});
  split.labels = global;
  return split;
}

torch::Tensor balanced_weights(const torch::Tensor& targets) {
  const int64_t n_left = (targets == 1.0).sum().item<int64_t>();
  const int64_t n_right = (targets == 0.0).sum().item<int64_t>();
  auto weights = torch::ones({targets.size(0)}, torch::kFloat32);
  if (n_left > 0 && n_right > 0) {
    const double total = static_cast<double>(n_left + n_right);
    const double w_left = total / (2.0 * static_cast<double>(n_left));
    const double w_right = total / (2.0 * static_cast<double>(n_right));
    weights = torch::where(targets.to(torch::kCPU) == 1.0, torch::full_like(weights, w_left),
                           torch::full_like(weights, w_right));
  }
  return weights;
}

std::optional<TrainedRouter> train_router(const TreeNode& node, const torch::Tensor& labels,
                                       const torch::Tensor& train_coords, const torch::Tensor& val_coords,
                                       const torch::Tensor& fp_map, const TrainRouterOptions& options) {
  if (!node.is_internal()) throw ValueError("train_router needs an internal node (one with both children)");
  const int64_t d_model = options.d_model();
  if (fp_map.dim() != 3 || fp_map.size(2) != d_model)
    throw ValueError(fmt::format("fp_map must be (H, W, d_model) with d_model = {}, got shape {}", d_model,
                                 shape_text(fp_map.sizes().vec(), ShapeStyle::Cross)));
  // The summary line reports the last epoch's accuracy, so there must be one.
  if (options.epochs() < 1) throw ValueError(fmt::format("epochs must be at least 1, got {}", options.epochs()));
  const torch::Device device(options.device());

  const auto& left = node.left->classes;
  const auto& right = node.right->classes;
  RouterSplit train = prepare_split(train_coords, labels, fp_map, left, right);
  RouterSplit val = prepare_split(val_coords, labels, fp_map, left, right);
  if (train.empty() || train.fingerprints.size(0) < 4) return std::nullopt;

  const int64_t n_left = (train.targets == 1.0).sum().item<int64_t>();
  const int64_t n_right = (train.targets == 0.0).sum().item<int64_t>();
  const auto weights = balanced_weights(train.targets).to(device);
  const auto train_fp = train.fingerprints.to(device, torch::kFloat32);
  const auto train_y = train.targets.to(device);

  const bool use_val = !val.empty() && val.fingerprints.size(0) >= 2;
  torch::Tensor val_fp, val_y;
  if (use_val) {
    val_fp = val.fingerprints.to(device, torch::kFloat32);
    val_y = val.targets.to(device);
  }

  SSSRRouter router(SSSRRouterOptions().d_model(d_model));
  router->to(device);
  torch::optim::AdamW optimizer(router->parameters(), torch::optim::AdamWOptions(options.lr()).weight_decay(1e-4));

  BestWeights best;
  double train_acc = 0.0;
  for (int64_t epoch = 1; epoch <= options.epochs(); ++epoch) {
    router->train();
    const auto p = router->forward(train_fp);
    const auto per_pixel = torch::binary_cross_entropy(p, train_y, {}, at::Reduction::None);
    const auto loss = (per_pixel * weights).mean();
    optimizer.zero_grad();
    loss.backward();
    optimizer.step();

    if (epoch == options.epochs() || (use_val && epoch % 50 == 0)) {
      router->eval();
      torch::NoGradGuard no_grad;
      train_acc = accuracy(router->forward(train_fp), train_y);
      std::optional<double> val_acc;
      if (use_val) {
        val_acc = accuracy(router->forward(val_fp), val_y);
        best.offer(*val_acc, *router);
      }
      if (options.observer()) options.observer()->on_evaluation(epoch, train_acc, val_acc);
    }
  }

  RouterSummary summary{train_acc, std::nullopt, n_left, n_right};
  if (use_val) summary.val_acc = best.score();
  // Without validation, or when no validation beat 0, the final weights stand in.
  const StateDict kept = use_val ? best.take_or_current(*router) : cpu_copy(state_dict(*router));
  router->to(torch::kCPU);
  load_state_dict(*router, kept);
  router->eval();
  return TrainedRouter{router, summary};
}

}  // namespace lumora
