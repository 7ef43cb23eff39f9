#include <gtest/gtest.h>

#include <torch/torch.h>

#include "lumora/core/errors.h"
#include "lumora/core/state_dict.h"
#include "lumora/models/downstage.h"
#include "lumora/models/upstage.h"
#include "network_support.h"

namespace lumora {
namespace {

using testing::add_conv_block;
using testing::count_parameters;
using testing::entries_of;
using testing::Entries;

namespace F = torch::nn::functional;

// Skips and bottleneck as the encoder gives them for an H x W input.
EncoderOutput fake_encoding(int64_t f, int64_t h, int64_t w, int64_t batch = 1) {
  EncoderOutput out;
  for (int i = 0; i < 4; ++i) {
    out.skips.push_back(torch::randn({batch, f << i, h, w}));
    h /= 2;
    w /= 2;
  }
  out.bottleneck = torch::randn({batch, 16 * f, h, w});
  return out;
}

TEST(Decoder2D, KeysShapesAndParameterCount) {
  Decoder2D d(Decoder2DOptions(17));
  EXPECT_EQ(count_parameters(*d), 3050321);
  const int64_t f = 32;
  Entries expected;
  const std::vector<int64_t> widths{f, 2 * f, 4 * f, 8 * f, 16 * f};
  for (int level = 4; level >= 1; --level) {
    const std::string n = std::to_string(level);
    expected.push_back({"up" + n + ".weight", {widths[level], widths[level - 1], 2, 2}});
    expected.push_back({"up" + n + ".bias", {widths[level - 1]}});
    add_conv_block(expected, "dec" + n + ".", widths[level], widths[level - 1]);
  }
  expected.push_back({"final.weight", {17, f, 1, 1}});
  expected.push_back({"final.bias", {17}});
  EXPECT_EQ(entries_of(state_dict(*d)), expected);
  // Encoder and decoder blocks are one class.
  EXPECT_NE(d->dec1->block[0]->as<torch::nn::Conv2d>(), nullptr);
  EXPECT_DOUBLE_EQ(d->dec4->options.dropout(), 0.3);
}

TEST(Decoder2D, MatchSizeReturnsTheSameTensorWhenSizesAgree) {
  const auto x = torch::randn({1, 3, 8, 8});
  const auto same = Decoder2DImpl::_match_size(x, torch::empty({1, 5, 8, 8}));
  EXPECT_TRUE(same.is_same(x));
  const auto resized = Decoder2DImpl::_match_size(x, torch::empty({1, 5, 9, 7}));
  EXPECT_EQ(resized.sizes(), (std::vector<int64_t>{1, 3, 9, 7}));
  const auto expected = F::interpolate(
      x, F::InterpolateFuncOptions().size(std::vector<int64_t>{9, 7}).mode(torch::kBilinear).align_corners(false));
  EXPECT_TRUE(torch::equal(resized, expected));
}

// The decoder's result equals the algorithm written out, with bilinear
// resizing exactly at the levels where doubling misses the skip size.
torch::Tensor by_hand(Decoder2D& d, const EncoderOutput& enc, const std::vector<bool>& resize) {
  auto level = [&](torch::nn::ConvTranspose2d& up, ConvBlock& dec, const torch::Tensor& x, const torch::Tensor& skip,
                   bool r) {
    auto u = up->forward(x);
    EXPECT_EQ(r, u.sizes().slice(2) != skip.sizes().slice(2));
    if (r)
      u = F::interpolate(u, F::InterpolateFuncOptions()
                                .size(std::vector<int64_t>{skip.size(2), skip.size(3)})
                                .mode(torch::kBilinear)
                                .align_corners(false));
    return dec->forward(torch::cat({u, skip}, 1));
  };
  auto x = level(d->up4, d->dec4, enc.bottleneck, enc.skips[3], resize[3]);
  x = level(d->up3, d->dec3, x, enc.skips[2], resize[2]);
  x = level(d->up2, d->dec2, x, enc.skips[1], resize[1]);
  x = level(d->up1, d->dec1, x, enc.skips[0], resize[0]);
  return d->final->forward(x);
}

TEST(Decoder2D, At145OnlyTheFinestLevelIsResized) {
  torch::manual_seed(6);
  Decoder2D d(Decoder2DOptions(17).base_filters(4));
  d->eval();
  torch::NoGradGuard no_grad;
  const auto enc = fake_encoding(4, 145, 145);
  const auto y = d->forward(enc);
  EXPECT_EQ(y.sizes(), (std::vector<int64_t>{1, 17, 145, 145}));
  EXPECT_TRUE(torch::allclose(y, by_hand(d, enc, {true, false, false, false}), 1e-5, 1e-6));
}

TEST(Decoder2D, At20OnlyTheThirdLevelIsResized) {
  torch::manual_seed(7);
  Decoder2D d(Decoder2DOptions(10).base_filters(4));
  d->eval();
  torch::NoGradGuard no_grad;
  const auto enc = fake_encoding(4, 20, 20, 2);
  const auto y = d->forward(enc.bottleneck, enc.skips);
  EXPECT_EQ(y.sizes(), (std::vector<int64_t>{2, 10, 20, 20}));
  EXPECT_TRUE(torch::allclose(y, by_hand(d, enc, {false, false, true, false}), 1e-5, 1e-6));
}

TEST(Decoder2D, MultiplesOfSixteenNeedNoResizing) {
  torch::manual_seed(9);
  Decoder2D d(Decoder2DOptions(3).base_filters(2));
  d->eval();
  torch::NoGradGuard no_grad;
  const auto enc = fake_encoding(2, 32, 48);
  const auto y = d->forward(enc);
  EXPECT_EQ(y.sizes(), (std::vector<int64_t>{1, 3, 32, 48}));
  EXPECT_TRUE(torch::allclose(y, by_hand(d, enc, {false, false, false, false}), 1e-5, 1e-6));
}

TEST(Decoder2D, FollowsTheEncoderAtOddSizes) {
  torch::manual_seed(10);
  Encoder2D e(Encoder2DOptions(3).base_filters(2));
  Decoder2D d(Decoder2DOptions(5).base_filters(2));
  e->eval();
  d->eval();
  torch::NoGradGuard no_grad;
  for (auto [h, w] : std::vector<std::pair<int64_t, int64_t>>{{16, 16}, {17, 31}, {23, 40}}) {
    const auto y = d->forward(e->forward(torch::randn({1, 3, h, w})));
    EXPECT_EQ(y.sizes(), (std::vector<int64_t>{1, 5, h, w}));
  }
}

TEST(Decoder2D, RejectsOtherSkipCountsBeforeAnyLayer) {
  Decoder2D d(Decoder2DOptions(3).base_filters(2));
  auto enc = fake_encoding(2, 16, 16);
  auto three = enc.skips;
  three.pop_back();
  try {
    d->forward(enc.bottleneck, three);
    FAIL() << "three skips accepted";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "Decoder2D expects 4 skip maps (e1, e2, e3, e4), got 3");
  }
  auto five = enc.skips;
  five.push_back(enc.skips[0]);
  EXPECT_THROW(d->forward(enc.bottleneck, five), ValueError);
  // A wrong bottleneck would fail in up4; a wrong skip count is reported first.
  EXPECT_THROW(d->forward(torch::randn({1, 7, 1, 1}), three), ValueError);
  EXPECT_THROW(d->forward(torch::randn({32, 1, 1}), enc.skips), ValueError);
}

}  // namespace
}  // namespace lumora
