#include <gtest/gtest.h>

#include <torch/torch.h>

#include "lumora/core/errors.h"
#include "lumora/optim/grad_scaler.h"
#include "lumora/optim/plateau.h"
#include "support/testing.h"

namespace lumora {
namespace {

struct Fixture {
  torch::Tensor w = torch::ones({2}, torch::requires_grad());
  torch::optim::SGD sgd{{w}, torch::optim::SGDOptions(1.0)};
};

}  // namespace

TEST(Plateau, MinModeHalvesAfterPatienceExceeded) {
  Fixture f;
  ReduceLROnPlateau sched(f.sgd, ReduceLROnPlateauOptions().patience(2).factor(0.5));
  // 1.0 best; then three non-improving steps: the third exceeds patience 2.
  std::vector<double> metrics = {1.0, 1.0, 0.99995, 1.2, 0.5, 0.6, 0.6, 0.6};
  std::vector<double> lrs;
  for (double m : metrics) {
    sched.step(m);
    lrs.push_back(sched.current_lr());
  }
  // 0.99995 is not better than 1.0 * (1 - 1e-4): relative threshold.
  EXPECT_EQ(lrs, (std::vector<double>{1.0, 1.0, 1.0, 0.5, 0.5, 0.5, 0.5, 0.25}));
}

TEST(Plateau, MaxModeCooldownAndMinLr) {
  Fixture f;
  ReduceLROnPlateau sched(f.sgd,
                          ReduceLROnPlateauOptions().mode(PlateauMode::max).patience(0).factor(0.1).cooldown(1).min_lr(0.05));
  std::vector<double> lrs;
  for (double m : {0.5, 0.4, 0.4, 0.4, 0.4}) {
    sched.step(m);
    lrs.push_back(sched.current_lr());
  }
  // 0.4: bad -> 0.1, cooldown 1 eats the next, then bad -> 0.05 (floor), then no change below eps.
  EXPECT_DOUBLE_EQ(lrs[0], 1.0);
  EXPECT_DOUBLE_EQ(lrs[1], 0.1);
  EXPECT_DOUBLE_EQ(lrs[2], 0.1);
  EXPECT_DOUBLE_EQ(lrs[3], 0.05);
  EXPECT_DOUBLE_EQ(lrs[4], 0.05);
}

TEST(Plateau, RejectsAFactorThatWouldNotLowerTheRate) {
  Fixture f;
  EXPECT_EQ(testing::error_of<ValueError>([&] { ReduceLROnPlateau(f.sgd, ReduceLROnPlateauOptions().factor(1.0)); }),
            "Factor should be < 1.0.");
}

TEST(GradScaler, ScalesUnscalesAndSkipsNonFiniteSteps) {
  Fixture f;
  GradScaler scaler(GradScalerOptions().growth_interval(3));
  EXPECT_EQ(scaler.get_scale(), 65536.0);
  auto loss = (f.w * 2).sum();
  auto scaled = scaler.scale(loss);
  EXPECT_EQ(scaled.item<double>(), 4.0 * 65536.0);
  scaled.backward();
  EXPECT_TRUE(scaler.step(f.sgd));
  scaler.update();
  // Gradient 2 unscaled, SGD lr 1: w = 1 - 2.
  EXPECT_TRUE(torch::allclose(f.w.detach(), torch::full({2}, -1.0)));

  f.sgd.zero_grad();
  f.w.mutable_grad() = torch::tensor({INFINITY, 1.0f});
  EXPECT_FALSE(scaler.step(f.sgd));  // skipped
  scaler.update();
  EXPECT_EQ(scaler.get_scale(), 32768.0);
  EXPECT_TRUE(torch::allclose(f.w.detach(), torch::full({2}, -1.0)));

  // Three finite steps in a row double the scale.
  for (int i = 0; i < 3; ++i) {
    f.w.mutable_grad() = torch::zeros({2});
    scaler.step(f.sgd);
    scaler.update();
  }
  EXPECT_EQ(scaler.get_scale(), 65536.0);
}

TEST(GradScaler, DisabledPassesThrough) {
  Fixture f;
  GradScaler scaler(GradScalerOptions().enabled(false));
  auto loss = f.w.sum();
  EXPECT_TRUE(scaler.scale(loss).is_same(loss));
  loss.backward();
  EXPECT_TRUE(scaler.step(f.sgd));
  scaler.update();
  EXPECT_EQ(scaler.get_scale(), 1.0);
  EXPECT_TRUE(torch::allclose(f.w.detach(), torch::zeros({2})));
}

}  // namespace lumora
