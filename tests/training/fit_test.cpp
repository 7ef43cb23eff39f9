// The one training loop: its bookkeeping, validation schedule, kept weights
// and early stop, on a tiny real network and scene.
#include <gtest/gtest.h>

#include "lumora/core/errors.h"
#include "lumora/models/losses.h"
#include "lumora/training/fit.h"
#include "support/testing.h"

namespace lumora {
namespace {

bool same(const StateDict& a, const StateDict& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i].first != b[i].first || !torch::equal(a[i].second, b[i].second)) return false;
  return true;
}

Scores miou(double v) {
  Scores s;
  s.miou = v;
  s.oa = v / 2;
  s.aa = v / 3;
  s.kappa = v / 4;
  return s;
}

TEST(ValidationProgress, NoImprovementStopCountsIntervalsFromTheBest) {
  ValidationProgress p(/*val_interval=*/20, EarlyStopping{/*patience=*/50, /*min_epochs=*/40});
  EXPECT_TRUE(p.observe(20, miou(0.6)));
  EXPECT_EQ(p.early_stop(20), std::nullopt);
  EXPECT_FALSE(p.observe(40, miou(0.6)));  // equal is not better
  EXPECT_EQ(p.epochs_without_improvement, 20);
  EXPECT_EQ(p.early_stop(40), std::nullopt);
  EXPECT_FALSE(p.observe(60, miou(0.5)));
  EXPECT_EQ(p.epochs_without_improvement, 40);
  EXPECT_EQ(p.early_stop(60), std::nullopt);
  EXPECT_FALSE(p.observe(80, miou(0.55)));
  EXPECT_EQ(p.epochs_without_improvement, 60);
  EXPECT_EQ(p.early_stop(80), StopReason::no_improvement);
  EXPECT_EQ(p.best_epoch, 20);
  EXPECT_DOUBLE_EQ(p.best_score, 0.6);
  EXPECT_DOUBLE_EQ(p.best_scores.oa, 0.3);
  EXPECT_DOUBLE_EQ(p.best_scores.aa, 0.2);
  EXPECT_DOUBLE_EQ(p.best_scores.kappa, 0.15);
}

TEST(ValidationProgress, ImprovementResetsTheCounter) {
  ValidationProgress p(20, EarlyStopping{50, 40});
  p.observe(20, miou(0.2));
  p.observe(40, miou(0.2));
  p.observe(60, miou(0.2));
  EXPECT_TRUE(p.observe(80, miou(0.3)));
  EXPECT_EQ(p.epochs_without_improvement, 0);
  EXPECT_EQ(p.early_stop(80), std::nullopt);
  EXPECT_EQ(p.best_epoch, 80);
}

TEST(ValidationProgress, ALowerLossBreaksTiesOnlyWhenAsked) {
  ValidationProgress plain(10, std::nullopt), ties(10, std::nullopt, BestBy::miou, /*loss_breaks_ties=*/true);
  for (ValidationProgress* p : {&plain, &ties}) {
    EXPECT_TRUE(p->observe(10, miou(0.6), 0.9));
    EXPECT_FALSE(p->observe(20, miou(0.5), 0.1));  // a lower loss never outweighs a lower score
    EXPECT_FALSE(p->observe(30, miou(0.6), 0.95));
  }
  EXPECT_FALSE(plain.observe(40, miou(0.6), 0.4));
  EXPECT_TRUE(ties.observe(40, miou(0.6), 0.4));
  EXPECT_FALSE(ties.observe(50, miou(0.6), 0.4));  // an equal loss keeps the earlier
  EXPECT_EQ(plain.best_epoch, 10);
  EXPECT_EQ(ties.best_epoch, 40);
  EXPECT_DOUBLE_EQ(ties.best_loss, 0.4);
  EXPECT_EQ(ties.epochs_without_improvement, 10);
}

TEST(ValidationProgress, NeverImprovingOnZeroStopsAtTheFirstPatienceStep) {
  ValidationProgress p(20, EarlyStopping{50, 40});
  for (int64_t e : {20, 40}) {
    EXPECT_FALSE(p.observe(e, Scores{}));
    EXPECT_EQ(p.early_stop(e), std::nullopt);
  }
  EXPECT_FALSE(p.observe(60, Scores{}));
  EXPECT_EQ(p.early_stop(60), StopReason::no_improvement);
  EXPECT_EQ(p.best_epoch, 0);
}

