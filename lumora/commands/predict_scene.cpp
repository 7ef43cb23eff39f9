#include "lumora/commands/predict_scene.h"

#include <fmt/format.h>
#include <torch/torch.h>

#include <chrono>
#include <iostream>

#include "lumora/commands/run_outputs.h"
#include "lumora/core/elapsed.h"
#include "lumora/datasets/cubeset.h"
#include "lumora/io/matfile.h"

namespace lumora::commands {
namespace {

std::vector<int64_t> labelled_classes(const torch::Tensor& labels) {
  const torch::Tensor ids = std::get<0>(torch::_unique(labels.masked_select(labels.gt(0))));
  const torch::Tensor cpu = ids.to(torch::kCPU, torch::kLong).contiguous();
  return std::vector<int64_t>(cpu.data_ptr<int64_t>(), cpu.data_ptr<int64_t>() + cpu.numel());
}

std::shared_ptr<const SpilledCube> spill(const PredictSceneOptions& o, const std::optional<std::string>& key) {
  const auto start = std::chrono::steady_clock::now();
  auto cube = std::make_shared<const SpilledCube>(o.data, o.min_max, key);
  std::cout << fmt::format("Cube read into a temporary copy ({:.1f} MB) in {:.1f}s: the scene is predicted tile by "
                           "tile, never held whole",
                           static_cast<double>(cube->file_bytes()) / 1e6, seconds_since(start))
            << std::endl;
  return cube;
}

}  // namespace

PredictScene::PredictScene(const PredictSceneOptions& o) {
  std::optional<std::string> key;
  if (o.gt) {
    // Without the cube while tiles are possible: its extents come from the file.
    const LabelledScene labelled(SceneOptions(o.data, *o.gt)
                                     .protocol(o.split)
                                     .use_fp16(o.min_max)
                                     .load_cube(o.tiling.tile() <= 0));
    print_split_summary(labelled, Split::test);
    labels = labelled.labels;
    test_mask = labelled.mask(Split::test);
    classes = labelled_classes(labels);
    test_pixels = labelled.test_coords.size(0);
    bands = labelled.num_bands, height = labels.size(0), width = labels.size(1);
    cube_ = labelled.data;
    key = labelled.data_key;
  } else {
    const MatFile file(o.data);
    key = cube_variable(file, std::nullopt);
    const std::vector<int64_t> dims = stored_cube_dims(file, *key);
    height = dims[0], width = dims[1], bands = dims[2];
    std::cout << "scene: " << height << " x " << width << " pixels, " << bands
              << " bands; no label map, so nothing is scored" << std::endl;
  }
  if (needs_tiles(height, width, o.tiling)) {
    cube_ = torch::Tensor();
    spilled_ = spill(o, key);
  } else if (!cube_.defined()) {
    cube_ = load_scene_cube(o.data, o.min_max, key);
  }
}

WindowReader PredictScene::windows() const {
  if (spilled_) {
    auto cube = spilled_;
    return [cube](int64_t y0, int64_t y1, int64_t x0, int64_t x1) { return cube->window(y0, y1, x0, x1).unsqueeze(0); };
  }
  return tensor_windows(cube_.unsqueeze(0));
}

torch::Tensor PredictScene::band_planes(const std::vector<int64_t>& which) const {
  if (spilled_) return spilled_->band_planes(which);
  return cube_.index_select(0, torch::tensor(which, torch::kInt64));
}

}  // namespace lumora::commands
