// Node data, node scores, epoch budgets, elapsed times and the per-member
// early-stop bookkeeping.
#include "lumora/rssp/nodefit.h"

#include <gtest/gtest.h>

#include "lumora/core/errors.h"
#include "lumora/utils/display.h"

namespace lumora {
namespace {

torch::Tensor coords(const std::vector<std::pair<int64_t, int64_t>>& pairs) {
  auto t = torch::empty({static_cast<int64_t>(pairs.size()), 2}, torch::kInt64);
  for (size_t i = 0; i < pairs.size(); ++i) {
    t[i][0] = pairs[i].first;
    t[i][1] = pairs[i].second;
  }
  return t;
}

// One-hot logits (1, K, H, W) predicting `labels` (H, W).
torch::Tensor logits_for(const torch::Tensor& labels, int64_t k) {
  return torch::one_hot(labels, k).permute({2, 0, 1}).unsqueeze(0).to(torch::kFloat32);
}

TEST(NodeDataset, KeepsOnlyTheNodeClassesRenumbered) {
  // Labels 3, 5, 12 and 0 at the four split pixels.
  auto labels = torch::tensor({{3, 5, 0}, {12, 7, 3}}, torch::kInt64);
  auto data = torch::randn({4, 2, 3});
  NodeDataset ds(data, labels, {12, 3, 7}, coords({{0, 0}, {0, 1}, {1, 0}, {0, 2}}));
  EXPECT_EQ(ds.num_classes, 4);
  EXPECT_EQ(ds.num_pixels, 2);
  EXPECT_EQ(ds.global_to_local, (ClassMap{{3, 1}, {7, 2}, {12, 3}}));
  EXPECT_EQ(ds.local_to_global, (ClassMap{{1, 3}, {2, 7}, {3, 12}}));
  EXPECT_TRUE(torch::equal(ds.split_mask, torch::tensor({{1, 0, 0}, {3, 0, 0}}, torch::kInt64)));
  EXPECT_EQ(ds.split_mask.scalar_type(), torch::kInt64);
  // Pixels outside the split (the 7 and the second 3) stay 0 too.
  EXPECT_EQ(ds.size().value(), 1u);
  auto item = ds.get(5);
  EXPECT_TRUE(item.data.is_same(data));  // the cube itself, not a copy
  EXPECT_TRUE(item.target.is_same(ds.split_mask));
  EXPECT_TRUE(ds.data.is_same(data));
}

TEST(NodeDataset, AcceptsOtherIntegerLabelTypes) {
  auto labels = torch::tensor({{3, 5}, {12, 7}}, torch::kUInt8);
  NodeDataset ds(torch::zeros({1, 2, 2}), labels, {3, 7, 12}, coords({{1, 1}, {1, 0}}));
  EXPECT_TRUE(torch::equal(ds.split_mask, torch::tensor({{0, 0}, {3, 2}}, torch::kInt64)));
}

TEST(NodeDataset, SplitWithoutNodePixelsGivesAnEmptyMaskAndZeroScores) {
  auto labels = torch::tensor({{1, 2}, {2, 0}}, torch::kInt64);
  NodeDataset ds(torch::zeros({1, 2, 2}), labels, {3, 4}, coords({{0, 0}, {0, 1}, {1, 1}}));
  EXPECT_EQ(ds.num_pixels, 0);
  EXPECT_EQ(ds.split_mask.sum().item<int64_t>(), 0);
  NodeDataset none(torch::zeros({1, 2, 2}), labels, {1}, torch::empty({0, 2}, torch::kInt64));
  EXPECT_EQ(none.num_pixels, 0);
  const Scores s = compute_node_metrics(torch::randn({1, 3, 2, 2}), ds.split_mask.unsqueeze(0), 3);
  for (const auto& [name, v] : s.labelled()) EXPECT_EQ(v, 0.0) << name;
}

TEST(NodeDataset, RefusesMalformedInput) {
  auto data = torch::zeros({1, 2, 2});
  auto labels = torch::ones({2, 2}, torch::kInt64);
  EXPECT_THROW(NodeDataset(data, torch::ones({4}, torch::kInt64), {1}, coords({{0, 0}})), ValueError);
  try {
    NodeDataset(data, labels, {1}, coords({{0, 0}, {2, 1}}));
    FAIL() << "no error";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "split coordinate (2, 1) at index 1 lies outside the 2x2 label map");
  }
  EXPECT_THROW(NodeDataset(data, labels, {1}, coords({{0, -1}})), ValueError);
  EXPECT_THROW(NodeDataset(data, labels, {1}, torch::zeros({3}, torch::kInt64)), ValueError);
  EXPECT_THROW(NodeDataset(data, labels, {1, 1}, coords({{0, 0}})), ValueError);
}

TEST(NodeMetrics, MatchHandCountsAndTreatLocalZeroAsWrong) {
  // Targets 1, 1, 2, 2 (and one unscored pixel); predictions 1, 0, 2, 1, 2.
  auto target = torch::tensor({{1, 1, 2, 2, 0}}, torch::kInt64).unsqueeze(0);
  auto pred = logits_for(torch::tensor({{1, 0, 2, 1, 2}}, torch::kInt64), 3);
  const Scores s = compute_node_metrics(pred, target, 3);
  EXPECT_DOUBLE_EQ(s.oa, 0.5);
  // class 1: tp 1, fp 1, fn 1 (the pixel predicted 0); class 2: tp 1, fp 0, fn 1
  EXPECT_NEAR(s.miou, (1.0 / 3.0 + 0.5) / 2.0, 1e-12);
  EXPECT_NEAR(s.dice, (2.0 / 4.0 + 2.0 / 3.0) / 2.0, 1e-8);
  EXPECT_NEAR(s.precision, (0.5 + 1.0) / 2.0, 1e-8);
  EXPECT_NEAR(s.recall, 0.5, 1e-8);
  EXPECT_DOUBLE_EQ(s.aa, 0.5);
  // pe = 2/4 * 2/4 + 1/4 * 2/4
  EXPECT_NEAR(s.kappa, (0.5 - 0.375) / (1.0 - 0.375), 1e-9);
  // A perfect prediction.
  const Scores p = compute_node_metrics(logits_for(torch::tensor({{1, 1, 2, 2, 0}}), 3), target, 3);
  EXPECT_DOUBLE_EQ(p.oa, 1.0);
  EXPECT_DOUBLE_EQ(p.miou, 1.0);
  EXPECT_NEAR(p.kappa, 1.0, 1e-9);
}

TEST(NodeEpochs, FollowTheClassShareWithAHalfBudgetFloor) {
  auto n = [](int64_t count) {
    std::vector<int64_t> v;
    for (int64_t i = 1; i <= count; ++i) v.push_back(i);
    return v;
  };
  EXPECT_EQ(get_node_epochs(300, n(16), 16), 300);
  EXPECT_EQ(get_node_epochs(300, n(12), 16), 225);
  EXPECT_EQ(get_node_epochs(300, n(8), 16), 150);
  EXPECT_EQ(get_node_epochs(300, n(2), 16), 150);
  EXPECT_EQ(get_node_epochs(301, n(3), 16), 150);
  EXPECT_EQ(get_node_epochs(301, n(15), 16), 282);  // 282.1875 truncated
  EXPECT_EQ(get_node_epochs(6, n(2), 4), 3);
  EXPECT_THROW(get_node_epochs(300, n(2), 0), ValueError);
}

TEST(ActualForests, CapsSmallNodesByTheLeafCount) {
  EXPECT_EQ(actual_forests(2, 5, 3), 3);
  EXPECT_EQ(actual_forests(2, 5, 7), 5);
  EXPECT_EQ(actual_forests(1, 5, 3), 3);
  EXPECT_EQ(actual_forests(3, 5, 3), 5);
  EXPECT_EQ(actual_forests(4, 0, 3), 0);
}


}  // namespace
}  // namespace lumora
