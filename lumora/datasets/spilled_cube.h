// A scene's cube kept in a temporary file instead of memory, for scenes
// larger than memory: the cube is decoded once, a piece at a time, into
// float32 values in its file's own (column-major) order, gathering the
// normalisation statistics on the way; windows are then read and normalised
// on demand. The file is unlinked as soon as it is made, so nothing stays
// behind, however the program ends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <torch/types.h>

#include "lumora/datasets/cubeset.h"

namespace lumora {

class SpilledCube {
 public:
  // The cube of `data_path` (the variable `data_key`, or the one a scene
  // would use), normalised as a scene's cube is: by min and range when
  // `min_max`, else by mean and standard deviation. The statistics are taken
  // in double precision, so normalised values may differ from a loaded
  // scene's in the last bit. The copy goes to $TMPDIR (else /tmp).
  SpilledCube(const std::string& data_path, bool min_max, const std::optional<std::string>& data_key = std::nullopt);
  ~SpilledCube();
  SpilledCube(const SpilledCube&) = delete;
  SpilledCube& operator=(const SpilledCube&) = delete;

  int64_t bands() const { return bands_; }
  int64_t height() const { return height_; }
  int64_t width() const { return width_; }
  const CubeScale& scale() const { return scale_; }
  // Bytes the temporary copy takes on disk.
  int64_t file_bytes() const { return bands_ * height_ * width_ * 4; }

  // The normalised (C, y1 - y0, x1 - x0) float32 window.
  torch::Tensor window(int64_t y0, int64_t y1, int64_t x0, int64_t x1) const;
  // Whole normalised bands (n, H, W) float32.
  torch::Tensor band_planes(const std::vector<int64_t>& which) const;

 private:
  void read_at(int64_t value_offset, float* out, int64_t count) const;

  int fd_ = -1;
  std::string path_;
  int64_t bands_ = 0, height_ = 0, width_ = 0;
  CubeScale scale_;
};

}  // namespace lumora
