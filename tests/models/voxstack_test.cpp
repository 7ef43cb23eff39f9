#include <gtest/gtest.h>

#include <torch/torch.h>

#include <algorithm>
#include <string>
#include <tuple>

#include "lumora/core/errors.h"
#include "lumora/core/state_dict.h"
#include "lumora/core/torch_compat.h"
#include "lumora/models/voxstack.h"
#include "network_support.h"

namespace lumora {
namespace {

using testing::add_batch_norm;
using testing::count_parameters;
using testing::entries_of;
using testing::expect_close;
using testing::Entries;

namespace F = torch::nn::functional;

TEST(Spectral3DStack, ParameterCountDoesNotDependOnBands) {
  Spectral3DStack a(Spectral3DStackOptions(200));
  Spectral3DStack b(Spectral3DStackOptions(103));
  EXPECT_EQ(count_parameters(*a), 8640);
  EXPECT_EQ(count_parameters(*b), 8640);
  EXPECT_EQ(count_parameters(*a->stack[0]), 528);
  EXPECT_EQ(count_parameters(*a->stack[1]), 4056);
  EXPECT_EQ(a->out_channels, 1600);
  EXPECT_EQ(b->out_channels, 824);
  EXPECT_EQ(Spectral3DStack(Spectral3DStackOptions(10).num_filters(4))->out_channels, 40);
}

TEST(Spectral3DStack, StateDictKeysAndShapes) {
  Spectral3DStack s(Spectral3DStackOptions(5).num_filters(8).num_blocks(3));
  Entries expected;
  for (int i = 0; i < 3; ++i) {
    const std::string p = "stack." + std::to_string(i) + ".block.";
    expected.push_back({p + "0.weight", {8, i == 0 ? 1 : 8, 7, 3, 3}});
    expected.push_back({p + "0.bias", {8}});
    add_batch_norm(expected, p + "1.", 8);
  }
  EXPECT_EQ(entries_of(state_dict(*s)), expected);
  EXPECT_TRUE(s->stack[0]->as<Single3DBlock>()->block[2]->as<torch::nn::ReLU>()->options.inplace());
}

TEST(Single3DBlock, PaddingIsHalfTheKernelOnEachAxis) {
  Single3DBlock b(Single3DBlockOptions(2, 3).kernel_size({5, 1, 3}));
  const auto y = b->forward(torch::randn({1, 2, 6, 4, 5}));
  EXPECT_EQ(y.sizes(), (std::vector<int64_t>{1, 3, 6, 4, 5}));
  EXPECT_GE(y.min().item<float>(), 0.0f);  // ends in ReLU
}

TEST(Spectral3DStack, OutputFoldsFiltersIntoChannelsFilterMajor) {
  torch::manual_seed(5);
  Spectral3DStack s(Spectral3DStackOptions(200));
  s->eval();
  torch::NoGradGuard no_grad;
  const auto x = torch::randn({1, 200, 3, 5});
  const auto y = s->forward(x);
  ASSERT_EQ(y.sizes(), (std::vector<int64_t>{1, 1600, 3, 5}));
  const auto volume = s->stack->forward(x.unsqueeze(1));  // (1, 8, 200, 3, 5)
  // Channel f * C + c is filter f at band c: channels 0..199 are filter 0.
  EXPECT_TRUE(torch::equal(y.slice(1, 0, 200), volume.select(1, 0)));
  EXPECT_TRUE(torch::equal(y.slice(1, 200, 400), volume.select(1, 1)));
  EXPECT_TRUE(torch::equal(y[0][7 * 200 + 13], volume[0][7][13]));
}

// On a single pixel, zero padding leaves only the centre column of every
// kernel: each block is a 1-D convolution along the bands.
TEST(Spectral3DStack, SinglePixelUsesTheKernelCentreOnly) {
  torch::manual_seed(11);
  Spectral3DStack s(Spectral3DStackOptions(9).num_filters(3).num_blocks(2));
  s->eval();
  torch::NoGradGuard no_grad;
  // Non-trivial running statistics so that evaluation mode is exercised.
  for (auto& b : s->buffers())
    if (b.dim() == 1) b.uniform_(0.5, 1.5);
  const auto x = torch::randn({2, 9, 1, 1});
  const auto y = s->forward(x);
  ASSERT_EQ(y.sizes(), (std::vector<int64_t>{2, 27, 1, 1}));

  auto v = x.view({2, 1, 9});
  for (int i = 0; i < 2; ++i) {
    auto& block = s->stack[i]->as<Single3DBlock>()->block;
    auto* conv = block[0]->as<torch::nn::Conv3d>();
    auto* bn = block[1]->as<torch::nn::BatchNorm3d>();
    v = F::conv1d(v, conv->weight.select(4, 1).select(3, 1), F::Conv1dFuncOptions().bias(conv->bias).padding(3));
    v = F::batch_norm(v, bn->running_mean, bn->running_var,
                      F::BatchNormFuncOptions().weight(bn->weight).bias(bn->bias).eps(bn->options.eps()));
    v = torch::relu(v);
  }
  EXPECT_TRUE(torch::allclose(y.view({2, 27}), v.reshape({2, 27}), 1e-5, 1e-6));
}

TEST(Spectral3DStack, EdgeConfigurations) {
  torch::NoGradGuard no_grad;
  const auto x = torch::randn({2, 6, 4, 5});
  // No blocks: the input passes through unchanged.
  Spectral3DStack none(Spectral3DStackOptions(6).num_blocks(0));
  EXPECT_TRUE(torch::equal(none->forward(x), x));
  EXPECT_EQ(none->out_channels, 48);
  // An even kernel extent lengthens that axis by one per block.
  Spectral3DStack even(Spectral3DStackOptions(6).num_filters(2).num_blocks(2).kernel_size({4, 3, 3}));
  EXPECT_EQ(even->forward(x).sizes(), (std::vector<int64_t>{2, 16, 4, 5}));
  // A band count other than num_bands passes the stack.
  Spectral3DStack s(Spectral3DStackOptions(6).num_filters(2).num_blocks(1));
  EXPECT_EQ(s->forward(torch::randn({1, 4, 3, 3})).sizes(), (std::vector<int64_t>{1, 8, 3, 3}));
}

TEST(Spectral3DStack, RejectsOtherRanksBeforeAnyLayer) {
  Spectral3DStack s(Spectral3DStackOptions(6));
  try {
    s->forward(torch::randn({1, 1, 6, 4, 4}));
    FAIL() << "5-D input accepted";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "Spectral3DStack expects a 4-D input (B, C, H, W), got a 5-D tensor of shape [1, 1, 6, 4, 4]");
  }
  EXPECT_THROW(s->forward(torch::randn({6, 4, 4})), ValueError);
  EXPECT_THROW(Spectral3DStack(Spectral3DStackOptions(6).num_blocks(-1)), ValueError);
}

TEST(Spectral3DStack, ResultsDoNotDependOnMemoryFormat) {
  torch::manual_seed(2);
  Spectral3DStack s(Spectral3DStackOptions(12));
  s->train();
  const auto x = torch::randn({2, 12, 6, 7});
  // Training mode, so batch statistics and running-statistics updates are
  // compared too; the two copies start from the same weights.
  Spectral3DStack converted(Spectral3DStackOptions(12));
  load_state_dict(*converted, state_dict(*s));
  converted->train();
  to_channels_last_3d(*converted->stack);
  for (const auto& p : converted->parameters()) {
    if (p.dim() == 5) {
      EXPECT_TRUE(compat::is_channels_last_3d(p));
    }
  }
  const auto a = s->forward(x);
  const auto b = converted->forward(x);
  EXPECT_TRUE(torch::allclose(a, b, 1e-5, 1e-5));
  for (const auto& [k, v] : state_dict(*s))
    EXPECT_TRUE(torch::allclose(v.to(torch::kDouble), state_dict_at(state_dict(*converted), k).to(torch::kDouble),
                                1e-5, 1e-5))
        << k;
  // A channels-last activation gives the same result as a contiguous one.
  s->eval();
  torch::NoGradGuard no_grad;
  const auto nhwc = x.contiguous(at::MemoryFormat::ChannelsLast);
  EXPECT_TRUE(torch::allclose(s->forward(x), s->forward(nhwc), 1e-5, 1e-6));
}

// Conv3d -> BatchNorm3d -> ReLU written with the library's own functions;
// the block must give the same values and gradients whatever way it computes.
torch::Tensor plain_block(Single3DBlock& b, const torch::Tensor& x, bool training) {
  auto* conv = b->block[0]->as<torch::nn::Conv3d>();
  auto* bn = b->block[1]->as<torch::nn::BatchNorm3d>();
  const auto& k = *b->options.kernel_size();
  auto y = F::conv3d(x, conv->weight, F::Conv3dFuncOptions().bias(conv->bias).padding({k[0] / 2, k[1] / 2, k[2] / 2}));
  // Running statistics are compared separately: use copies here.
  auto mean = bn->running_mean.clone(), var = bn->running_var.clone();
  y = F::batch_norm(y, mean, var,
                    F::BatchNormFuncOptions().weight(bn->weight).bias(bn->bias).training(training).eps(1e-5));
  return torch::relu(y);
}


// Two samples, odd sizes; depth 57 leaves the last pair of bands half outside.
class BlockEquivalence : public ::testing::TestWithParam<std::tuple<int64_t, bool>> {};

TEST_P(BlockEquivalence, ValuesAndGradientsMatchThePlainLayers) {
  const auto [in_filters, training] = GetParam();
  torch::manual_seed(21);
  Single3DBlock fast(Single3DBlockOptions(in_filters, 4));
  Single3DBlock plain(Single3DBlockOptions(in_filters, 4));
  load_state_dict(*plain, state_dict(*fast));
  {
    torch::NoGradGuard no_grad;  // statistics away from their defaults
    for (auto* b : {&fast, &plain}) {
      auto* bn = (*b)->block[1]->as<torch::nn::BatchNorm3d>();
      bn->running_mean.copy_(torch::linspace(-0.2, 0.3, 4));
      bn->running_var.copy_(torch::linspace(0.5, 2.0, 4));
      bn->weight.copy_(torch::linspace(0.8, 1.3, 4));
      bn->bias.copy_(torch::linspace(-0.1, 0.2, 4));
    }
  }
  fast->train(training);
  plain->train(training);
  const auto input = torch::randn({2, in_filters, 57, 5, 6});
  auto xa = input.clone().requires_grad_(), xb = input.clone().requires_grad_();
  const auto ya = fast->forward(xa);
  const auto yb = plain_block(plain, xb, training);
  expect_close(ya, yb, "output", 1e-5);
  const auto g = torch::randn_like(ya);
  ya.backward(g);
  yb.backward(g);
  expect_close(xa.grad(), xb.grad(), "input gradient");
  const auto pa = fast->named_parameters(), pb = plain->named_parameters();
  for (const auto& item : pa) expect_close(item.value().grad(), pb[item.key()].grad(), item.key());
  if (training) {
    // The running statistics moved as in a plain pass.
    Single3DBlock plain2(Single3DBlockOptions(in_filters, 4));
    load_state_dict(*plain2, state_dict(*plain));
    plain2->train();
    plain2->block->forward(input);
    expect_close(fast->block[1]->as<torch::nn::BatchNorm3d>()->running_mean,
                 plain2->block[1]->as<torch::nn::BatchNorm3d>()->running_mean, "running_mean", 1e-5);
    expect_close(fast->block[1]->as<torch::nn::BatchNorm3d>()->running_var,
                 plain2->block[1]->as<torch::nn::BatchNorm3d>()->running_var, "running_var", 1e-5);
  }
}

INSTANTIATE_TEST_SUITE_P(Channels, BlockEquivalence,
                         ::testing::Combine(::testing::Values<int64_t>(1, 3), ::testing::Bool()));

TEST(Single3DBlock, OtherKernelsAndTypesUseThePlainLayers) {
  torch::manual_seed(22);
  Single3DBlock b(Single3DBlockOptions(2, 3).kernel_size({3, 5, 1}));
  b->eval();
  const auto x = torch::randn({1, 2, 9, 6, 4});
  expect_close(b->forward(x), plain_block(b, x, false), "kernel 3x5x1", 1e-5);
  auto d = b->clone();
  auto& dbl = *std::dynamic_pointer_cast<Single3DBlockImpl>(d);
  dbl.to(torch::kFloat64);
  const auto y = dbl.forward(x.to(torch::kFloat64));
  EXPECT_EQ(y.scalar_type(), torch::kFloat64);
  expect_close(y.to(torch::kFloat32), b->forward(x), "float64", 1e-5);
}

TEST(Spectral3DStack, StackCanBeReplaced) {
  Spectral3DStack s(Spectral3DStackOptions(4).num_filters(2).num_blocks(2));
  auto copy = std::dynamic_pointer_cast<torch::nn::SequentialImpl>(s->stack->clone());
  ASSERT_TRUE(copy);
  const auto before = testing::keys_of(state_dict(*s));
  s->replace_stack(torch::nn::Sequential(copy));
  EXPECT_EQ(s->stack.ptr(), copy);
  EXPECT_EQ(testing::keys_of(state_dict(*s)), before);
  EXPECT_EQ(s->forward(torch::randn({1, 4, 3, 3})).sizes(), (std::vector<int64_t>{1, 8, 3, 3}));
}

}  // namespace
}  // namespace lumora
