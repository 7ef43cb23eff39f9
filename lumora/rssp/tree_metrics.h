// Scores of a predicted label map against a reference label map (0 = not
// scored), for the class tree's cascade predictions.
#pragma once

#include <cstdint>
#include <map>

#include <torch/types.h>

#include "lumora/metrics/confusion.h"

namespace lumora {

// IoU of every class 1..K-1 present in the reference (0.0 when its union is
// empty, which cannot happen for a present class).
std::map<int64_t, double> per_class_iou(const torch::Tensor& pred, const torch::Tensor& target, int64_t num_classes);

struct RsspMetrics {
  Scores scores;
  std::map<int64_t, double> per_class_ious;
};

// The seven scores plus the per-class IoU of the classes in the reference.
// Predictions of 0 or of ids >= num_classes count as errors and belong to no
// class. Fails with "no scored pixels" when the reference has none.
RsspMetrics compute_rssp_metrics(const torch::Tensor& pred, const torch::Tensor& target, int64_t num_classes);

// Confusion counts of a label map against a reference (pred ids outside
// 1..K-1 are counted as class 0, i.e. as errors of no class).
ConfusionMatrix label_confusion(const torch::Tensor& pred, const torch::Tensor& target, int64_t num_classes);

}  // namespace lumora
