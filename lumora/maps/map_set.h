// The map files of one prediction run, named and placed in one folder:
//   map{suffix}.png / .tif   predicted class of every pixel (PNG in the
//                            palette's colours; GeoTIFF of class ids with a
//                            colour table and category names)
//   probs{suffix}.tif        class probabilities, one float32 band per class
//   gt.png                   the label map in the same colours
//   errors{suffix}.png       test pixels right (green) or wrong (red), other
//                            labelled pixels grey, unlabelled black
//   scene_rgb.png            a true-colour picture of the scene
//   legend.png               one swatch and name per class shown
// `suffix` is "" for one network and "_<routing>" for a class tree.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <torch/types.h>

#include "lumora/maps/georef.h"

namespace lumora::maps {

// Whether this build can write the raster maps (it needs GDAL) and draw the
// legend and training curves (they need Cairo).
bool rasters_available();
bool figures_available();
// The one line printed instead when they cannot.
extern const char* const kNoRastersNotice;
extern const char* const kNoFiguresNotice;

// split.tif: each pixel's role in a run's split as one byte (0 unused,
// 1 train, 2 val, 3 test), with a colour table and the roles' names;
// georeferenced like the maps when `georef` is given. Needs GDAL.
void write_split_raster(const std::string& path, const torch::Tensor& roles, const Georef* georef);

class MapSet {
 public:
  // `num_classes`: ids 0..num_classes-1 the model can give (the colour
  // table's size); `names`: names of classes 1.. (see class_names.h).
  MapSet(std::string out_dir, int64_t num_classes, std::vector<std::string> names,
         std::optional<SceneMetadata> metadata);

  // Each returns the paths it wrote, in order.
  std::vector<std::string> prediction(const std::string& suffix, const torch::Tensor& pred);
  // `probs` (G, H, W): bands for classes 1..G-1.
  std::vector<std::string> probabilities(const std::string& suffix, const torch::Tensor& probs);
  std::vector<std::string> truth(const torch::Tensor& labels);
  std::vector<std::string> errors(const std::string& suffix, const torch::Tensor& pred, const torch::Tensor& labels,
                                  const torch::Tensor& test_mask);
  // `cube` (C, H, W).
  std::vector<std::string> scene(const torch::Tensor& cube);
  // The same from a cube of `bands` bands not held in memory: `read` gives
  // the (n, H, W) bands asked for, in the order asked.
  std::vector<std::string> scene(int64_t bands,
                                 const std::function<torch::Tensor(const std::vector<int64_t>&)>& read);
  // The classes of every map written so far; nothing without Cairo.
  std::vector<std::string> legend();

  const std::string& out_dir() const { return out_dir_; }
  const std::vector<std::string>& names() const { return names_; }

 private:
  std::string file(const std::string& name) const;
  void note_classes(const torch::Tensor& ids);

  std::string out_dir_;
  int64_t num_classes_;
  std::vector<std::string> names_;
  std::optional<SceneMetadata> metadata_;
  std::set<int64_t> shown_;
};

}  // namespace lumora::maps
