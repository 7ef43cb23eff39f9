#include "lumora/metrics/segmentation.h"

namespace lumora {

Scores compute_metrics(const torch::Tensor& pred, const torch::Tensor& target, int64_t num_classes) {
  return scores_from(confusion_matrix(pred.argmax(1), target, num_classes));
}

}  // namespace lumora
