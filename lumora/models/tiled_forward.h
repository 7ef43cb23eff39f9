// Running the segmentation network over a scene tile by tile, so that its
// activations never cover more than one tile plus its margin. Each tile is
// read with a margin of `overlap` pixels on every side where the scene has
// them, and only its centre is kept. Tiles and margins are whole multiples
// of 16 pixels, so every tile's pooling grid is the scene's own; the
// squeeze-and-excitation gate, which averages over the whole input, is
// computed from the whole scene in a first pass. With a margin as wide as
// the network's receptive field the tiled logits equal the whole-scene
// logits up to float rounding (where the scene's size is a multiple of 16).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <torch/arg.h>
#include <torch/types.h>

#include "lumora/models/cubeseg.h"

namespace lumora {

struct TileOptions {
  // Pixels per tile side; 0 runs the whole scene as one tile.
  TORCH_ARG(int64_t, tile) = 0;
  // Margin read around each tile; negative: the network's receptive margin.
  TORCH_ARG(int64_t, overlap) = -1;
};

// `pixels` rounded up to a multiple of 16.
int64_t round_up_16(int64_t pixels);

// How far (in pixels) an input pixel can reach an output pixel through a
// HyperspectralNet with `num_blocks` spectral blocks: one per 3 x 3 spectral
// block plus 107 through the 2-D encoder and decoder; rounded up to 16.
int64_t receptive_margin(int64_t num_blocks);

// One tile: the window read [y0, y1) x [x0, x1) and the centre kept.
struct TileWindow {
  int64_t y0, y1, x0, x1;
  int64_t cy0, cy1, cx0, cx1;
};

// The tiles of a height x width scene: centres of `tile` (rounded up to 16)
// pixels a side in row-major order, windows reaching `overlap` (rounded up
// to 16) further where the scene allows, and at least 16 pixels a side
// where the scene has them.
std::vector<TileWindow> tile_windows(int64_t height, int64_t width, int64_t tile, int64_t overlap);

// The line a command prints about its tiling of a height x width scene by
// networks of `num_blocks` spectral blocks ("" when it runs as one tile).
std::string tiling_text(const TileOptions& options, int64_t height, int64_t width, int64_t num_blocks);

// Whether `options` cuts a height x width scene into more than one tile.
bool needs_tiles(int64_t height, int64_t width, const TileOptions& options);

// Reads rows [y0, y1) x columns [x0, x1) of a scene's normalised cube:
// (B, C, y1 - y0, x1 - x0) float32 on the CPU. A scene need not be in memory
// as a whole.
using WindowReader = std::function<torch::Tensor(int64_t y0, int64_t y1, int64_t x0, int64_t x1)>;

// The windows of `data` (B, C, H, W), held in memory.
WindowReader tensor_windows(const torch::Tensor& data);

// The window a tile reads, on `device`.
torch::Tensor read_window(const WindowReader& read, const TileWindow& t, const torch::Device& device);
// The part of a window-sized (..., h, w) tensor that is the tile's centre.
torch::Tensor tile_centre(const torch::Tensor& x, const TileWindow& t);

// The margin tiles are read with for networks of `num_blocks` spectral
// blocks: `options`' overlap rounded up to 16, else their receptive margin.
int64_t tile_margin(const TileOptions& options, int64_t num_blocks);

// The squeeze-and-excitation gate (B, channels, 1, 1) of `net` (in
// evaluation mode) on a height x width scene: from the scene-wide channel
// means of its spectral stack, gathered tile by tile over `tiles`.
torch::Tensor scene_gate(HyperspectralNetImpl& net, const WindowReader& read, int64_t height, int64_t width,
                         const std::vector<TileWindow>& tiles, const torch::Device& device);

// The logits (B, K, h, w) of `net` on one window (on its device) with the
// scene's gate in place of the window's own.
torch::Tensor gated_logits(HyperspectralNetImpl& net, const torch::Tensor& window, const torch::Tensor& gate);

// The logits (B, K, H, W), CPU float32, of `net` (in evaluation mode) on a
// height x width scene. One tile: exactly net->forward on the whole scene.
torch::Tensor network_logits(HyperspectralNetImpl& net, const WindowReader& read, int64_t height, int64_t width,
                             const torch::Device& device, const TileOptions& options);
// The same on `data` (B, C, H, W) in memory.
torch::Tensor network_logits(HyperspectralNetImpl& net, const torch::Tensor& data, const torch::Device& device,
                             const TileOptions& options);

}  // namespace lumora
