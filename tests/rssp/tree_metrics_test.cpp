#include "lumora/rssp/tree_metrics.h"

#include <gtest/gtest.h>
#include <torch/torch.h>

namespace lumora {

TEST(TreeMetrics, PerfectPrediction) {
  auto target = torch::tensor({{1, 2, 0}, {3, 3, 0}}, torch::kInt64);
  auto m = compute_rssp_metrics(target, target, 4);
  EXPECT_EQ(m.scores.oa, 1.0);
  EXPECT_EQ(m.scores.miou, 1.0);
  EXPECT_EQ(m.scores.aa, 1.0);
  EXPECT_LT(m.scores.dice, 1.0);
  EXPECT_LT(m.scores.kappa, 1.0);
  EXPECT_GT(m.scores.kappa, 0.999999);
  EXPECT_EQ(m.per_class_ious, (std::map<int64_t, double>{{1, 1.0}, {2, 1.0}, {3, 1.0}}));
}

TEST(TreeMetrics, SingleClassKappaZeroAndUnscoredPixelsIgnored) {
  auto target = torch::tensor({{2, 2, 0, 0}}, torch::kInt64);
  auto pred = torch::tensor({{2, 2, 1, 3}}, torch::kInt64);
  auto m = compute_rssp_metrics(pred, target, 4);
  EXPECT_EQ(m.scores.oa, 1.0);
  EXPECT_EQ(m.scores.kappa, 0.0);
  EXPECT_EQ(m.scores.miou, 1.0);
}

TEST(TreeMetrics, PredictedAbsentClassLowersMiouOnly) {
  auto target = torch::tensor({{1, 1, 1, 1}}, torch::kInt64);
  auto pred = torch::tensor({{1, 1, 1, 2}}, torch::kInt64);
  auto m = compute_rssp_metrics(pred, target, 3);
  EXPECT_DOUBLE_EQ(m.scores.miou, (0.75 + 0.0) / 2);
  EXPECT_DOUBLE_EQ(m.scores.aa, 0.75);
  EXPECT_EQ(m.per_class_ious.size(), 1u);
  EXPECT_EQ(per_class_iou(pred, target, 3), m.per_class_ious);
}

TEST(TreeMetrics, OutOfRangeAndZeroPredictionsAreErrorsOfNoClass) {
  auto target = torch::tensor({{1, 1, 2, 2}}, torch::kInt64);
  auto pred = torch::tensor({{1, 7, 0, 2}}, torch::kInt64);
  auto m = compute_rssp_metrics(pred, target, 3);
  EXPECT_DOUBLE_EQ(m.scores.oa, 0.5);
  // Class 1: tp 1, fn 1; class 2: tp 1, fn 1; no false positives.
  EXPECT_DOUBLE_EQ(m.per_class_ious.at(1), 0.5);
  EXPECT_DOUBLE_EQ(m.per_class_ious.at(2), 0.5);
  EXPECT_NEAR(m.scores.precision, 1.0, 1e-7);
}

}  // namespace lumora
