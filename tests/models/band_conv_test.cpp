#include <gtest/gtest.h>

#include <torch/torch.h>

#include <algorithm>
#include <string>
#include <tuple>

#include "lumora/models/band_conv.h"

namespace lumora {
namespace {

namespace F = torch::nn::functional;

void expect_close(const torch::Tensor& a, const torch::Tensor& b, const std::string& what, double tol) {
  ASSERT_EQ(a.sizes(), b.sizes()) << what;
  const double scale = std::max(1.0, b.abs().max().item<double>());
  EXPECT_LE((a - b).abs().max().item<double>(), tol * scale) << what;
}

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
  const auto w = torch::randn({c.filters, c.channels, c.kd, c.kh, c.kw}) * 0.3;
  const auto bias = torch::randn({c.filters});
  ASSERT_TRUE(band_conv_applies(input, w));
  auto xa = input.clone().requires_grad_(), xb = input.clone().requires_grad_();
  auto wa = w.clone().requires_grad_(), wb = w.clone().requires_grad_();
  auto ba = bias.clone().requires_grad_(), bb = bias.clone().requires_grad_();
  const auto ya = band_conv3d(xa, wa, ba, c.window_floats);
  const auto yb = F::conv3d(xb, wb, F::Conv3dFuncOptions().bias(bb).padding({c.kd / 2, c.kh / 2, c.kw / 2}));
  EXPECT_TRUE(ya.is_contiguous());
  expect_close(ya, yb, "output", 1e-5);
  const auto g = torch::randn_like(ya);
  ya.backward(g);
  yb.backward(g);
  expect_close(xa.grad(), xb.grad(), "input gradient", 1e-5);
  expect_close(wa.grad(), wb.grad(), "weight gradient", 1e-4);
  expect_close(ba.grad(), bb.grad(), "bias gradient", 1e-5);
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
