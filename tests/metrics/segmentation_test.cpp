#include <gtest/gtest.h>

#include <torch/torch.h>

#include "lumora/core/errors.h"
#include "lumora/metrics/segmentation.h"

namespace lumora {
namespace {

// Logits whose arg-max is `labels` (B, H, W) over K classes.
torch::Tensor logits_for(const torch::Tensor& labels, int64_t k) {
  return torch::one_hot(labels, k).permute({0, 3, 1, 2}).to(torch::kFloat32);
}

}  // namespace

TEST(Metrics, HandComputedConfusionMatrix) {
  // Truth / prediction over 10 scored pixels (K = 4) plus two unscored ones:
  // class 1: 3 px -> 1,1,2 ; class 2: 4 px -> 2,2,2,0 ; class 3: 3 px -> 3,1,3
  auto target = torch::tensor({{1, 1, 1, 2, 2, 2}, {2, 3, 3, 3, 0, 0}}, torch::kInt64).unsqueeze(0);
  auto pred = torch::tensor({{1, 1, 2, 2, 2, 2}, {0, 3, 1, 3, 3, 2}}, torch::kInt64).unsqueeze(0);
  Scores s = compute_metrics(logits_for(pred, 4), target, 4);
  // tp/fp/fn: c1 2/1/1, c2 3/1/1, c3 2/0/1.
  EXPECT_DOUBLE_EQ(s.oa, 7.0 / 10.0);
  EXPECT_NEAR(s.miou, (2.0 / 4 + 3.0 / 5 + 2.0 / 3) / 3, 1e-12);
  EXPECT_NEAR(s.dice, (4.0 / 6 + 6.0 / 8 + 4.0 / 5) / 3, 1e-8);
  EXPECT_NEAR(s.precision, (2.0 / 3 + 3.0 / 4 + 1.0) / 3, 1e-8);
  EXPECT_NEAR(s.recall, (2.0 / 3 + 3.0 / 4 + 2.0 / 3) / 3, 1e-8);
  EXPECT_NEAR(s.aa, (2.0 / 3 + 3.0 / 4 + 2.0 / 3) / 3, 1e-12);
  // pred counts 3, 4, 2 (one pixel predicted 0); truth 3, 4, 3.
  const double pe = (3 * 3 + 4 * 4 + 2 * 3) / 100.0;
  EXPECT_NEAR(s.kappa, (0.7 - pe) / (1 - pe + 1e-10), 1e-12);
}

TEST(Metrics, PerfectPrediction) {
  auto target = torch::tensor({{1, 2}, {3, 3}}, torch::kInt64).unsqueeze(0);
  Scores s = compute_metrics(logits_for(target, 4), target, 4);
  EXPECT_EQ(s.oa, 1.0);
  EXPECT_EQ(s.miou, 1.0);
  EXPECT_EQ(s.aa, 1.0);
  EXPECT_LT(s.precision, 1.0);
  EXPECT_GT(s.precision, 1.0 - 1e-7);
  EXPECT_LT(s.recall, 1.0);
  EXPECT_LT(s.dice, 1.0);
  EXPECT_LT(s.kappa, 1.0);
  EXPECT_GT(s.kappa, 1.0 - 1e-7);
}

TEST(Metrics, SingleClassGivesKappaZero) {
  auto target = torch::full({1, 2, 2}, 2, torch::kInt64);
  Scores s = compute_metrics(logits_for(target, 3), target, 3);
  EXPECT_EQ(s.oa, 1.0);
  EXPECT_EQ(s.kappa, 0.0);
}

TEST(Metrics, AbsentClassAndUnscoredPixelsChangeNothing) {
  auto target = torch::tensor({{1, 2, 0, 0}}, torch::kInt64).unsqueeze(0);
  auto pred = torch::tensor({{1, 1, 2, 0}}, torch::kInt64).unsqueeze(0);
  Scores a = compute_metrics(logits_for(pred, 3), target, 3);
  Scores b = compute_metrics(logits_for(pred, 5), target, 5);  // classes 3, 4 absent
  auto pred2 = torch::tensor({{1, 1, 1, 1}}, torch::kInt64).unsqueeze(0);  // differs only where target is 0
  Scores c = compute_metrics(logits_for(pred2, 3), target, 3);
  for (const Scores* other : {&b, &c}) {
    EXPECT_EQ(a.oa, other->oa);
    EXPECT_EQ(a.miou, other->miou);
    EXPECT_EQ(a.dice, other->dice);
    EXPECT_EQ(a.aa, other->aa);
    EXPECT_EQ(a.kappa, other->kappa);
  }
}

TEST(Metrics, PredictedButAbsentClassEntersMeansButNotAA) {
  auto target = torch::tensor({{1, 1}}, torch::kInt64).unsqueeze(0);
  auto pred = torch::tensor({{1, 2}}, torch::kInt64).unsqueeze(0);
  Scores s = compute_metrics(logits_for(pred, 3), target, 3);
  EXPECT_DOUBLE_EQ(s.miou, (0.5 + 0.0) / 2);
  EXPECT_DOUBLE_EQ(s.aa, 0.5);
}

TEST(Metrics, ClassZeroPredictionsEverywhere) {
  auto target = torch::tensor({{1, 2, 2}}, torch::kInt64).unsqueeze(0);
  Scores s = compute_metrics(logits_for(torch::zeros_like(target), 3), target, 3);
  for (double v : {s.oa, s.miou, s.dice, s.precision, s.recall, s.aa, s.kappa}) EXPECT_EQ(v, 0.0);
}

TEST(Metrics, OnlyBackgroundClass) {
  auto target = torch::ones({1, 2, 2}, torch::kInt64);  // labelled, but K = 1 has no class 1 channel
  auto pred = torch::zeros({1, 1, 2, 2});
  // Targets beyond K-1 are outside the contract; with K = 1 only background exists.
  EXPECT_THROW(compute_metrics(pred, target, 1), ValueError);
  ConfusionMatrix cm;
  cm.num_classes = 2;
  cm.counts = {0, 0, 4, 0};  // four scored pixels of class 1, all predicted 0
  Scores s = scores_from(cm);
  for (double v : {s.oa, s.miou, s.dice, s.precision, s.recall, s.aa, s.kappa}) EXPECT_EQ(v, 0.0);
}

TEST(Metrics, EmptyMaskFails) {
  auto target = torch::zeros({1, 2, 2}, torch::kInt64);
  try {
    compute_metrics(torch::zeros({1, 3, 2, 2}), target, 3);
    FAIL();
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "no scored pixels");
  }
}

TEST(Metrics, LabelledOrder) {
  Scores s{0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7};
  auto l = s.labelled();
  std::vector<std::string> names;
  for (auto& [k, v] : l) names.push_back(k);
  EXPECT_EQ(names, (std::vector<std::string>{"OA", "mIoU", "Dice", "Precision", "Recall", "AA", "kappa"}));
  EXPECT_EQ(l[6].second, 0.7);
}

}  // namespace lumora
