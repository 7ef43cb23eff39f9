// The cascade over a scene tile by tile, every routing mode at once, for
// scenes larger than memory. Each tile's window is read once, each node's
// ensemble runs on it once for all modes, and only the tile's centre of each
// mode's result is kept. Every member's squeeze-and-excitation gate comes
// from a first pass over the whole scene (see tiled_forward.h), so a tile
// sees what the whole scene would show it. Memory holds one window's work
// and the per-pixel results, never the scene's cube or its activations.
#pragma once

#include <cstdint>
#include <vector>

#include <torch/arg.h>
#include <torch/types.h>

#include "lumora/models/tiled_forward.h"
#include "lumora/rssp/cascader.h"

namespace lumora {

struct TiledCascadeOptions {
  TORCH_ARG(TileOptions, tiling) = TileOptions();
  // Keep each mode's whole distribution, not only its arg-max.
  TORCH_ARG(bool, keep_distributions) = false;
  TORCH_ARG(CascadeObserverPtr, observer) = nullptr;
};

// One routing mode's result over the whole scene.
struct RoutedPrediction {
  torch::Tensor labels;        // (H, W) arg-max class ids, int16 (int32 past 32767 classes)
  torch::Tensor distribution;  // (G, H, W) float32, when kept; else undefined
};

// The cascade's results on a height x width scene read through `read`, one
// per entry of `routings`, in that order; the values cascade_distribution
// gives each tile, the tiles' centres put together. `encoder` may be null
// when every mode is "forest".
std::vector<RoutedPrediction> tiled_cascade(const TreeNode& tree, const TrainedModels& trained_models,
                                            const WindowReader& read, int64_t height, int64_t width,
                                            SpectralSSMEncoder* encoder, const torch::Device& device,
                                            int64_t num_global_classes, const std::vector<Routing>& routings,
                                            const TiledCascadeOptions& options = {});

}  // namespace lumora