TEST(ValidationProgress, HighMiouStopWaitsForMinEpochs) {
  ValidationProgress p(20, EarlyStopping{50, 40});
  p.observe(20, miou(0.995));
  EXPECT_EQ(p.early_stop(20), std::nullopt);
  p.observe(40, miou(0.991));
  EXPECT_EQ(p.early_stop(40), StopReason::good_enough);
  // The latest validation counts, not the best one.
  ValidationProgress q(20, EarlyStopping{50, 40});
  q.observe(20, miou(0.995));
  q.observe(40, miou(0.98));
  EXPECT_EQ(q.early_stop(40), std::nullopt);
}

TEST(ValidationProgress, HighMiouWinsOverNoImprovement) {
  ValidationProgress p(10, EarlyStopping{20, 0});
  p.observe(10, miou(0.999));
  p.observe(20, miou(0.995));
  p.observe(30, miou(0.995));
  EXPECT_EQ(p.epochs_without_improvement, 20);
  EXPECT_EQ(p.early_stop(30), StopReason::good_enough);
}

TEST(ValidationProgress, WithoutEarlyStoppingNeverStops) {
  ValidationProgress p(10, std::nullopt);
  for (int64_t e = 10; e <= 500; e += 10) p.observe(e, miou(e == 10 ? 0.995 : 0.1));
  EXPECT_EQ(p.early_stop(500), std::nullopt);
  EXPECT_EQ(p.best_epoch, 10);
}

TEST(ValidationProgress, BestByAnotherScore) {
  ValidationProgress p(10, std::nullopt, BestBy::oa);
  Scores a = miou(0.8), b = miou(0.6);
  b.oa = 0.9;  // lower mIoU, higher OA
  EXPECT_TRUE(p.observe(10, a));
  EXPECT_TRUE(p.observe(20, b));
  EXPECT_EQ(p.best_epoch, 20);
  EXPECT_DOUBLE_EQ(p.best_score, 0.9);
}

// A 32 x 32 scene of 8 bands and two classes, every pixel labelled.
struct Tiny {
  HyperspectralNet net{nullptr};
  std::shared_ptr<Criterion> criterion = build_criterion(Loss::ce);
  FitBatch train, val;
};

Tiny tiny(uint64_t seed = 3) {
  auto scene = testing::make_tiny_scene(32, 32, 8, 2);
  Tiny t;
  t.train.input = scene.cube.permute({2, 0, 1}).unsqueeze(0).contiguous();
  t.train.target = scene.labels.unsqueeze(0);
  t.val = t.train;
  torch::manual_seed(seed);
  t.net = HyperspectralNet(HyperspectralNetOptions(8, 3).num_filters(2).num_blocks(1).base_filters(4));
  return t;
}

struct Seen : FitObserver {
  std::vector<EpochReport> epochs;
  std::vector<std::pair<int64_t, StateDict>> bests;
  void on_epoch(const EpochReport& r) override { epochs.push_back(r); }
  void on_best(const EpochReport& r, const StateDict& best) override { bests.emplace_back(r.epoch, best); }
};

std::vector<int64_t> validated(const Seen& seen) {
  std::vector<int64_t> out;
  for (const auto& r : seen.epochs)
    if (r.val_scores) out.push_back(r.epoch);
  return out;
}

TEST(FitNetwork, ValidatesOnTheIntervalAndOptionallyAtTheEnd) {
  for (bool last : {false, true}) {
    Tiny t = tiny();
    Seen seen;
    fit_network(t.net, *t.criterion, t.train, t.val,
                FitOptions().epochs(25).lr(0.01).val_interval(10).validate_last_epoch(last).observer(&seen));
    ASSERT_EQ(seen.epochs.size(), 25u);
    EXPECT_EQ(validated(seen), last ? (std::vector<int64_t>{10, 20, 25}) : (std::vector<int64_t>{10, 20}));
    for (const auto& r : seen.epochs) EXPECT_TRUE(r.scheduler_stepped);
  }
}

