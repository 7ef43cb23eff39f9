// The one confusion-matrix core behind every score in the system: counts are
// made on the tensors' device with one bincount, only the K x K counts reach
// the host, and every ratio is computed in double precision.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <torch/types.h>

namespace lumora {

// counts[t * K + p] = scored pixels of true class t predicted as p.
struct ConfusionMatrix {
  int64_t num_classes = 0;
  std::vector<int64_t> counts;

  int64_t at(int64_t truth, int64_t pred) const { return counts[truth * num_classes + pred]; }
  int64_t scored() const;                    // all counted pixels
  int64_t predicted(int64_t cls) const;      // column sum
  int64_t truly(int64_t cls) const;          // row sum
};

// Counts the pixels where `target` != 0; `pred_labels` and `target` are class
// maps of the same shape with values in 0..K-1.
ConfusionMatrix confusion_matrix(const torch::Tensor& pred_labels, const torch::Tensor& target, int64_t num_classes);

// The seven scores, all fractions (kappa may be negative).
struct Scores {
  double oa = 0, miou = 0, dice = 0, precision = 0, recall = 0, aa = 0, kappa = 0;

  // "OA", "mIoU", "Dice", "Precision", "Recall", "AA", "kappa" in that order.
  std::vector<std::pair<std::string, double>> labelled() const;
};

// Scores over classes 1..K-1 of a confusion matrix. Fails with
// "no scored pixels" when nothing was counted.
Scores scores_from(const ConfusionMatrix& cm);

// IoU of every class 1..K-1 that appears in prediction or truth.
std::vector<std::pair<int64_t, double>> class_ious(const ConfusionMatrix& cm);

}  // namespace lumora
