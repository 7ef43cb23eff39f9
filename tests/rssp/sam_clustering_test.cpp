#include "lumora/rssp/sam_clustering.h"

#include <gtest/gtest.h>

#include <cmath>

#include "lumora/core/errors.h"
#include "support/testing.h"

namespace lumora {
namespace {

// Four classes on 6 bands whose spectra form two obvious pairs, {1, 3} and
// {2, 4} (interleaved ids, so grouping by id order would be wrong), laid out
// as vertical stripes of a 12 x 16 scene with an unlabelled first row.
struct Scene {
  torch::Tensor data;    // (C, H, W)
  torch::Tensor labels;  // (H, W)
};

Scene paired_scene(uint64_t seed = 3) {
  torch::manual_seed(seed);
  const auto spectra = torch::tensor({{0.0, 0.0, 0.0, 0.0, 0.0, 0.0},
                                      {1.0, 1.0, 1.0, 0.1, 0.1, 0.1},
                                      {0.1, 0.1, 0.1, 1.0, 1.0, 1.0},
                                      {1.0, 0.9, 1.0, 0.2, 0.1, 0.1},
                                      {0.1, 0.2, 0.1, 1.0, 0.9, 1.0}},
                                     torch::kFloat32);
  auto labels = torch::zeros({12, 16}, torch::kInt64);
  for (int64_t r = 1; r < 12; ++r)
    for (int64_t c = 0; c < 16; ++c) labels[r][c] = 1 + c / 4;
  auto cube = spectra.index({labels}) + 0.01 * torch::randn({12, 16, 6});  // (H, W, C)
  return {cube.permute({2, 0, 1}).contiguous(), labels};
}

using testing::error_of;

TEST(DepthMode, ParsesTheAcceptedForms) {
  EXPECT_EQ(DepthMode::parse("auto").kind(), DepthMode::Kind::Automatic);
  EXPECT_EQ(DepthMode::parse("full").kind(), DepthMode::Kind::Full);
  EXPECT_EQ(DepthMode::parse("3").kind(), DepthMode::Kind::Levels);
  EXPECT_EQ(DepthMode::parse("3").depth(), 3);
  EXPECT_EQ(DepthMode::parse("0").depth(), 0);
  EXPECT_EQ(DepthMode::parse("007").text(), "7");
  EXPECT_EQ(DepthMode::parse("auto").text(), "auto");
  // Absurdly long digit strings mean "as deep as it goes", not an overflow.
  EXPECT_EQ(DepthMode::parse("99999999999999999999999").depth(), kMaxTreeDepth);
}

TEST(DepthMode, RejectsOtherTexts) {
  for (const std::string bad : {"-1", "abc", "", "Auto", " 2", "2.5"})
    EXPECT_EQ(error_of<ValueError>([&] { DepthMode::parse(bad); }),
              "depth_mode must be 'auto', 'full' or a non-negative integer, got '" + bad + "'");
  EXPECT_EQ(error_of<ValueError>([] { DepthMode::levels(-2); }),
            "depth_mode must be 'auto', 'full' or a non-negative integer, got -2");
  const Scene s = paired_scene();
  EXPECT_EQ(error_of<ValueError>([&] { build_rssp_tree(s.data, s.labels, 5, std::string("-1")); }),
            "depth_mode must be 'auto', 'full' or a non-negative integer, got '-1'");
}

TEST(BuildTree, MeansAndAnglesOfThePresentClasses) {
  const Scene s = paired_scene();
  const RsspTree t = build_rssp_tree(s.data, s.labels, 5, DepthMode::automatic());
  EXPECT_EQ(t.class_ids, (std::vector<int64_t>{1, 2, 3, 4}));
  ASSERT_EQ(t.means.sizes(), (std::vector<int64_t>{4, 6}));
  ASSERT_EQ(t.sam_matrix.sizes(), (std::vector<int64_t>{4, 4}));
  for (int64_t k = 1; k <= 4; ++k) {
    auto mask = s.labels.eq(k);
    auto expected = s.data.reshape({6, -1}).t().index({mask.reshape({-1})}).to(torch::kFloat64).mean(0);
    EXPECT_TRUE(torch::allclose(t.means[k - 1], expected, 1e-9, 1e-12)) << k;
  }
  for (int64_t i = 0; i < 4; ++i)
    for (int64_t j = 0; j < 4; ++j) {
      const auto a = t.means[i], b = t.means[j];
      const double cosine = ((a * b).sum() / (a.norm() * b.norm())).item<double>();
      const double expected = i == j ? 0.0 : std::acos(std::clamp(cosine, -1.0, 1.0));
      EXPECT_NEAR(t.sam_matrix[i][j].item<double>(), expected, 1e-9);
    }
  // The pairs are close, the groups far apart.
  EXPECT_LT(t.sam_matrix[0][2].item<double>(), 0.2);
  EXPECT_GT(t.sam_matrix[0][1].item<double>(), 0.8);
}

TEST(BuildTree, AutoPutsEachPairUnderItsOwnChild) {
  const Scene s = paired_scene();
  const TreeNode t = build_rssp_tree(s.data, s.labels, 5, DepthMode::automatic()).tree;
  const TreeNode expected({1, 2, 3, 4}, TreeNode({1, 3}), TreeNode({2, 4}));
  EXPECT_EQ(t.classes, expected.classes);
  ASSERT_TRUE(t.is_internal());
  EXPECT_EQ(t.left->classes, (std::vector<int64_t>{1, 3}));
  EXPECT_EQ(t.right->classes, (std::vector<int64_t>{2, 4}));
  EXPECT_TRUE(t.left->is_leaf());
  EXPECT_TRUE(t.right->is_leaf());
  ASSERT_TRUE(t.split_angle.has_value());
  EXPECT_GT(*t.split_angle, 0.8);
  EXPECT_NO_THROW(validate_tree(t));
  // An integer depth of 1 stops at the same place.
  EXPECT_EQ(build_rssp_tree(s.data, s.labels, 5, std::string("1")).tree, t);
}

TEST(BuildTree, FullSplitsToSingleClassLeaves) {
  const Scene s = paired_scene();
  const TreeNode t = build_rssp_tree(s.data, s.labels, 5, std::string("full")).tree;
  ASSERT_TRUE(t.is_internal());
  EXPECT_EQ(t.left->classes, (std::vector<int64_t>{1, 3}));
  EXPECT_EQ(t.right->classes, (std::vector<int64_t>{2, 4}));
  ASSERT_TRUE(t.left->is_internal() && t.right->is_internal());
  EXPECT_EQ(t.left->left->classes, std::vector<int64_t>{1});
  EXPECT_EQ(t.left->right->classes, std::vector<int64_t>{3});
  EXPECT_EQ(t.right->left->classes, std::vector<int64_t>{2});
  EXPECT_EQ(t.right->right->classes, std::vector<int64_t>{4});
  for (const auto& [id, node] : preorder(t)) {
    if (node->is_leaf()) {
      EXPECT_EQ(node->classes.size(), 1u) << id;
    }
  }
  EXPECT_NO_THROW(validate_tree(t));
  // Deeper integer depths than the tree needs give the full tree.
  EXPECT_EQ(build_rssp_tree(s.data, s.labels, 5, DepthMode::levels(9)).tree, t);
}

TEST(BuildTree, DepthZeroIsOneLeafWithEveryClass) {
  const Scene s = paired_scene();
  const TreeNode t = build_rssp_tree(s.data, s.labels, 5, std::string("0")).tree;
  EXPECT_EQ(t.classes, (std::vector<int64_t>{1, 2, 3, 4}));
  EXPECT_TRUE(t.is_leaf());
  EXPECT_FALSE(t.split_angle.has_value());
}

TEST(BuildTree, IsDeterministic) {
  const Scene s = paired_scene();
  const RsspTree a = build_rssp_tree(s.data, s.labels, 5, DepthMode::full());
  const RsspTree b = build_rssp_tree(s.data.clone(), s.labels.clone(), 5, DepthMode::full());
  EXPECT_EQ(a.tree, b.tree);
  EXPECT_TRUE(torch::equal(a.sam_matrix, b.sam_matrix));
  EXPECT_TRUE(torch::equal(a.means, b.means));
}

TEST(BuildTree, RootCoversOnlyClassesWithPixels) {
  Scene s = paired_scene();
  // Class 2 disappears; num_classes still announces 6 (ids up to 5).
  s.labels.masked_fill_(s.labels.eq(2), 0);
  const RsspTree t = build_rssp_tree(s.data, s.labels, 6, DepthMode::automatic());
  EXPECT_EQ(t.class_ids, (std::vector<int64_t>{1, 3, 4}));
  EXPECT_EQ(t.tree.classes, (std::vector<int64_t>{1, 3, 4}));
  ASSERT_TRUE(t.tree.is_internal());
  EXPECT_EQ(t.tree.left->classes, (std::vector<int64_t>{1, 3}));
  EXPECT_EQ(t.tree.right->classes, std::vector<int64_t>{4});
  // "auto" leaves a node of two classes unsplit.
  EXPECT_TRUE(t.tree.left->is_leaf());
}

TEST(BuildTree, RefusesBadInput) {
  const Scene s = paired_scene();
  EXPECT_EQ(error_of<ValueError>([&] { build_rssp_tree(s.data, s.labels, 4, DepthMode::full()); }),
            "labels hold values outside 0..3 (found 0..4)");
  EXPECT_EQ(error_of<ValueError>([&] { build_rssp_tree(s.data, torch::zeros_like(s.labels), 5, DepthMode::full()); }),
            "labels hold no labelled pixel (every value is 0)");
  EXPECT_THROW(build_rssp_tree(s.data, s.labels.narrow(0, 0, 5), 5, DepthMode::full()), c10::Error);
}

TEST(SplitClasses, TiesGoToTheLowerClassId) {
  // Three classes at equal angles: the seed pair is (1, 2) and class 3 joins
  // the medoid of lower id.
  auto sam = torch::full({3, 3}, 0.5, torch::kFloat64);
  sam.fill_diagonal_(0.0);
  auto [l, r] = split_classes({3, 2, 1}, {1, 2, 3}, sam);
  EXPECT_EQ(l, (std::vector<int64_t>{1, 3}));
  EXPECT_EQ(r, std::vector<int64_t>{2});
  // Identical spectra everywhere: both groups still get a class.
  auto zero = torch::zeros({4, 4}, torch::kFloat64);
  auto [l0, r0] = split_classes({1, 2, 3, 4}, {1, 2, 3, 4}, zero);
  EXPECT_EQ(l0, (std::vector<int64_t>{1, 3, 4}));
  EXPECT_EQ(r0, std::vector<int64_t>{2});
}

TEST(SplitClasses, IteratesMedoidsUntilStable) {
  // Classes on a line at 0, 4, 5, 6, 10: the seed pair is (1, 5), class 3
  // (equally far from both) joins class 1, then the medoids move to (2, 4).
  const std::vector<double> x = {0, 4, 5, 6, 10};
  auto sam = torch::empty({5, 5}, torch::kFloat64);
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 5; ++j) sam[i][j] = std::abs(x[i] - x[j]);
  auto [l, r] = split_classes({1, 2, 3, 4, 5}, {1, 2, 3, 4, 5}, sam);
  EXPECT_EQ(l, (std::vector<int64_t>{1, 2, 3}));
  EXPECT_EQ(r, (std::vector<int64_t>{4, 5}));
  // Positions 0, 1, 7, 8, 9: seeded with (1, 5), the right medoid moves to 4.
  const std::vector<double> y = {0, 1, 7, 8, 9};
  for (int i = 0; i < 5; ++i)
    for (int j = 0; j < 5; ++j) sam[i][j] = std::abs(y[i] - y[j]);
  auto [l2, r2] = split_classes({1, 2, 3, 4, 5}, {1, 2, 3, 4, 5}, sam);
  EXPECT_EQ(l2, (std::vector<int64_t>{1, 2}));
  EXPECT_EQ(r2, (std::vector<int64_t>{3, 4, 5}));
}

TEST(PrintTree, DrawsBranchesIdsClassesAndAngles) {
  TreeNode t({1, 2, 3, 4}, TreeNode({1, 3}, TreeNode({1}), TreeNode({3})), TreeNode({2, 4}));
  t.split_angle = M_PI / 4;
  t.left->split_angle = 0.1;
  EXPECT_EQ(tree_text(t),
            "root  [1, 2, 3, 4]  SAM 45.00°\n"
            "├── root_L  [1, 3]  SAM 5.73°\n"
            "│   ├── root_L_L  [1]\n"
            "│   └── root_L_R  [3]\n"
            "└── root_R  [2, 4]\n");
  TreeNode deep({1, 2, 3}, TreeNode({1}), TreeNode({2, 3}, TreeNode({2}), TreeNode({3})));
  EXPECT_EQ(tree_text(deep),
            "root  [1, 2, 3]\n"
            "├── root_L  [1]\n"
            "└── root_R  [2, 3]\n"
            "    ├── root_R_L  [2]\n"
            "    └── root_R_R  [3]\n");
}

}  // namespace
}  // namespace lumora