TEST(FitNetwork, KeepsTheStrictlyBestValidationsWeights) {
  Tiny t = tiny();
  Seen seen;
  const FitResult r =
      fit_network(t.net, *t.criterion, t.train, t.val, FitOptions().epochs(40).lr(0.01).val_interval(5).observer(&seen));
  ASSERT_FALSE(seen.bests.empty());
  double best = 0.0;
  int64_t best_epoch = 0;
  for (const auto& e : seen.epochs)
    if (e.val_scores && e.val_scores->miou > best) {
      best = e.val_scores->miou;
      best_epoch = e.epoch;
    }
  EXPECT_TRUE(r.from_validation);
  EXPECT_EQ(r.best_epoch, best_epoch);
  EXPECT_EQ(seen.bests.back().first, best_epoch);
  EXPECT_DOUBLE_EQ(r.best_scores.miou, best);
  EXPECT_TRUE(same(r.weights, seen.bests.back().second));
  // The network itself keeps its final weights.
  if (best_epoch != 40) {
    EXPECT_FALSE(same(r.weights, cpu_copy(state_dict(*t.net))));
  }
}

TEST(FitNetwork, WithoutAnImprovementTheFinalWeightsStandIn) {
  Tiny t = tiny();
  t.val.target = torch::zeros_like(t.val.target);  // nothing scored: zeros, never better than 0
  Seen seen;
  const FitResult r = fit_network(t.net, *t.criterion, t.train, t.val,
                                  FitOptions().epochs(12).val_interval(4).observer(&seen).scorer(
                                      [](const torch::Tensor&, const torch::Tensor&) { return Scores{}; }));
  EXPECT_FALSE(r.from_validation);
  EXPECT_EQ(r.best_epoch, 0);
  EXPECT_TRUE(seen.bests.empty());
  EXPECT_TRUE(same(r.weights, cpu_copy(state_dict(*t.net))));
}

TEST(FitNetwork, EarlyStopEndsTheRunAtTheRulesEpoch) {
  Tiny t = tiny();
  Seen seen;
  const FitResult r = fit_network(
      t.net, *t.criterion, t.train, t.val,
      FitOptions().epochs(100).val_interval(5).early_stopping(EarlyStopping{10, 20}).observer(&seen).scorer(
          [](const torch::Tensor&, const torch::Tensor&) { return Scores{}; }));
  EXPECT_TRUE(r.stopped_early);
  ASSERT_EQ(seen.epochs.back().epoch, 20);  // 10 epochs without improvement by 10, held until min_epochs
  EXPECT_EQ(seen.epochs.back().stopping, StopReason::no_improvement);
}

TEST(FitNetwork, SameSeedSameRunAndMixedPrecisionIsFloat32OnTheCpu) {
  // Each run seeds itself right before: training draws from the generator too.
  Tiny a = tiny();
  const FitResult ra = fit_network(a.net, *a.criterion, a.train, a.val, FitOptions().epochs(10).lr(0.01).val_interval(5));
  Tiny b = tiny();
  const FitResult rb = fit_network(b.net, *b.criterion, b.train, b.val,
                                   FitOptions().epochs(10).lr(0.01).val_interval(5).mixed_precision(true));
  EXPECT_TRUE(same(ra.weights, rb.weights));
}

TEST(FitNetwork, RefusesBadSettings) {
  Tiny t = tiny();
  EXPECT_EQ(testing::error_of<ValueError>(
                [&] { fit_network(t.net, *t.criterion, t.train, t.val, FitOptions().val_interval(0)); }),
            "val_interval must be at least 1, got 0");
  EXPECT_EQ(testing::error_of<ValueError>(
                [&] { fit_network(t.net, *t.criterion, t.train, t.val, FitOptions().epochs(-1)); }),
            "epochs must be at least 0, got -1");
}

TEST(BestWeights, OffersOnlyStrictImprovementsOverZero) {
  torch::nn::Linear lin(2, 1);
  BestWeights best;
  EXPECT_FALSE(best.offer(0.0, *lin));
  EXPECT_TRUE(best.empty());
  EXPECT_TRUE(best.offer(0.5, *lin));
  const StateDict kept = best.weights();
  torch::NoGradGuard no_grad;
  lin->weight.add_(1.0);
  EXPECT_FALSE(best.offer(0.5, *lin));
  EXPECT_TRUE(same(best.take_or_current(*lin), kept));
  EXPECT_TRUE(best.empty());
  EXPECT_TRUE(same(best.take_or_current(*lin), cpu_copy(state_dict(*lin))));
}

}  // namespace
}  // namespace lumora
