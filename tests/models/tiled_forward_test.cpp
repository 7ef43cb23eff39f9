// The network run tile by tile against the same network on the whole scene.
#include "lumora/models/tiled_forward.h"

#include <gtest/gtest.h>
#include <torch/torch.h>

#include "lumora/core/errors.h"

namespace lumora {
namespace {

HyperspectralNet small_net(int64_t bands, int64_t classes, int64_t blocks = 3) {
  torch::manual_seed(11);
  HyperspectralNet net(HyperspectralNetOptions(bands, classes).num_filters(2).num_blocks(blocks).base_filters(4));
  net->eval();
  // Batch statistics as a trained network has them, not the identity of a fresh one.
  for (auto& b : net->named_buffers()) {
    if (b.key().find("running_mean") != std::string::npos) b.value().uniform_(-0.2, 0.2);
    if (b.key().find("running_var") != std::string::npos) b.value().uniform_(0.5, 1.5);
  }
  return net;
}

torch::Tensor smooth_scene(int64_t bands, int64_t h, int64_t w) {
  torch::manual_seed(12);
  // Blocks of similar spectra plus noise, so that the prediction has structure.
  auto coarse = torch::rand({1, bands, (h + 7) / 8, (w + 7) / 8});
  auto up = torch::nn::functional::interpolate(
      coarse, torch::nn::functional::InterpolateFuncOptions().size(std::vector<int64_t>{h, w}).mode(torch::kNearest));
  return up + 0.05 * torch::randn({1, bands, h, w});
}

}  // namespace

TEST(TiledForward, WindowsCoverEveryPixelOnceOnTheSixteenPixelGrid) {
  const int64_t h = 70, w = 45;
  const auto tiles = tile_windows(h, w, 20, 10);  // 20 -> 32 pixels, margin 10 -> 16
  auto covered = torch::zeros({h, w}, torch::kInt32);
  for (const auto& t : tiles) {
    covered.slice(0, t.cy0, t.cy1).slice(1, t.cx0, t.cx1) += 1;
    EXPECT_EQ(t.y0 % 16, 0);
    EXPECT_EQ(t.x0 % 16, 0);
    EXPECT_EQ(t.cy0 % 32, 0);
    EXPECT_EQ(t.y0, std::max<int64_t>(0, t.cy0 - 16));
    EXPECT_EQ(t.y1, std::min<int64_t>(h, t.cy1 + 16));
    EXPECT_EQ(t.x1, std::min<int64_t>(w, t.cx1 + 16));
  }
  EXPECT_EQ(tiles.size(), 3u * 2u);
  EXPECT_TRUE(covered.eq(1).all().item<bool>());
  EXPECT_THROW(tile_windows(h, w, 0, 0), ValueError);
}

TEST(TiledForward, NarrowEdgeRemaindersBorrowTheGridStepBefore) {
  // 70 = 4 x 16 + 6: without a margin the last column of tiles is 6 pixels wide.
  for (const auto& t : tile_windows(70, 70, 16, 0)) {
    EXPECT_GE(t.y1 - t.y0, 16);
    EXPECT_GE(t.x1 - t.x0, 16);
    EXPECT_EQ(t.x0 % 16, 0);
    if (t.cx0 == 64) {
      EXPECT_EQ(t.x0, 48);
    }
  }
  auto net = small_net(8, 3);
  const auto data = smooth_scene(8, 38, 37);
  torch::NoGradGuard no_grad;
  const torch::Tensor tiled = network_logits(*net, data, torch::kCPU, TileOptions().tile(16).overlap(0));
  EXPECT_EQ(tiled.sizes(), (std::vector<int64_t>{1, 3, 38, 37}));
}

TEST(TiledForward, ReceptiveMarginFollowsTheLayers) {
  // 107 pixels through the 2-D encoder and decoder, one per spectral block.
  EXPECT_EQ(receptive_margin(3), round_up_16(110));
  EXPECT_EQ(receptive_margin(0), round_up_16(107));
  EXPECT_EQ(receptive_margin(6), round_up_16(113));
  EXPECT_EQ(round_up_16(112), 112);
  EXPECT_EQ(round_up_16(113), 128);
}

// An input pixel farther than the margin from a tile changes nothing in it:
// the margin really is the reach of the layers (the scene-wide gate aside,
// which the tiles share).
TEST(TiledForward, PixelsBeyondTheMarginDoNotReachTheTile) {
  auto net = small_net(8, 3, 1);
  const int64_t margin = receptive_margin(1);  // 108 -> 112
  const int64_t side = 16 + margin + 16;
  auto data = smooth_scene(8, 32, side);
  torch::NoGradGuard no_grad;
  auto through = [&](const torch::Tensor& x) {
    return net->decoder->forward(net->encoder->forward(net->spectral_3d->forward(net->continuum_removal->forward(x))));
  };
  const torch::Tensor before = through(data).slice(3, 0, 16);
  auto far = data.clone();
  far.slice(3, 16 + margin, side) += 5.0;  // columns at least `margin` beyond the first 16
  EXPECT_TRUE(torch::equal(through(far).slice(3, 0, 16), before));
  auto near = data.clone();
  near.slice(3, 16 + 48, side) += 5.0;
  EXPECT_FALSE(torch::equal(through(near).slice(3, 0, 16), before));
}

TEST(TiledForward, OneTileIsExactlyTheWholeScene) {
  auto net = small_net(8, 4);
  const auto data = smooth_scene(8, 48, 40);
  torch::NoGradGuard no_grad;
  const torch::Tensor whole = net->forward(data);
  EXPECT_TRUE(torch::equal(network_logits(*net, data, torch::kCPU, TileOptions()), whole));
  EXPECT_TRUE(torch::equal(network_logits(*net, data, torch::kCPU, TileOptions().tile(48)), whole));
  EXPECT_FALSE(needs_tiles(48, 40, TileOptions().tile(40)));  // 40 -> 48 covers it
  EXPECT_TRUE(needs_tiles(48, 40, TileOptions().tile(32)));
}

TEST(TiledForward, TilesWithTheReceptiveMarginMatchTheWholeScene) {
  auto net = small_net(8, 4);
  const auto data = smooth_scene(8, 64, 48);
  torch::NoGradGuard no_grad;
  const torch::Tensor whole = net->forward(data);
  const torch::Tensor tiled = network_logits(*net, data, torch::kCPU, TileOptions().tile(16));
  // Only the order of float sums differs (the gate's means, the convolutions' blocking).
  EXPECT_TRUE(torch::allclose(tiled, whole, 1e-4, 1e-5)) << (tiled - whole).abs().max().item<double>();
  // Without a margin the tiles' borders see zeros instead of their neighbours.
  const torch::Tensor bare = network_logits(*net, data, torch::kCPU, TileOptions().tile(16).overlap(0));
  EXPECT_GT((bare - whole).abs().max().item<double>(), 1e-3);
}

}  // namespace lumora
