#include "lumora/rssp/tree_metrics.h"

namespace lumora {

ConfusionMatrix label_confusion(const torch::Tensor& pred, const torch::Tensor& target, int64_t num_classes) {
  auto p = pred.to(torch::kInt64);
  p = torch::where(p.ge(num_classes).logical_or(p.lt(0)), torch::zeros_like(p), p);
  return confusion_matrix(p, target.to(torch::kInt64), num_classes);
}

namespace {

std::map<int64_t, double> present_class_ious(const ConfusionMatrix& cm) {
  std::map<int64_t, double> out;
  for (const auto& [cls, iou] : class_ious(cm))
    if (cm.truly(cls) > 0) out[cls] = iou;
  return out;
}

}  // namespace

std::map<int64_t, double> per_class_iou(const torch::Tensor& pred, const torch::Tensor& target, int64_t num_classes) {
  return present_class_ious(label_confusion(pred, target, num_classes));
}

RsspMetrics compute_rssp_metrics(const torch::Tensor& pred, const torch::Tensor& target, int64_t num_classes) {
  const ConfusionMatrix cm = label_confusion(pred, target, num_classes);
  return {scores_from(cm), present_class_ious(cm)};
}

}  // namespace lumora
