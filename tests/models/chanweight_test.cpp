#include <gtest/gtest.h>

#include <torch/torch.h>

#include "lumora/core/errors.h"
#include "lumora/core/state_dict.h"
#include "lumora/models/chanweight.h"
#include "network_support.h"

namespace lumora {
namespace {

using testing::count_parameters;
using testing::entries_of;
using testing::Entries;

TEST(SEBlock, HiddenWidthIsTheFlooredQuotient) {
  SEBlock wide(SEBlockOptions(1600));
  EXPECT_EQ(wide->fc[0]->as<torch::nn::Linear>()->options.out_features(), 100);
  EXPECT_EQ(count_parameters(*wide), 321700);
  SEBlock narrow(SEBlockOptions(40));
  EXPECT_EQ(narrow->fc[0]->as<torch::nn::Linear>()->options.out_features(), 2);
  SEBlock custom(SEBlockOptions(40).reduction(4));
  EXPECT_EQ(custom->fc[0]->as<torch::nn::Linear>()->options.out_features(), 10);
}

TEST(SEBlock, StateDictKeysAndShapes) {
  SEBlock block(SEBlockOptions(40));
  const Entries expected{{"fc.0.weight", {2, 40}}, {"fc.0.bias", {2}}, {"fc.2.weight", {40, 2}}, {"fc.2.bias", {40}}};
  EXPECT_EQ(entries_of(state_dict(*block)), expected);
  std::vector<std::string> children;
  for (const auto& c : block->named_children()) children.push_back(c.key());
  EXPECT_EQ(children, (std::vector<std::string>{"pool", "fc"}));
  // ReLU between the linear layers works in place.
  EXPECT_TRUE(block->fc[1]->as<torch::nn::ReLU>()->options.inplace());
  EXPECT_NE(block->fc[3]->as<torch::nn::Sigmoid>(), nullptr);
}

TEST(SEBlock, ScalesEveryChannelByOneGatePerSample) {
  torch::manual_seed(3);
  SEBlock block(SEBlockOptions(1600));
  const auto x = torch::randn({2, 1600, 5, 7});
  const auto y = block->forward(x);
  ASSERT_EQ(y.sizes(), x.sizes());
  // gate = y / x must be one value per (sample, channel), inside (0, 1).
  const auto gate = (y / x).flatten(2);
  const auto spread = (gate.amax(2) - gate.amin(2)).max().item<float>();
  EXPECT_LT(spread, 1e-5);
  EXPECT_GT(gate.min().item<float>(), 0.0f);
  EXPECT_LT(gate.max().item<float>(), 1.0f);
  // The gate comes from the spatial means through the bottleneck.
  const auto mean = x.mean({2, 3});
  const auto expected = block->fc->forward(mean);
  EXPECT_TRUE(torch::allclose(gate.select(2, 0), expected, 1e-5, 1e-6));
}

TEST(SEBlock, SameInTrainingAndEvaluationMode) {
  SEBlock block(SEBlockOptions(32));
  const auto x = torch::randn({1, 32, 4, 4});
  block->train();
  const auto a = block->forward(x);
  block->eval();
  EXPECT_TRUE(torch::equal(a, block->forward(x)));
}

TEST(SEBlock, WrongChannelCountFailsInTheFirstLinearLayer) {
  SEBlock block(SEBlockOptions(40));
  EXPECT_THROW(block->forward(torch::randn({1, 41, 3, 3})), c10::Error);
}

TEST(SEBlock, RejectsOtherRanksBeforeAnyLayer) {
  SEBlock block(SEBlockOptions(40));
  try {
    block->forward(torch::randn({40, 3, 3}));
    FAIL() << "3-D input accepted";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "SEBlock expects a 4-D input (B, C, H, W), got a 3-D tensor of shape [40, 3, 3]");
  }
  EXPECT_THROW(block->forward(torch::randn({1, 40, 2, 3, 3})), ValueError);
}

TEST(SEBlock, RejectsAZeroWidthBottleneck) {
  EXPECT_THROW(SEBlock(SEBlockOptions(8)), ValueError);
  EXPECT_THROW(SEBlock(SEBlockOptions(8).reduction(0)), ValueError);
  EXPECT_NO_THROW(SEBlock(SEBlockOptions(16)));
}

}  // namespace
}  // namespace lumora
