#include "lumora/metrics/confusion.h"

#include "lumora/core/errors.h"

namespace lumora {

int64_t ConfusionMatrix::scored() const {
  int64_t n = 0;
  for (auto c : counts) n += c;
  return n;
}

int64_t ConfusionMatrix::predicted(int64_t cls) const {
  int64_t n = 0;
  for (int64_t t = 0; t < num_classes; ++t) n += at(t, cls);
  return n;
}

int64_t ConfusionMatrix::truly(int64_t cls) const {
  int64_t n = 0;
  for (int64_t p = 0; p < num_classes; ++p) n += at(cls, p);
  return n;
}

ConfusionMatrix confusion_matrix(const torch::Tensor& pred_labels, const torch::Tensor& target, int64_t num_classes) {
  if (num_classes < 1) throw ValueError("num_classes must be at least 1, got " + std::to_string(num_classes));
  TORCH_CHECK(pred_labels.sizes() == target.sizes(), "prediction and target shapes differ: ", pred_labels.sizes(),
              " vs ", target.sizes());
  auto scored = target.ne(0);
  auto t = target.masked_select(scored).to(torch::kInt64);
  auto p = pred_labels.masked_select(scored).to(torch::kInt64);
  ConfusionMatrix cm;
  cm.num_classes = num_classes;
  cm.counts.assign(static_cast<size_t>(num_classes * num_classes), 0);
  if (t.numel() == 0) return cm;
  const int64_t k = num_classes;
  auto bins = torch::bincount(t * k + p, /*weights=*/{}, /*minlength=*/k * k).to(torch::kCPU);
  if (bins.numel() != k * k || t.min().item<int64_t>() < 0 || p.min().item<int64_t>() < 0 ||
      p.max().item<int64_t>() >= k)
    throw ValueError("class ids outside 0.." + std::to_string(k - 1) + " in scored pixels");
  auto acc = bins.accessor<int64_t, 1>();
  for (int64_t i = 0; i < k * k; ++i) cm.counts[i] = acc[i];
  return cm;
}

std::vector<std::pair<std::string, double>> Scores::labelled() const {
  return {{"OA", oa},         {"mIoU", miou}, {"Dice", dice},  {"Precision", precision},
          {"Recall", recall}, {"AA", aa},     {"kappa", kappa}};
}

namespace {
double mean(const std::vector<double>& v) {
  if (v.empty()) return 0.0;
  double s = 0;
  for (double x : v) s += x;
  return s / static_cast<double>(v.size());
}
}  // namespace

Scores scores_from(const ConfusionMatrix& cm) {
  const int64_t n = cm.scored();
  if (n == 0) throw ValueError("no scored pixels");
  const double nd = static_cast<double>(n);
  int64_t correct = 0;
  for (int64_t c = 1; c < cm.num_classes; ++c) correct += cm.at(c, c);

  std::vector<double> ious, dices, precisions, recalls, accuracies;
  double pe = 0.0;
  for (int64_t c = 1; c < cm.num_classes; ++c) {
    const double tp = static_cast<double>(cm.at(c, c));
    // Column and row sums over scored pixels (row 0 is empty: target 0 is never scored).
    const double pred_c = static_cast<double>(cm.predicted(c));
    const double true_c = static_cast<double>(cm.truly(c));
    const double fp = pred_c - tp, fn = true_c - tp;
    const double uni = tp + fp + fn;
    if (uni > 0) {
      ious.push_back(tp / uni);
      dices.push_back(2 * tp / (2 * tp + fp + fn + 1e-8));
      precisions.push_back(tp / (tp + fp + 1e-8));
      recalls.push_back(tp / (tp + fn + 1e-8));
    }
    if (tp + fn > 0) accuracies.push_back(tp / (tp + fn));
    pe += (pred_c / nd) * (true_c / nd);
  }
  Scores s;
  s.oa = static_cast<double>(correct) / nd;
  s.miou = mean(ious);
  s.dice = mean(dices);
  s.precision = mean(precisions);
  s.recall = mean(recalls);
  s.aa = mean(accuracies);
  s.kappa = (1 - pe > 1e-10) ? (s.oa - pe) / (1 - pe + 1e-10) : 0.0;
  return s;
}

std::vector<std::pair<int64_t, double>> class_ious(const ConfusionMatrix& cm) {
  std::vector<std::pair<int64_t, double>> out;
  for (int64_t c = 1; c < cm.num_classes; ++c) {
    const double tp = static_cast<double>(cm.at(c, c));
    const double uni = static_cast<double>(cm.predicted(c) + cm.truly(c)) - tp;
    if (uni > 0) out.emplace_back(c, tp / uni);
  }
  return out;
}

}  // namespace lumora
