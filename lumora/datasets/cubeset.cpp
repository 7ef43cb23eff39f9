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

// The data file's variables in order, then the label file's new ones; a name
// both files hold takes the label file's variable at the data file's place.
std::vector<MatVariableInfo> pool_variables(const MatFile& data_file, const MatFile& gt_file) {
  std::vector<MatVariableInfo> pooled;
  for (const auto& v : data_file.variables()) pooled.push_back(gt_file.has(v.name) ? gt_file.info(v.name) : v);
  for (const auto& v : gt_file.variables())
    if (!data_file.has(v.name)) pooled.push_back(v);
  return pooled;
}

// Draws j uniformly from 0..max by masked rejection, as numpy's legacy
// RandomState does, so that splits equal numpy's shuffle for the same seed.
uint32_t draw_interval(std::mt19937& gen, uint32_t max) {
  uint32_t mask = max;
  mask |= mask >> 1;
  mask |= mask >> 2;
  mask |= mask >> 4;
  mask |= mask >> 8;
  mask |= mask >> 16;
  uint32_t value;
  do {
    value = static_cast<uint32_t>(gen()) & mask;
  } while (value > max);
  return value;
}

torch::Tensor to_coords(const std::vector<int64_t>& flat, int64_t width) {
  auto out = torch::empty({static_cast<int64_t>(flat.size()), 2}, torch::kInt64);
  auto acc = out.accessor<int64_t, 2>();
  for (size_t i = 0; i < flat.size(); ++i) {
    acc[i][0] = flat[i] / width;
    acc[i][1] = flat[i] % width;
  }
  return out;
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

PixelSplit split_pixels(const torch::Tensor& labels, int64_t num_classes, double train_ratio, double val_ratio,
                        int64_t seed) {
  if (seed < 0 || seed > 0xFFFFFFFFLL) throw ValueError("Seed must be between 0 and 2**32 - 1");
  // A fraction outside 0..1 (or NaN) would reach an undefined conversion to a pixel count below.
  for (const auto& [name, ratio] : {std::pair<const char*, double>{"train_ratio", train_ratio}, {"val_ratio", val_ratio}})
    if (!(ratio >= 0.0 && ratio <= 1.0))
      throw ValueError(std::string(name) + " must be a number from 0 to 1, got " + py_float(ratio));
  const auto flat_labels = labels.contiguous();
  const int64_t width = labels.size(1);
  const int64_t* lab = flat_labels.data_ptr<int64_t>();

  // Row-major positions of every labelled pixel, bucketed by class.
  std::vector<std::vector<int64_t>> by_class(static_cast<size_t>(std::max<int64_t>(num_classes, 1)));
  for (int64_t i = 0, n = flat_labels.numel(); i < n; ++i)
    if (lab[i] > 0) by_class[lab[i]].push_back(i);

  std::mt19937 gen(static_cast<uint32_t>(seed));
  std::vector<int64_t> train, val, test;
  for (int64_t c = 1; c < num_classes; ++c) {
    auto& pixels = by_class[c];
    const int64_t n = static_cast<int64_t>(pixels.size());
    for (int64_t i = n - 1; i >= 1; --i) {
      const int64_t j = draw_interval(gen, static_cast<uint32_t>(i));
      std::swap(pixels[i], pixels[j]);
    }
    const int64_t n_train = std::max<int64_t>(1, static_cast<int64_t>(static_cast<double>(n) * train_ratio));
    const int64_t n_val = std::max<int64_t>(1, static_cast<int64_t>(static_cast<double>(n) * val_ratio));
    const int64_t train_end = std::min(n, n_train);
    const int64_t val_end = std::min(n, n_train + n_val);
    train.insert(train.end(), pixels.begin(), pixels.begin() + train_end);
    val.insert(val.end(), pixels.begin() + train_end, pixels.begin() + val_end);
    test.insert(test.end(), pixels.begin() + val_end, pixels.end());
  }
  return {to_coords(train, width), to_coords(val, width), to_coords(test, width)};
}

LabelledScene::LabelledScene(const SceneOptions& options) {
  const MatFile data_file(options.data_path());
  const MatFile gt_file(options.gt_path());

  data_key = options.data_key().value_or("");
  std::string labels_key = options.labels_key().value_or("");
  if (!options.data_key() || !options.labels_key())
    std::tie(data_key, labels_key) = _find_keys(pool_variables(data_file, gt_file));

  int64_t height = 0, width = 0;
  if (options.load_cube()) {
    data = normalised_cube(data_file, data_key, options.use_fp16());
    num_bands = data.size(0), height = data.size(1), width = data.size(2);
  } else {
    const std::vector<int64_t> dims = stored_cube_dims(data_file, data_key);
    height = dims[0], width = dims[1], num_bands = dims[2];
  }

  const NdArray stored_labels = gt_file.load(labels_key, "label map");
  // Bounded before anything is sized by the largest id (one bucket per class below).
  check_label_map(stored_labels, options.gt_path(), labels_key);
  labels = stored_labels.to_int64().contiguous();
  if (labels.dim() != 2)
    throw ValueError("expected a 2-D label map (H, W) in variable '" + labels_key + "' of '" + options.gt_path() +
                     "', got " + std::to_string(labels.dim()) + " dimensions");
  if (labels.size(0) != height || labels.size(1) != width)
    throw ValueError("the label map in '" + options.gt_path() + "' is " + std::to_string(labels.size(0)) + " x " +
                     std::to_string(labels.size(1)) + " but the cube in '" + options.data_path() + "' is " +
                     std::to_string(height) + " x " + std::to_string(width) + " pixels");
  const int64_t max_label = labels.numel() ? labels.max().item<int64_t>() : 0;
  if (max_label <= 0) throw ValueError("no labelled pixels in '" + options.gt_path() + "' (no label above 0)");
  num_classes = max_label + 1;

  auto parts = split_pixels(labels, num_classes, options.train_ratio(), options.val_ratio(), options.seed());
  train_coords = parts.train;
  val_coords = parts.val;
  test_coords = parts.test;
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
  std::string key;
  std::vector<std::string> kept;
  for (const auto& v : data_file.variables()) {
    if (v.name.rfind("__", 0) == 0) continue;
    kept.push_back(v.name);
    if (v.detection_ndim() == 3) key = v.name;
  }
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
