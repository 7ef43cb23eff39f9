#include <gtest/gtest.h>

#include <torch/torch.h>

#include <string>
#include <vector>

#include "lumora/core/errors.h"
#include "lumora/core/state_dict.h"
#include "lumora/commands/training_console.h"
#include "lumora/rssp/gatehead.h"

namespace lumora {
namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

constexpr int64_t D = 8;

// A 10 x 12 scene: classes 1 and 2 (left side of the node), 3 (right side)
// and 4 (not a node class). Left pixels carry fingerprints near +mu, right
// ones near -mu, so a router separates them quickly.
struct Scene {
  torch::Tensor labels;  // (10, 12) int64
  torch::Tensor fp_map;  // (10, 12, D) float32
  TreeNode node{{1, 2, 3}, TreeNode({1, 2}, TreeNode({1}), TreeNode({2})), TreeNode({3})};
};

Scene make_scene() {
  torch::manual_seed(11);
  Scene s;
  s.labels = torch::zeros({10, 12}, torch::kLong);
  for (int64_t r = 0; r < 10; ++r)
    for (int64_t c = 0; c < 12; ++c) s.labels[r][c] = 1 + (c / 3);  // columns 0-2:1, 3-5:2, 6-8:3, 9-11:4
  const auto mu = torch::linspace(-1, 1, D).sign() + 0.5;
  const auto left = torch::isin(s.labels, torch::tensor({1, 2})).to(torch::kFloat32).unsqueeze(-1);
  s.fp_map = (left * 2 - 1) * mu + 0.3 * torch::randn({10, 12, D});
  return s;
}

// (row, column) pairs of every pixel of `rows` x `cols`.
torch::Tensor coords_of(const std::vector<int64_t>& rows, const std::vector<int64_t>& cols) {
  std::vector<int64_t> flat;
  for (int64_t r : rows)
    for (int64_t c : cols) {
      flat.push_back(r);
      flat.push_back(c);
    }
  return torch::tensor(flat, torch::kLong).view({-1, 2});
}

// Records the evaluation epochs and validation accuracies.
struct Evaluations : RouterObserver {
  std::vector<int64_t>* epochs = nullptr;
  std::vector<double>* val_accs = nullptr;
  void on_evaluation(int64_t epoch, double, std::optional<double> v) override {
    if (epochs) epochs->push_back(epoch);
    if (val_accs && v) val_accs->push_back(*v);
  }
};

// `line` gets the router's summary line as node training prints it.
StateDict run(const Scene& s, const torch::Tensor& train, const torch::Tensor& val, TrainRouterOptions o,
              std::string* line = nullptr, std::vector<int64_t>* eval_epochs = nullptr,
              std::vector<double>* val_accs = nullptr) {
  Evaluations seen;
  seen.epochs = eval_epochs;
  seen.val_accs = val_accs;
  o.d_model(D).observer(&seen);
  torch::manual_seed(5);
  auto trained = train_router(s.node, s.labels, train, val, s.fp_map, o);
  EXPECT_TRUE(trained.has_value());
  if (!trained) return {};
  if (line) {
    CaptureStdout();
    commands::NodeTrainingConsole(50).on_router_done("root", trained->summary);
    *line = GetCapturedStdout();
    *line = line->substr(0, line->find("  Router trained.\n"));
  }
  const SSSRRouter& router = trained->router;
  EXPECT_FALSE(router->is_training());
  for (const auto& p : router->parameters()) EXPECT_TRUE(p.device().is_cpu());
  return cpu_copy(state_dict(*router));
}

bool same_weights(const StateDict& a, const StateDict& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].first != b[i].first || !torch::equal(a[i].second, b[i].second)) return false;
  return true;
}

}  // namespace

TEST(SSSRRouter, ParametersAndStateKeys) {
  SSSRRouter router;
  int64_t n = 0;
  for (const auto& p : router->parameters()) n += p.numel();
  EXPECT_EQ(n, 2113);
  const auto dict = state_dict(*router);
  ASSERT_EQ(dict.size(), 4u);
  EXPECT_EQ(dict[0].first, "head.0.weight");
  EXPECT_EQ(dict[0].second.sizes().vec(), (std::vector<int64_t>{32, 64}));
  EXPECT_EQ(dict[1].first, "head.0.bias");
  EXPECT_EQ(dict[1].second.sizes().vec(), (std::vector<int64_t>{32}));
  EXPECT_EQ(dict[2].first, "head.2.weight");
  EXPECT_EQ(dict[2].second.sizes().vec(), (std::vector<int64_t>{1, 32}));
  EXPECT_EQ(dict[3].first, "head.2.bias");
  EXPECT_EQ(dict[3].second.sizes().vec(), (std::vector<int64_t>{1}));
  SSSRRouter small(SSSRRouterOptions().d_model(5));
  n = 0;
  for (const auto& p : small->parameters()) n += p.numel();
  EXPECT_EQ(n, 32 * 5 + 65);
  EXPECT_TRUE(small->head[1]->as<torch::nn::ReLU>()->options.inplace());
}

