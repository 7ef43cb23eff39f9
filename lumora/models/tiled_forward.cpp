#include "lumora/models/tiled_forward.h"

#include <fmt/format.h>
#include <torch/torch.h>

#include <algorithm>

#include "lumora/core/errors.h"
#include "lumora/core/stop_signal.h"
#include "lumora/core/torch_compat.h"

namespace lumora {

namespace {
const char* const kTileStop = "during tiled prediction; nothing was written";
}  // namespace

int64_t round_up_16(int64_t pixels) { return (std::max<int64_t>(pixels, 0) + 15) / 16 * 16; }

int64_t receptive_margin(int64_t num_blocks) {
  // Two 3 x 3 convolutions per level at scales 1, 2, 4, 8 down (each pooling
  // adding its own scale), two at 16 in the bottleneck, two per level back up.
  int64_t reach = std::max<int64_t>(num_blocks, 0);
  for (int64_t scale = 1; scale <= 8; scale *= 2) reach += 2 * scale + scale;
  reach += 2 * 16;
  for (int64_t scale = 8; scale >= 1; scale /= 2) reach += 2 * scale;
  return round_up_16(reach);
}

std::vector<TileWindow> tile_windows(int64_t height, int64_t width, int64_t tile, int64_t overlap) {
  if (tile < 1) throw ValueError("tile size must be at least 1 pixel, got " + std::to_string(tile));
  const int64_t step = round_up_16(tile), margin = round_up_16(overlap);
  std::vector<TileWindow> out;
  for (int64_t y = 0; y < height; y += step)
    for (int64_t x = 0; x < width; x += step) {
      TileWindow t{};
      t.cy0 = y, t.cy1 = std::min(height, y + step), t.cx0 = x, t.cx1 = std::min(width, x + step);
      t.y0 = std::max<int64_t>(0, y - margin), t.y1 = std::min(height, t.cy1 + margin);
      t.x0 = std::max<int64_t>(0, x - margin), t.x1 = std::min(width, t.cx1 + margin);
      // The network pools four times: a window needs 16 pixels a side, taken
      // one grid step back where a narrow remainder at the scene's edge lacks them.
      if (t.y1 - t.y0 < 16) t.y0 = std::max<int64_t>(0, t.y0 - 16);
      if (t.x1 - t.x0 < 16) t.x0 = std::max<int64_t>(0, t.x0 - 16);
      out.push_back(t);
    }
  return out;
}

std::string tiling_text(const TileOptions& options, int64_t height, int64_t width, int64_t num_blocks) {
  if (options.tile() <= 0) return "";
  const int64_t step = round_up_16(options.tile());
  const int64_t margin = tile_margin(options, num_blocks);
  const size_t count = tile_windows(height, width, step, margin).size();
  if (count == 1) return fmt::format("Tiles: one {0} x {0} tile covers the whole scene", step);
  return fmt::format("Tiles: {} of {} x {} pixels, each read with a {}-pixel margin{}", count, step, step, margin,
                     options.overlap() < 0 ? " (the network's receptive field)" : "");
}

bool needs_tiles(int64_t height, int64_t width, const TileOptions& options) {
  if (options.tile() <= 0) return false;
  const int64_t step = round_up_16(options.tile());
  return height > step || width > step;
}

WindowReader tensor_windows(const torch::Tensor& data) {
  return [data](int64_t y0, int64_t y1, int64_t x0, int64_t x1) {
    return data.slice(2, y0, y1).slice(3, x0, x1);
  };
}

torch::Tensor read_window(const WindowReader& read, const TileWindow& t, const torch::Device& device) {
  return read(t.y0, t.y1, t.x0, t.x1).to(device);
}

torch::Tensor tile_centre(const torch::Tensor& x, const TileWindow& t) {
  const int64_t h = x.dim() - 2, w = x.dim() - 1;
  return x.slice(h, t.cy0 - t.y0, t.cy1 - t.y0).slice(w, t.cx0 - t.x0, t.cx1 - t.x0);
}

int64_t tile_margin(const TileOptions& options, int64_t num_blocks) {
  return options.overlap() < 0 ? receptive_margin(num_blocks) : round_up_16(options.overlap());
}

namespace {

// Rows of a window the spectral stack takes at once, at the least.
constexpr int64_t kStripRows = 64;

// How far (in pixels) the spectral blocks' spatial kernels reach.
int64_t spectral_reach(const HyperspectralNetImpl& net) {
  const auto& kernel = *net.spectral_3d->options.kernel_size();
  return net.options.num_blocks() * (std::max(kernel[1], kernel[2]) / 2);
}

// The spectral stack's features (B, channels, h, w) of a window, computed in
// strips of rows. Up to the gate every layer is per pixel but the blocks'
// small spatial kernels, so a strip read with their reach above and below
// gives its rows' features; the stack's many large temporaries then cover
// one strip instead of the whole window.
torch::Tensor spectral_features(HyperspectralNetImpl& net, const torch::Tensor& window) {
  auto features = [&](const torch::Tensor& x) { return net.spectral_3d->forward(net.continuum_removal->forward(x)); };
  const int64_t h = window.size(2), reach = spectral_reach(net);
  const int64_t strips = h / kStripRows;  // of equal height
  if (strips < 2) return features(window);
  torch::Tensor out;
  for (int64_t i = 0; i < strips; ++i) {
    const int64_t r0 = h * i / strips, r1 = h * (i + 1) / strips;
    const int64_t a = std::max<int64_t>(0, r0 - reach), b = std::min(h, r1 + reach);
    const torch::Tensor strip = features(window.slice(2, a, b));
    if (!out.defined()) out = torch::empty({strip.size(0), strip.size(1), h, strip.size(3)}, strip.options());
    out.slice(2, r0, r1).copy_(strip.slice(2, r0 - a, r1 - a));
  }
  return out;
}

}  // namespace

torch::Tensor scene_gate(HyperspectralNetImpl& net, const WindowReader& read, int64_t height, int64_t width,
                         const std::vector<TileWindow>& tiles, const torch::Device& device) {
  torch::NoGradGuard no_grad;
  // Each centre needs only the spectral blocks' reach around it.
  const int64_t reach = spectral_reach(net);
  torch::Tensor sums;
  for (TileWindow t : tiles) {
    stop_point(kTileStop);
    t.y0 = std::max<int64_t>(0, t.cy0 - reach), t.y1 = std::min(height, t.cy1 + reach);
    t.x0 = std::max<int64_t>(0, t.cx0 - reach), t.x1 = std::min(width, t.cx1 + reach);
    const torch::Tensor features = spectral_features(net, read_window(read, t, device));
    const torch::Tensor part = tile_centre(features, t).sum({2, 3}, /*keepdim=*/false, torch::kFloat64).cpu();
    sums = sums.defined() ? sums + part : part;
    compat::empty_cuda_cache();
  }
  const int64_t b = sums.size(0), channels = sums.size(1);
  const torch::Tensor means = (sums / static_cast<double>(height * width)).to(torch::kFloat32).to(device);
  return net.chanweight->fc->forward(means).view({b, channels, 1, 1});
}

torch::Tensor gated_logits(HyperspectralNetImpl& net, const torch::Tensor& window, const torch::Tensor& gate) {
  torch::NoGradGuard no_grad;
  torch::Tensor features = spectral_features(net, window);
  // Gated in place unless the features are the window itself (no blocks, no removal).
  features = features.is_alias_of(window) ? features * gate : features.mul_(gate);
  return net.with_spectral_head(window, net.decoder->forward(net.encoder->forward(features)));
}

torch::Tensor network_logits(HyperspectralNetImpl& net, const WindowReader& read, int64_t height, int64_t width,
                             const torch::Device& device, const TileOptions& options) {
  torch::NoGradGuard no_grad;
  if (!needs_tiles(height, width, options))
    return net.forward(read(0, height, 0, width).to(device)).to(torch::kCPU, torch::kFloat32);

  const std::vector<TileWindow> tiles = tile_windows(height, width, options.tile(), tile_margin(options, net.options.num_blocks()));
  const torch::Tensor gate = scene_gate(net, read, height, width, tiles, device);
  torch::Tensor out;
  for (const TileWindow& t : tiles) {
    stop_point(kTileStop);
    const torch::Tensor logits = gated_logits(net, read_window(read, t, device), gate);
    if (!out.defined()) out = torch::empty({logits.size(0), logits.size(1), height, width}, torch::kFloat32);
    out.slice(2, t.cy0, t.cy1).slice(3, t.cx0, t.cx1).copy_(tile_centre(logits, t));
    compat::empty_cuda_cache();
  }
  return out;
}

torch::Tensor network_logits(HyperspectralNetImpl& net, const torch::Tensor& data, const torch::Device& device,
                             const TileOptions& options) {
  return network_logits(net, tensor_windows(data), data.size(2), data.size(3), device, options);
}

}  // namespace lumora
