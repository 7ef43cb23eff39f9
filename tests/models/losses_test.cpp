#include <gtest/gtest.h>

#include <torch/torch.h>

#include "lumora/core/errors.h"
#include "lumora/models/dice_loss.h"
#include "lumora/models/losses.h"
#include "support/testing.h"

namespace lumora {
namespace {

torch::Tensor logits_132() {
  return torch::tensor({0.5, 1.0, -0.2, 0.3, 2.0, 0.1}, torch::kFloat32).reshape({1, 3, 1, 2}).requires_grad_();
}

using testing::error_of;

}  // namespace

TEST(ParseLoss, UnknownNamesAreRefusedExactly) {
  const std::string tail = "'. Choose from: ['ce', 'dice', 'focal', 'squared_ce']";
  EXPECT_EQ(error_of<ValueError>([] { parse_loss("xyz"); }), "Unknown loss type: 'xyz" + tail);
  EXPECT_EQ(error_of<ValueError>([] { parse_loss("CE"); }), "Unknown loss type: 'CE" + tail);
  EXPECT_EQ(error_of<ValueError>([] { parse_loss("focal "); }), "Unknown loss type: 'focal " + tail);
}

TEST(ParseLoss, NamesRoundTrip) {
  for (const char* name : {"ce", "squared_ce", "focal", "dice"}) EXPECT_EQ(loss_name(parse_loss(name)), name);
}

TEST(BuildCriterion, ReturnsTheNamedLoss) {
  EXPECT_NE(dynamic_cast<CrossEntropyLoss*>(build_criterion(Loss::ce).get()), nullptr);
  EXPECT_NE(dynamic_cast<SquaredCELoss*>(build_criterion(Loss::squared_ce).get()), nullptr);
  auto focal = build_criterion(Loss::focal, 3);
  ASSERT_NE(dynamic_cast<FocalLoss*>(focal.get()), nullptr);
  EXPECT_EQ(dynamic_cast<FocalLoss*>(focal.get())->gamma, 3.0);
  EXPECT_NE(dynamic_cast<CEDiceLoss*>(build_criterion(Loss::dice).get()), nullptr);
  EXPECT_TRUE(build_criterion(Loss::focal)->parameters().empty());
}

TEST(Losses, LookOnlyAtNonIgnoredPixels) {
  auto x = logits_132();
  auto y = torch::tensor({0, 2}, torch::kInt64).reshape({1, 1, 2});
  // Cross-entropy of pixel 1 alone: logits (1.0, 0.3, 0.1), true class 2.
  auto second = torch::tensor({1.0, 0.3, 0.1});
  const double ce1 = -torch::log_softmax(second, 0)[2].item<double>();
  EXPECT_NEAR(SquaredCELoss().forward(x, y).item<double>(), ce1 * ce1, 1e-6);
  EXPECT_NEAR(CrossEntropyLoss().forward(x, y).item<double>(), ce1, 1e-6);
  const double pt = std::exp(-ce1);
  EXPECT_NEAR(FocalLoss(2.0).forward(x, y).item<double>(), (1 - pt) * (1 - pt) * ce1, 1e-6);
  EXPECT_NEAR(FocalLoss(0.0).forward(x, y).item<double>(), CrossEntropyLoss().forward(x, y).item<double>(), 1e-6);
}

TEST(Losses, AllIgnoredGivesExactZeroWithZeroGradients) {
  auto y = torch::zeros({1, 1, 2}, torch::kInt64);
  for (auto loss : {build_criterion(Loss::squared_ce), build_criterion(Loss::focal), build_criterion(Loss::dice)}) {
    auto x = logits_132();
    auto l = loss->forward(x, y);
    EXPECT_EQ(l.dim(), 0);
    EXPECT_EQ(l.item<double>(), 0.0);
    l.backward();
    ASSERT_TRUE(x.grad().defined());
    EXPECT_EQ(x.grad().abs().sum().item<double>(), 0.0);
  }
  auto x = logits_132();
  EXPECT_TRUE(std::isnan(build_criterion(Loss::ce)->forward(x, y).item<double>()));
}

TEST(Losses, IntegerGammaBehavesAsReal) {
  auto x = logits_132();
  auto y = torch::tensor({1, 2}, torch::kInt64).reshape({1, 1, 2});
  EXPECT_EQ(FocalLoss(2).forward(x, y).item<double>(), FocalLoss(2.0).forward(x, y).item<double>());
}

TEST(CEDiceLoss, FiniteGradientsAndIgnoredPixelsHaveNoInfluence) {
  torch::manual_seed(3);
  auto x = torch::randn({2, 4, 5, 5}).requires_grad_();
  auto y = torch::randint(0, 4, {2, 5, 5}, torch::kInt64);
  CEDiceLoss loss;
  auto l = loss.forward(x, y);
  l.backward();
  EXPECT_TRUE(torch::isfinite(x.grad()).all().item<bool>());
  // Ignored pixels get no gradient, and changing their logits changes nothing.
  auto ignored = y.eq(0).unsqueeze(1).expand_as(x);
  EXPECT_EQ(x.grad().masked_select(ignored).abs().sum().item<double>(), 0.0);
  auto x2 = x.detach().clone();
  x2.masked_fill_(ignored, 9.0);
  EXPECT_NEAR(loss.forward(x2, y).item<double>(), l.item<double>(), 1e-6);
  // The value is CE plus a Dice term in [0, 1].
  const double ce = CrossEntropyLoss().forward(x.detach(), y).item<double>();
  EXPECT_GE(l.item<double>(), ce);
  EXPECT_LE(l.item<double>(), ce + 1.0);
}

TEST(CEDiceLoss, PerfectPredictionHasNearZeroDiceTerm) {
  auto y = torch::tensor({{1, 2}, {3, 0}}, torch::kInt64).unsqueeze(0);
  auto x = torch::one_hot(y, 4).permute({0, 3, 1, 2}).to(torch::kFloat32) * 50.0;
  EXPECT_NEAR(CEDiceLoss().forward(x, y).item<double>(), 0.0, 1e-6);
}

}  // namespace lumora
