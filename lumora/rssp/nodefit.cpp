// Node data, node scores and the small helpers of node training.
#include "lumora/rssp/nodefit.h"

#include <fmt/format.h>

#include <chrono>
#include <cmath>

#include "lumora/core/errors.h"
#include "lumora/core/format.h"
#include "lumora/utils/display.h"

namespace lumora {

const std::vector<std::string> kHistoryHeader = {"node_id", "forest_idx", "epoch",  "loss",   "val_loss", "OA",
                                                 "mIoU",    "Dice",       "Precision", "Recall", "AA",    "kappa"};

// ---------------------------------------------------------------------------
// NodeDataset

NodeDataset::NodeDataset(const torch::Tensor& data_, const torch::Tensor& labels,
                         const std::vector<int64_t>& node_classes, const torch::Tensor& split_coords)
    : data(data_) {
  if (labels.dim() != 2)
    throw ValueError(fmt::format("labels must be a 2-D (H, W) map, got shape {}", shape_text(labels.sizes().vec(), ShapeStyle::Cross)));
  const int64_t h = labels.size(0), w = labels.size(1);
  ClassMaps maps = class_maps(node_classes);
  global_to_local = std::move(maps.global_to_local);
  local_to_global = std::move(maps.local_to_global);
  num_classes = maps.num_classes;

  split_mask = torch::zeros({h, w}, torch::kInt64);
  if (split_coords.numel() == 0) return;
  if (split_coords.dim() != 2 || split_coords.size(1) != 2)
    throw ValueError(fmt::format("split coordinates must be (N, 2) pairs of (row, column), got shape {}",
                                 shape_text(split_coords.sizes().vec(), ShapeStyle::Cross)));
  auto coords = split_coords.to(torch::kCPU, torch::kInt64);
  auto rows = coords.select(1, 0), cols = coords.select(1, 1);
  auto outside = rows.lt(0).logical_or(rows.ge(h)).logical_or(cols.lt(0)).logical_or(cols.ge(w));
  if (outside.any().item<bool>()) {
    const int64_t i = outside.nonzero()[0][0].item<int64_t>();
    throw ValueError(fmt::format("split coordinate ({}, {}) at index {} lies outside the {}x{} label map",
                                 rows[i].item<int64_t>(), cols[i].item<int64_t>(), i, h, w));
  }
  // One gather and one scatter instead of a scalar read per pixel; a pixel
  // listed twice gets the same value twice.
  auto flat_index = rows * w + cols;
  auto values = labels.to(torch::kCPU, torch::kInt64).reshape({-1}).index_select(0, flat_index);
  auto local = torch::zeros_like(values);
  for (const auto& [global, id] : global_to_local) local.masked_fill_(values.eq(global), id);
  split_mask.view({-1}).index_put_({flat_index}, local);
  num_pixels = split_mask.gt(0).sum().item<int64_t>();
}

torch::data::Example<> NodeDataset::get(size_t /*index*/) { return {data, split_mask}; }

// ---------------------------------------------------------------------------
// Scores and budgets

Scores compute_node_metrics(const torch::Tensor& pred, const torch::Tensor& target, int64_t num_classes) {
  const ConfusionMatrix cm = confusion_matrix(pred.argmax(1), target, num_classes);
  if (cm.scored() == 0) return Scores{};
  return scores_from(cm);
}

int64_t get_node_epochs(int64_t base_epochs, const std::vector<int64_t>& node_classes, int64_t total_classes) {
  if (total_classes < 1) throw ValueError(fmt::format("total_classes must be at least 1, got {}", total_classes));
  if (base_epochs < 0) throw ValueError(fmt::format("base_epochs must not be negative, got {}", base_epochs));
  const auto n = static_cast<int64_t>(node_classes.size());
  if (n == total_classes) return base_epochs;
  // Integer division is the exact truncation of the real quotient here.
  return std::max(base_epochs * n / total_classes, base_epochs / 2);
}

int64_t actual_forests(int64_t node_class_count, int64_t num_forests, int64_t leaf_forests) {
  return node_class_count >= 3 ? num_forests : std::min(leaf_forests, num_forests);
}

}  // namespace lumora
