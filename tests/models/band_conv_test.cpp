#include <gtest/gtest.h>

#include <torch/torch.h>

#include <algorithm>
#include <string>
#include <tuple>

#include "lumora/models/band_conv.h"
#include "network_support.h"

namespace lumora {
namespace {

namespace F = torch::nn::functional;

struct Case {
  int64_t batch, channels, filters, depth, height, width, kd, kh, kw;
  int64_t window_floats;  // small values force many chunks
};

class BandConvEquivalence : public ::testing::TestWithParam<Case> {};

// Values and all three gradients against the library's own 3-D convolution.
TEST_P(BandConvEquivalence, MatchesConv3dWithGradients) {
  const Case c = GetParam();
  torch::manual_seed(static_cast<uint64_t>(c.depth * 31 + c.channels));
  const auto input = torch::randn({c.batch, c.channels, c.depth, c.height, c.width});
  const auto weight = torch::randn({c.filters, c.channels, c.kd, c.kh, c.kw}) * 0.3;
  const auto bias = torch::randn({c.filters});
  ASSERT_TRUE(band_conv_applies(input, weight));
  testing::expect_same_convolution(
      [&](const torch::Tensor& x, const torch::Tensor& w, const torch::Tensor& b) {
        return band_conv3d(x, w, b, c.window_floats);
      },
      [&](const torch::Tensor& x, const torch::Tensor& w, const torch::Tensor& b) {
        return F::conv3d(x, w, F::Conv3dFuncOptions().bias(b).padding({c.kd / 2, c.kh / 2, c.kw / 2}));
      },
      input, weight, bias);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, BandConvEquivalence,
    ::testing::Values(Case{2, 1, 4, 57, 5, 6, 7, 3, 3, 16 << 20},  // odd depth: the last group half outside
                      Case{1, 3, 4, 20, 7, 4, 7, 3, 3, 400},       // one group per chunk
                      Case{2, 8, 8, 31, 6, 5, 7, 3, 3, 5000},      // chunks of several groups, uneven end
                      Case{1, 2, 3, 3, 4, 4, 7, 3, 3, 16 << 20},   // fewer bands than the kernel reaches
                      Case{1, 2, 3, 1, 3, 3, 5, 1, 3, 16 << 20},   // one band
                      Case{1, 2, 5, 12, 5, 7, 3, 5, 1, 1000}));    // other extents

TEST(BandConv, AppliesToCpuFloatWithOddKernelsOnly) {
  const auto x = torch::randn({1, 2, 4, 3, 3});
  EXPECT_TRUE(band_conv_applies(x, torch::randn({3, 2, 7, 3, 3})));
  EXPECT_FALSE(band_conv_applies(x, torch::randn({3, 2, 4, 3, 3})));   // even band extent
  EXPECT_FALSE(band_conv_applies(x, torch::randn({3, 2, 7, 3, 2})));   // even column extent
  EXPECT_FALSE(band_conv_applies(x, torch::randn({3, 1, 7, 3, 3})));   // channel mismatch
  EXPECT_FALSE(band_conv_applies(x.to(torch::kFloat64), torch::randn({3, 2, 7, 3, 3}, torch::kFloat64)));
  EXPECT_FALSE(band_conv_applies(x[0], torch::randn({3, 2, 7, 3, 3})));  // not 5-D
}

// A non-contiguous input (a channels-last 3-D one) gives the same result.
TEST(BandConv, InputLayoutDoesNotMatter) {
  torch::manual_seed(3);
  torch::NoGradGuard no_grad;
  const auto x = torch::randn({1, 3, 9, 5, 4});
  const auto w = torch::randn({2, 3, 7, 3, 3});
  const auto plain = band_conv3d(x, w, torch::Tensor());
  const auto other = band_conv3d(x.contiguous(at::MemoryFormat::ChannelsLast3d), w, torch::Tensor());
  EXPECT_TRUE(torch::equal(plain, other));
}

// The evaluation form clamps in the same pass, for even and odd band counts,
// and refuses to run where gradients are being recorded.
TEST(BandConv, ReluFormEqualsTheConvolutionClamped) {
  torch::manual_seed(4);
  const auto w = torch::randn({3, 2, 7, 3, 3});
  const auto b = torch::randn({3});
  for (int64_t depth : {10, 11, 1}) {
    const auto x = torch::randn({2, 2, depth, 4, 5});
    torch::NoGradGuard no_grad;
    EXPECT_TRUE(torch::equal(band_conv3d_relu(x, w, b), torch::relu(band_conv3d(x, w, b)))) << depth;
  }
  EXPECT_THROW(band_conv3d_relu(torch::randn({1, 2, 4, 3, 3}), w, b), c10::Error);
}

}  // namespace
}  // namespace lumora