TEST(SSSRRouter, ForwardShapesForMapsAndRows) {
  torch::manual_seed(1);
  SSSRRouter router;
  torch::NoGradGuard no_grad;
  const auto map = torch::randn({2, 64, 5, 7});
  const auto p_map = router->forward(map);
  EXPECT_EQ(p_map.sizes().vec(), (std::vector<int64_t>{2, 5, 7}));
  const auto rows = torch::randn({10, 64});
  const auto p_rows = router->forward(rows);
  EXPECT_EQ(p_rows.sizes().vec(), (std::vector<int64_t>{10}));
  for (const auto& p : {p_map, p_rows}) {
    EXPECT_GT(p.min().item<double>(), 0.0);
    EXPECT_LT(p.max().item<double>(), 1.0);
  }
  // The map path is the row path applied at every pixel.
  EXPECT_TRUE(torch::allclose(p_map[1][3][4], router->forward(map.index({1, torch::indexing::Slice(), 3, 4}).unsqueeze(0))[0]));
  // A non-contiguous map (as the encoder returns it) is fine.
  const auto permuted = torch::randn({2, 5, 7, 64}).permute({0, 3, 1, 2});
  EXPECT_EQ(router->forward(permuted).sizes().vec(), (std::vector<int64_t>{2, 5, 7}));
}

TEST(BalancedWeights, HundredLeftThreeHundredRight) {
  auto targets = torch::cat({torch::ones({100}), torch::zeros({300})});
  targets = targets.index_select(0, torch::randperm(400));
  const auto w = balanced_weights(targets);
  EXPECT_EQ(w.scalar_type(), torch::kFloat32);
  EXPECT_TRUE(torch::equal(w.masked_select(targets == 1.0), torch::full({100}, 2.0f)));
  EXPECT_TRUE(torch::equal(w.masked_select(targets == 0.0), torch::full({300}, static_cast<float>(400.0 / 600.0))));
  EXPECT_NEAR(w[targets.argmin()].item<double>(), 0.6667, 1e-4);
  // Both sides carry total / 2.
  EXPECT_NEAR(w.masked_select(targets == 1.0).sum().item<double>(), 200.0, 1e-3);
  EXPECT_NEAR(w.masked_select(targets == 0.0).sum().item<double>(), 200.0, 1e-3);
  // One side only: unweighted.
  EXPECT_TRUE(torch::equal(balanced_weights(torch::zeros({7})), torch::ones({7})));
}

TEST(PrepareSplit, KeepsNodePixelsInOrder) {
  const Scene s = make_scene();
  // Labels along row 2: columns 0 (1), 10 (4: dropped), 7 (3), 4 (2).
  const auto coords = torch::tensor({2, 0, 2, 10, 2, 7, 2, 4}, torch::kLong).view({4, 2});
  const RouterSplit split = prepare_split(coords, s.labels, s.fp_map, {1, 2}, {3});
  ASSERT_FALSE(split.empty());
  EXPECT_TRUE(torch::equal(split.labels, torch::tensor({1, 3, 2}, torch::kLong)));
  EXPECT_TRUE(torch::equal(split.targets, torch::tensor({1.0f, 0.0f, 1.0f})));
  EXPECT_TRUE(torch::equal(split.fingerprints, torch::stack({s.fp_map[2][0], s.fp_map[2][7], s.fp_map[2][4]})));
  // One node pixel left: nothing.
  EXPECT_TRUE(prepare_split(coords.narrow(0, 0, 2), s.labels, s.fp_map, {1, 2}, {3}).empty());
  EXPECT_TRUE(prepare_split(torch::zeros({0, 2}, torch::kLong), s.labels, s.fp_map, {1, 2}, {3}).empty());
  EXPECT_THROW(prepare_split(torch::zeros({3}, torch::kLong), s.labels, s.fp_map, {1, 2}, {3}), ValueError);
}

TEST(TrainRouter, TooFewTrainingPixelsGiveNothing) {
  const Scene s = make_scene();
  // Three node pixels (plus class-4 pixels that do not count).
  const auto train = torch::tensor({0, 0, 0, 4, 0, 7, 0, 9, 0, 10, 0, 11}, torch::kLong).view({6, 2});
  const auto val = coords_of({5, 6}, {0, 6});
  CaptureStdout();
  auto router = train_router(s.node, s.labels, train, val, s.fp_map, TrainRouterOptions().d_model(D));
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_FALSE(router.has_value());
  router = train_router(s.node, s.labels, train.narrow(0, 0, 1), val, s.fp_map, TrainRouterOptions().d_model(D));
  EXPECT_FALSE(router.has_value());
}

