// The scene a prediction runs on. Its cube is held in memory, or, when the
// scene is cut into several tiles, read window by window from a temporary
// copy, so that no whole-scene cube is ever held. With a label map come the
// labels and the test pixels of the split to score.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <torch/types.h>

#include "lumora/datasets/spilled_cube.h"
#include "lumora/datasets/split_protocol.h"
#include "lumora/models/tiled_forward.h"

namespace lumora::commands {

struct PredictSceneOptions {
  std::string data;
  std::optional<std::string> gt;  // scored when set ("" with a split of given maps: its test map)
  SplitProtocol split;  // the split whose test pixels are scored
  bool min_max = false;  // normalised by min and range instead of mean and deviation
  TileOptions tiling;
};

class PredictScene {
 public:
  // Reads the scene and prints what it holds (its size, or the test split).
  explicit PredictScene(const PredictSceneOptions& options);

  int64_t bands = 0, height = 0, width = 0;
  torch::Tensor labels;          // (H, W) int64, undefined without a label map
  torch::Tensor test_mask;       // (H, W) labels of the test pixels, 0 elsewhere
  std::vector<int64_t> classes;  // labelled class ids, increasing
  int64_t test_pixels = 0;

  // Whether the cube is read tile by tile instead of held.
  bool tiled() const { return spilled_ != nullptr; }
  // The normalised (C, H, W) cube; held only when not tiled().
  const torch::Tensor& cube() const { return cube_; }
  // Windows (1, C, h, w) of the normalised cube.
  WindowReader windows() const;
  // Whole normalised bands (n, H, W).
  torch::Tensor band_planes(const std::vector<int64_t>& which) const;

 private:
  torch::Tensor cube_;
  std::shared_ptr<const SpilledCube> spilled_;
};

}  // namespace lumora::commands
