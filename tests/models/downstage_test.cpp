#include <gtest/gtest.h>

#include <torch/torch.h>

#include "lumora/core/errors.h"
#include "lumora/core/state_dict.h"
#include "lumora/models/downstage.h"
#include "network_support.h"

namespace lumora {
namespace {

using testing::add_conv_block;
using testing::count_parameters;
using testing::entries_of;
using testing::Entries;

std::vector<int64_t> size_of(const torch::Tensor& t) { return t.sizes().vec(); }

TEST(ConvBlock, LayersKeysAndParameterCount) {
  ConvBlock b(ConvBlockOptions(5, 7));
  Entries expected;
  add_conv_block(expected, "", 5, 7);
  EXPECT_EQ(entries_of(state_dict(*b)), expected);
  EXPECT_EQ(count_parameters(*b), 9 * 5 * 7 + 9 * 7 * 7 + 6 * 7);
  EXPECT_TRUE(b->block[2]->as<torch::nn::ReLU>()->options.inplace());
  EXPECT_TRUE(b->block[6]->as<torch::nn::ReLU>()->options.inplace());
  EXPECT_DOUBLE_EQ(b->block[3]->as<torch::nn::Dropout2d>()->options.p(), 0.3);
  EXPECT_DOUBLE_EQ(ConvBlock(ConvBlockOptions(1, 1).dropout(0.5))->block[3]->as<torch::nn::Dropout2d>()->options.p(),
                   0.5);
}

TEST(ConvBlock, DropoutZeroesWholeChannelsInTrainingOnly) {
  torch::manual_seed(0);
  ConvBlock b(ConvBlockOptions(3, 64).dropout(0.5));
  const auto x = torch::randn({2, 3, 6, 6});
  // After the first convolution and ReLU, dropout zeroes entire channels of
  // the input to the second convolution: check it through the layers.
  b->train();
  auto h = b->block[2]->as<torch::nn::ReLU>()->forward(
      b->block[1]->as<torch::nn::BatchNorm2d>()->forward(b->block[0]->as<torch::nn::Conv2d>()->forward(x)));
  const auto dropped = b->block[3]->as<torch::nn::Dropout2d>()->forward(h.clone());
  const auto per_channel = dropped.abs().sum({2, 3});
  const auto zeroed = (per_channel == 0).sum().item<int64_t>();
  EXPECT_GT(zeroed, 20);
  EXPECT_LT(zeroed, 108);
  // Kept channels are scaled by 1 / (1 - p).
  const auto kept = per_channel > 0;
  EXPECT_TRUE(torch::allclose(dropped.sum({2, 3}).masked_select(kept), (2 * h.sum({2, 3})).masked_select(kept)));
  b->eval();
  EXPECT_TRUE(torch::equal(b->block[3]->as<torch::nn::Dropout2d>()->forward(h), h));
}

TEST(Encoder2D, ChildrenInRegistrationOrderAndWidths) {
  Encoder2D e(Encoder2DOptions(6));
  std::vector<std::string> names;
  for (const auto& c : e->named_children()) names.push_back(c.key());
  EXPECT_EQ(names, (std::vector<std::string>{"enc1", "enc2", "enc3", "enc4", "pool", "bottleneck"}));
  Entries expected;
  add_conv_block(expected, "enc1.", 6, 64);  // base_filters defaults to 64 on its own
  add_conv_block(expected, "enc2.", 64, 128);
  add_conv_block(expected, "enc3.", 128, 256);
  add_conv_block(expected, "enc4.", 256, 512);
  add_conv_block(expected, "bottleneck.", 512, 1024);
  EXPECT_EQ(entries_of(state_dict(*e)), expected);
}

TEST(Encoder2D, ParameterCountOfTheDefaultNetwork) {
  EXPECT_EQ(count_parameters(*Encoder2D(Encoder2DOptions(1600).base_filters(32))), 5176128);
}

TEST(Encoder2D, SkipShapesAt145) {
  torch::manual_seed(1);
  Encoder2D e(Encoder2DOptions(3).base_filters(32));
  e->eval();
  torch::NoGradGuard no_grad;
  const auto out = e->forward(torch::randn({1, 3, 145, 145}));
  ASSERT_EQ(out.skips.size(), 4u);
  EXPECT_EQ(size_of(out.skips[0]), (std::vector<int64_t>{1, 32, 145, 145}));
  EXPECT_EQ(size_of(out.skips[1]), (std::vector<int64_t>{1, 64, 72, 72}));
  EXPECT_EQ(size_of(out.skips[2]), (std::vector<int64_t>{1, 128, 36, 36}));
  EXPECT_EQ(size_of(out.skips[3]), (std::vector<int64_t>{1, 256, 18, 18}));
  EXPECT_EQ(size_of(out.bottleneck), (std::vector<int64_t>{1, 512, 9, 9}));
}

TEST(Encoder2D, OddSizesAreFlooredAndSixteenIsTheMinimum) {
  Encoder2D e(Encoder2DOptions(2).base_filters(4));
  e->eval();
  torch::NoGradGuard no_grad;
  const auto out = e->forward(torch::randn({2, 2, 20, 33}));
  const std::vector<std::pair<int64_t, int64_t>> sizes{{20, 33}, {10, 16}, {5, 8}, {2, 4}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(out.skips[i].size(2), sizes[i].first) << i;
    EXPECT_EQ(out.skips[i].size(3), sizes[i].second) << i;
    EXPECT_EQ(out.skips[i].size(1), 4 << i);
  }
  EXPECT_EQ(size_of(out.bottleneck), (std::vector<int64_t>{2, 64, 1, 2}));
  EXPECT_EQ(size_of(e->forward(torch::randn({1, 2, 16, 16})).bottleneck), (std::vector<int64_t>{1, 64, 1, 1}));
  EXPECT_ANY_THROW(e->forward(torch::randn({1, 2, 15, 16})));
  EXPECT_ANY_THROW(e->forward(torch::randn({1, 2, 16, 8})));
}

TEST(Encoder2D, SkipsAreTheLevelOutputs) {
  torch::manual_seed(4);
  Encoder2D e(Encoder2DOptions(2).base_filters(2));
  e->eval();
  torch::NoGradGuard no_grad;
  const auto x = torch::randn({1, 2, 17, 18});
  const auto out = e->forward(x);
  const auto e1 = e->enc1->forward(x);
  const auto e2 = e->enc2->forward(torch::max_pool2d(e1, 2));
  EXPECT_TRUE(torch::equal(out.skips[0], e1));
  EXPECT_TRUE(torch::equal(out.skips[1], e2));
}

TEST(Encoder2D, EvaluationIsRepeatableTrainingIsNot) {
  torch::manual_seed(8);
  Encoder2D e(Encoder2DOptions(3).base_filters(4));
  const auto x = torch::randn({1, 3, 32, 32});
  e->eval();
  {
    torch::NoGradGuard no_grad;
    const auto a = e->forward(x), b = e->forward(x);
    EXPECT_TRUE(torch::equal(a.bottleneck, b.bottleneck));
    EXPECT_TRUE(torch::equal(a.skips[0], b.skips[0]));
  }
  e->train();
  const auto a = e->forward(x), b = e->forward(x);
  EXPECT_FALSE(torch::equal(a.skips[0], b.skips[0]));
}

TEST(Encoder2D, RejectsOtherRanks) {
  Encoder2D e(Encoder2DOptions(3).base_filters(2));
  EXPECT_THROW(e->forward(torch::randn({3, 16, 16})), ValueError);
}

}  // namespace
}  // namespace lumora
