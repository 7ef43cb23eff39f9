// Scores of one network output against one label mask.
#pragma once

#include "lumora/metrics/confusion.h"

namespace lumora {

// pred: (B, K, H, W) logits of any floating type; target: (B, H, W) int64,
// 0 = not scored. Fails with "no scored pixels" for an empty mask.
Scores compute_metrics(const torch::Tensor& pred, const torch::Tensor& target, int64_t num_classes);

}  // namespace lumora
