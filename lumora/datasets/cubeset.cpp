#include "lumora/datasets/cubeset.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "lumora/core/errors.h"
#include "lumora/core/format.h"
#include "lumora/io/label_map.h"

namespace lumora {

std::vector<int64_t> stored_cube_dims(const MatFile& data_file, const std::string& data_key) {
  const MatVariableInfo& v = data_file.info(data_key);
  if (!v.numeric)
    throw TypeError("variable '" + data_key + "' in '" + data_file.path() + "' is of class " + v.mat_class +
                    " and cannot be used as a cube");
  if (v.dims.size() != 3)
    throw ValueError("expected a 3-D cube (H, W, C) in variable '" + data_key + "' of '" + data_file.path() +
                     "', got " + std::to_string(v.dims.size()) + " dimensions");
  return v.dims;
}

namespace {

// The last variable of `ndim` dimensions (as key detection counts them), or
// "" when there is none; `kept` gets every name looked at (names starting
// with "__" are the reader's own and skipped).
std::string last_variable(const MatFile& file, int64_t ndim, std::vector<std::string>& kept) {
  std::string key;
  for (const auto& v : file.variables()) {
    if (v.name.rfind("__", 0) == 0) continue;
    kept.push_back(v.name);
    if (v.detection_ndim() == ndim) key = v.name;
  }
  return key;
}

// The data file's variables in order, then the label file's new ones; a name
// both files hold takes the label file's variable at the data file's place.
std::vector<MatVariableInfo> pool_variables(const MatFile& data_file, const MatFile& gt_file) {
  std::vector<MatVariableInfo> pooled;
  for (const auto& v : data_file.variables()) pooled.push_back(gt_file.has(v.name) ? gt_file.info(v.name) : v);
  for (const auto& v : gt_file.variables())
    if (!data_file.has(v.name)) pooled.push_back(v);
  return pooled;
}

void check_finite(const torch::Tensor& cube, const std::string& path) {
  check_bad_values(cube.numel() - torch::isfinite(cube).sum().item<int64_t>(), path);
}

// One statistic for the whole cube, in single precision, in place. NaN and
// infinity propagate into the statistics, so the exact count of bad values
// is only taken when a statistic is not finite.
void normalise(torch::Tensor& cube, bool min_max, const std::string& path) {
  CubeScale scale;
  if (min_max) {
    scale.offset = cube.min().item<float>();
    const float hi = cube.max().item<float>();
    scale.spread = hi - scale.offset;
  } else {
    scale.offset = cube.mean().item<float>();
    scale.spread = cube.std(/*unbiased=*/false).item<float>();
  }
  if (!std::isfinite(scale.offset) || !std::isfinite(scale.spread)) {
    check_finite(cube, path);
    // Every value is finite, yet a statistic overflowed: normalising would
    // turn the whole cube into NaN.
    fail_too_large(cube.abs().max().item<float>(), path);
  }
  scale.apply(cube);
}

// The (C, H, W) float32 normalised cube of `data_key`.
torch::Tensor normalised_cube(const MatFile& data_file, const std::string& data_key, bool min_max) {
  torch::Tensor cube;  // (H, W, C) float32 with the file's strides
  {
    // Scoped so that a wider stored type (double) is freed before the copy below.
    const NdArray stored_cube = data_file.load(data_key, "cube");
    if (stored_cube.ndim() != 3)
      throw ValueError("expected a 3-D cube (H, W, C) in variable '" + data_key + "' of '" + data_file.path() +
                       "', got " + std::to_string(stored_cube.ndim()) + " dimensions");
    cube = stored_cube.to_float32();
  }
  normalise(cube, min_max, data_file.path());  // in place: the buffer is ours alone
  return cube.permute({2, 0, 1}).contiguous();
}

}  // namespace

Split parse_split(const std::string& name) {
  if (name == "train") return Split::train;
  if (name == "val") return Split::val;
  if (name == "test") return Split::test;
  throw ValueError("split must be 'train', 'val', or 'test'. Got: '" + name + "'");
}

const char* split_name(Split split) {
  switch (split) {
    case Split::train:
      return "train";
    case Split::val:
      return "val";
    case Split::test:
      return "test";
  }
  throw ValueError("unknown split " + std::to_string(static_cast<int>(split)));
}

std::pair<std::string, std::string> _find_keys(const std::vector<MatVariableInfo>& variables) {
  std::optional<std::string> data_key, labels_key;
  std::vector<std::string> kept;
  for (const auto& v : variables) {
    if (v.name.rfind("__", 0) == 0) continue;
    kept.push_back(v.name);
    const int64_t ndim = v.detection_ndim();
    if (ndim == 3)
      data_key = v.name;
    else if (ndim == 2)
      labels_key = v.name;
  }
  if (!data_key || !labels_key)
    throw ValueError("Could not auto-detect keys.\nAvailable: " + py_list(kept) +
                     "\nPass manually: HyperspectralDataset(..., data_key='...', labels_key='...')");
  return {*data_key, *labels_key};
}

namespace {

// The (H, W) extents of the scene's cube, loading and normalising it into
// `scene.data` when asked.
std::pair<int64_t, int64_t> read_cube(LabelledScene& scene, const MatFile& data_file, const SceneOptions& options) {
  if (options.load_cube()) {
    scene.data = normalised_cube(data_file, scene.data_key, options.use_fp16());
    scene.num_bands = scene.data.size(0);
    return {scene.data.size(1), scene.data.size(2)};
  }
  const std::vector<int64_t> dims = stored_cube_dims(data_file, scene.data_key);
  scene.num_bands = dims[2];
  return {dims[0], dims[1]};
}

torch::Tensor read_labels(const MatFile& gt_file, const std::string& labels_key, const std::string& gt_path,
                          const std::string& data_path, int64_t height, int64_t width) {
  const NdArray stored_labels = gt_file.load(labels_key, "label map");
  // Bounded before anything is sized by the largest id (one bucket per class below).
  check_label_map(stored_labels, gt_path, labels_key);
  torch::Tensor labels = stored_labels.to_int64().contiguous();
  if (labels.dim() != 2)
    throw ValueError("expected a 2-D label map (H, W) in variable '" + labels_key + "' of '" + gt_path + "', got " +
                     std::to_string(labels.dim()) + " dimensions");
  if (labels.size(0) != height || labels.size(1) != width)
    throw ValueError("the label map in '" + gt_path + "' is " + std::to_string(labels.size(0)) + " x " +
                     std::to_string(labels.size(1)) + " but the cube in '" + data_path + "' is " +
                     std::to_string(height) + " x " + std::to_string(width) + " pixels");
  return labels;
}

std::string quoted(const std::string& option, const std::string& path) { return option + " '" + path + "'"; }

// The split of given maps; `labels` (the --gt map, when given) supplies the
// test pixels where no test map is given.
PixelSplit given_split(const SplitProtocol& p, const torch::Tensor& labels, const std::string& gt_path,
                       int64_t height, int64_t width) {
  GivenMaps maps;
  maps.train = read_given_map(*p.train_gt, "--train_gt", height, width);
  maps.train_name = quoted("--train_gt", *p.train_gt);
  if (p.val_gt) maps.val = read_given_map(*p.val_gt, "--val_gt", height, width), maps.val_name = quoted("--val_gt", *p.val_gt);
  if (p.test_gt)
    maps.test = read_given_map(*p.test_gt, "--test_gt", height, width), maps.test_name = quoted("--test_gt", *p.test_gt);
  if (!p.test_gt && !labels.defined())
    throw OptionError("given maps need --test_gt, or --gt to take the test pixels from");
  maps.labels = labels;
  maps.labels_name = quoted("--gt", gt_path);
  try {
    return split_given(maps, p);
  } catch (const ValueError& e) {
    throw OptionError(e.what());
  }
}

}  // namespace

LabelledScene::LabelledScene(const SceneOptions& options) : protocol(options.protocol()) {
  const MatFile data_file(options.data_path());
  const bool given = protocol.mode == SplitMode::given;
  std::optional<MatFile> gt_file;
  if (!given || !options.gt_path().empty()) gt_file.emplace(options.gt_path());

  data_key = options.data_key().value_or("");
  std::string labels_key = options.labels_key().value_or("");
  if (!gt_file)
    data_key = cube_variable(data_file, options.data_key());
  else if (!options.data_key() || !options.labels_key())
    std::tie(data_key, labels_key) = _find_keys(pool_variables(data_file, *gt_file));

  const auto [height, width] = read_cube(*this, data_file, options);
  if (gt_file) labels = read_labels(*gt_file, labels_key, options.gt_path(), options.data_path(), height, width);

  PixelSplit parts;
  if (given) {
    parts = given_split(protocol, labels, options.gt_path(), height, width);
    labels = parts.labels;
    num_classes = labels.max().item<int64_t>() + 1;
  } else {
    const int64_t max_label = labels.numel() ? labels.max().item<int64_t>() : 0;
    if (max_label <= 0) throw ValueError("no labelled pixels in '" + options.gt_path() + "' (no label above 0)");
    num_classes = max_label + 1;
    if (protocol.mode == SplitMode::disjoint) protocol.block = resolved_block(protocol, height, width);
    try {
      parts = split_pixels(labels, num_classes, protocol);
    } catch (const ValueError& e) {
      // Only a disjoint split's blocks can fail a scene that passed the checks above.
      if (protocol.mode == SplitMode::disjoint) throw OptionError(e.what());
      throw;
    }
  }
  train_coords = parts.train;
  val_coords = parts.val;
  test_coords = parts.test;
  split_notes = parts.notes;
}

torch::Tensor LabelledScene::roles() const {
  PixelSplit parts;
  parts.train = train_coords, parts.val = val_coords, parts.test = test_coords;
  return split_roles(parts, labels.size(0), labels.size(1));
}

std::vector<int64_t> LabelledScene::trained_classes() const {
  std::vector<bool> seen(static_cast<size_t>(num_classes), false);
  auto coords = train_coords.accessor<int64_t, 2>();
  auto lab = labels.accessor<int64_t, 2>();
  for (int64_t i = 0; i < train_coords.size(0); ++i) seen[lab[coords[i][0]][coords[i][1]]] = true;
  std::vector<int64_t> out;
  for (int64_t k = 1; k < num_classes; ++k)
    if (seen[k]) out.push_back(k);
  return out;
}

torch::Tensor read_given_map(const std::string& path, const std::string& option, int64_t height, int64_t width) {
  const MatFile file(path);
  std::vector<std::string> kept;
  const std::string key = last_variable(file, 2, kept);
  if (key.empty())
    throw OptionError(option + ": no 2-D variable (H, W) to use as a label map in '" + path + "'; its variables: " +
                      py_list(kept));
  const MatVariableInfo& info = file.info(key);
  if (!info.numeric)
    throw OptionError(option + ": variable '" + key + "' in '" + path + "' is of class " + info.mat_class +
                      ", not a label map");
  const NdArray stored = file.load(key, "label map");
  check_label_map(stored, path, key);
  torch::Tensor map = stored.to_int64().contiguous();
  if (map.dim() != 2 || map.size(0) != height || map.size(1) != width)
    throw OptionError(option + ": the label map '" + key + "' in '" + path + "' is " + std::to_string(map.size(0)) +
                      " x " + std::to_string(map.size(map.dim() - 1)) + " but the scene is " +
                      std::to_string(height) + " x " + std::to_string(width) + " pixels");
  return map;
}

const torch::Tensor& LabelledScene::coords(Split split) const {
  switch (split) {
    case Split::train:
      return train_coords;
    case Split::val:
      return val_coords;
    case Split::test:
      return test_coords;
  }
  throw ValueError("unknown split " + std::to_string(static_cast<int>(split)));
}

torch::Tensor LabelledScene::mask(Split split) const {
  const torch::Tensor& pixels = coords(split);
  torch::Tensor out = torch::zeros_like(labels);
  if (pixels.size(0) > 0) {
    auto rows = pixels.select(1, 0), cols = pixels.select(1, 1);
    out.index_put_({rows, cols}, labels.index({rows, cols}));
  }
  return out;
}

HyperspectralDataset::HyperspectralDataset(const LabelledScene& scene, Split which)
    : num_bands(scene.num_bands),
      num_classes(scene.num_classes),
      data(scene.data),
      labels(scene.labels),
      coords(scene.coords(which)),
      split_mask(scene.mask(which)),
      split(which) {}

torch::data::Example<> HyperspectralDataset::get(size_t /*index*/) { return {data, split_mask}; }

void CubeScale::apply(torch::Tensor& values) const {
  values.sub_(offset).div_(static_cast<float>(static_cast<double>(spread) + 1e-8));
}

void check_bad_values(int64_t bad, const std::string& path) {
  if (bad > 0)
    throw ValueError("the cube in '" + path + "' holds " + thousands(bad) +
                     " values that are not finite (NaN or infinite); clean or mask them before training");
}

void fail_too_large(float largest, const std::string& path) {
  std::ostringstream text;
  text << largest;
  throw ValueError("the cube in '" + path + "' holds values too large to normalise in single precision (up to " +
                   text.str() + "); rescale them or mask fill values before training");
}

std::string cube_variable(const MatFile& data_file, const std::optional<std::string>& data_key) {
  if (data_key) return *data_key;
  std::vector<std::string> kept;
  const std::string key = last_variable(data_file, 3, kept);
  if (key.empty())
    throw ValueError("no 3-D variable (H, W, C) to use as the cube in '" + data_file.path() + "'; its variables: " +
                     py_list(kept));
  return key;
}

torch::Tensor load_scene_cube(const std::string& data_path, bool min_max, const std::optional<std::string>& data_key) {
  const MatFile data_file(data_path);
  return normalised_cube(data_file, cube_variable(data_file, data_key), min_max);
}

}  // namespace lumora
