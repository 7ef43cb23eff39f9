#include <gtest/gtest.h>

#include <torch/torch.h>

#include <algorithm>
#include <string>

#include "lumora/models/window_conv1d.h"
#include "network_support.h"

namespace lumora {
namespace {

namespace F = torch::nn::functional;

struct Case {
  int64_t samples, channels, filters, length, kernel;
  int64_t window_floats;  // small values force many chunks of samples
};

class WindowConv1dEquivalence : public ::testing::TestWithParam<Case> {};

// Values and all three gradients against the library's own 1-D convolution.
TEST_P(WindowConv1dEquivalence, MatchesConv1dWithGradients) {
  const Case c = GetParam();
  torch::manual_seed(static_cast<uint64_t>(c.length * 17 + c.kernel));
  const auto input = torch::randn({c.samples, c.channels, c.length});
  const auto weight = torch::randn({c.filters, c.channels, c.kernel}) * 0.3;
  const auto bias = torch::randn({c.filters});
  ASSERT_TRUE(window_conv1d_applies(input, weight));
  testing::expect_same_convolution(
      [&](const torch::Tensor& x, const torch::Tensor& w, const torch::Tensor& b) {
        return window_conv1d(x, w, b, c.window_floats);
      },
      [&](const torch::Tensor& x, const torch::Tensor& w, const torch::Tensor& b) {
        return F::conv1d(x, w, F::Conv1dFuncOptions().bias(b).padding(c.kernel / 2));
      },
      input, weight, bias);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, WindowConv1dEquivalence,
    ::testing::Values(Case{5, 1, 16, 37, 7, 16 << 20},   // one input channel, length not a multiple of the group
                      Case{6, 16, 16, 40, 15, 16 << 20},  // groups of eight, whole
                      Case{7, 3, 4, 29, 31, 500},         // kernel longer than the spectrum, chunks of samples
                      Case{3, 2, 5, 1, 3, 16 << 20},      // one position
                      Case{9, 4, 2, 12, 1, 100}));        // a 1-tap kernel, one sample per chunk

TEST(WindowConv1d, AppliesToCpuFloatWithOddKernelsOnly) {
  const auto x = torch::randn({2, 3, 10});
  EXPECT_TRUE(window_conv1d_applies(x, torch::randn({4, 3, 5})));
  EXPECT_FALSE(window_conv1d_applies(x, torch::randn({4, 3, 4})));  // even kernel
  EXPECT_FALSE(window_conv1d_applies(x, torch::randn({4, 2, 5})));  // channel mismatch
  EXPECT_FALSE(window_conv1d_applies(x.to(torch::kFloat64), torch::randn({4, 3, 5}, torch::kFloat64)));
  EXPECT_FALSE(window_conv1d_applies(torch::randn({0, 3, 10}), torch::randn({4, 3, 5})));  // no samples
  EXPECT_FALSE(window_conv1d_applies(x[0], torch::randn({4, 3, 5})));                      // not 3-D
}

}  // namespace
}  // namespace lumora