TEST(TrainRouter, EvaluatesEvery50EpochsKeepsEarliestBest) {
  const Scene s = make_scene();
  const auto train = coords_of({0, 1, 2, 3, 4}, {0, 1, 4, 6, 7, 8, 10});  // 15 left, 15 right, 5 of class 4
  const auto val = coords_of({6, 7}, {2, 5, 8, 11});                     // 4 left, 2 right
  const auto opts = TrainRouterOptions().lr(0.01);

  std::string line;
  std::vector<int64_t> epochs;
  std::vector<double> accs;
  const StateDict best = run(s, train, val, TrainRouterOptions(opts).epochs(200), &line, &epochs, &accs);
  EXPECT_EQ(epochs, (std::vector<int64_t>{50, 100, 150, 200}));
  EXPECT_EQ(accs, (std::vector<double>{1.0, 1.0, 1.0, 1.0}));
  EXPECT_EQ(line, "    Router: train_acc=1.0000 | val_acc=1.0000 | left=15 right=15\n");

  // The first of the four equal passes wins: the weights after epoch 50.
  const StateDict after50 = run(s, train, val, TrainRouterOptions(opts).epochs(50));
  EXPECT_TRUE(same_weights(best, after50));

  // One validation pixel: no validation, the final weights.
  const auto one_val = coords_of({6}, {2, 11});  // one node pixel and one of class 4
  epochs.clear();
  const StateDict final_w = run(s, train, one_val, TrainRouterOptions(opts).epochs(200), &line, &epochs);
  EXPECT_EQ(line, "    Router: train_acc=1.0000 | no val | left=15 right=15\n");
  EXPECT_EQ(epochs, (std::vector<int64_t>{200}));
  EXPECT_FALSE(same_weights(final_w, best));

  epochs.clear();
  run(s, train, val, TrainRouterOptions(opts).epochs(120), nullptr, &epochs);
  EXPECT_EQ(epochs, (std::vector<int64_t>{50, 100, 120}));
}

TEST(TrainRouter, ZeroValidationAccuracyKeepsFinalWeights) {
  Scene s = make_scene();
  const auto train = coords_of({0, 1, 2, 3, 4}, {0, 1, 4, 6, 7, 8});
  // Validation pixels whose fingerprints point to the wrong side.
  const auto val = coords_of({8, 9}, {0, 7});
  for (int64_t r : {8, 9}) {
    s.fp_map[r][0] = -s.fp_map[r][0];
    s.fp_map[r][7] = -s.fp_map[r][7];
  }
  std::string line;
  std::vector<double> accs;
  const StateDict got = run(s, train, val, TrainRouterOptions().lr(0.01).epochs(200), &line, nullptr, &accs);
  EXPECT_EQ(accs, (std::vector<double>{0.0, 0.0, 0.0, 0.0}));
  EXPECT_EQ(line, "    Router: train_acc=1.0000 | val_acc=0.0000 | left=15 right=15\n");
  const StateDict final_w = run(s, train, coords_of({6}, {2}), TrainRouterOptions().lr(0.01).epochs(200));
  EXPECT_TRUE(same_weights(got, final_w));
}

TEST(TrainRouter, OneSidedSplitTrainsUnweighted) {
  const Scene s = make_scene();
  const auto train = coords_of({0, 1}, {0, 1, 4});  // left classes only
  std::string line;
  run(s, train, torch::zeros({0, 2}, torch::kLong), TrainRouterOptions().lr(0.01).epochs(100), &line);
  EXPECT_EQ(line, "    Router: train_acc=1.0000 | no val | left=6 right=0\n");
}

TEST(TrainRouter, RejectsLeafMismatchedMapAndNoEpochs) {
  const Scene s = make_scene();
  const auto train = coords_of({0, 1}, {0, 7});
  EXPECT_THROW(train_router(TreeNode({1, 2}), s.labels, train, train, s.fp_map, TrainRouterOptions().d_model(D)),
               ValueError);
  EXPECT_THROW(train_router(s.node, s.labels, train, train, s.fp_map, TrainRouterOptions().d_model(64)),
               ValueError);
  EXPECT_THROW(
      train_router(s.node, s.labels, train, train, s.fp_map, TrainRouterOptions().d_model(D).epochs(0)),
      ValueError);
}

}  // namespace lumora
