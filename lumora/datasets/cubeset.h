// A labelled scene from a cube MAT-file and a label MAT-file: the cube and
// the label map are read and normalised once, and the labelled pixels are
// split per class into training, validation and test sets. A split's
// HyperspectralDataset is a view of the scene (the same tensors, not copies);
// the whole scene is its one sample.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <torch/arg.h>
#include <torch/data/datasets/base.h>
#include <torch/data/example.h>

#include "lumora/datasets/split_protocol.h"
#include "lumora/io/matfile.h"

namespace lumora {

enum class Split { train, val, test };

// "train", "val" or "test"; anything else fails with
// "split must be 'train', 'val', or 'test'. Got: '<name>'".
Split parse_split(const std::string& name);
const char* split_name(Split split);

struct SceneOptions {
  SceneOptions(std::string data_path, std::string gt_path)
      : data_path_(std::move(data_path)), gt_path_(std::move(gt_path)) {}
  TORCH_ARG(std::string, data_path);
  TORCH_ARG(std::string, gt_path);  // may be empty when the protocol names given maps
  TORCH_ARG(SplitProtocol, protocol);
  TORCH_ARG(std::optional<std::string>, data_key) = std::nullopt;
  TORCH_ARG(std::optional<std::string>, labels_key) = std::nullopt;
  TORCH_ARG(bool, use_fp16) = false;  // normalised by min and range instead of mean and deviation
  // False: only the label map and the split are read; `data` stays undefined
  // (for callers that read the cube window by window themselves).
  TORCH_ARG(bool, load_cube) = true;

  // The ratio split's values, inside `protocol`.
 public:
  SceneOptions& train_ratio(double v) { return protocol_.train_ratio = v, *this; }
  SceneOptions& val_ratio(double v) { return protocol_.val_ratio = v, *this; }
  SceneOptions& seed(int64_t v) { return protocol_.seed = v, *this; }
  double train_ratio() const { return protocol_.train_ratio; }
  double val_ratio() const { return protocol_.val_ratio; }
  int64_t seed() const { return protocol_.seed; }
};

class LabelledScene {
 public:
  explicit LabelledScene(const SceneOptions& options);

  // The pixels of a split, and their labels on an otherwise zero (H, W) map.
  const torch::Tensor& coords(Split split) const;
  torch::Tensor mask(Split split) const;

  int64_t num_bands = 0;
  int64_t num_classes = 0;     // the largest label plus one (class 0 is unlabelled)
  std::string data_key;        // the cube's variable
  torch::Tensor data;          // float32 (C, H, W), normalised
  torch::Tensor labels;        // int64 (H, W)
  torch::Tensor train_coords;  // int64 (N_train, 2) of (row, column)
  torch::Tensor val_coords;
  torch::Tensor test_coords;
  SplitProtocol protocol;               // as drawn: a disjoint split's block size resolved
  std::vector<std::string> split_notes;  // what the split cut or dropped, for the console

  // (H, W) uint8: 0 unused, 1 train, 2 val, 3 test.
  torch::Tensor roles() const;
  // The classes that have training pixels, increasing.
  std::vector<int64_t> trained_classes() const;
};

// One split of a scene as a dataset of one sample: the scene's cube and this
// split's mask, whatever the index. `data` and `labels` are the scene's own.
class HyperspectralDataset : public torch::data::datasets::Dataset<HyperspectralDataset> {
 public:
  HyperspectralDataset(const LabelledScene& scene, Split which);

  torch::data::Example<> get(size_t index) override;
  torch::optional<size_t> size() const override { return 1; }

  int64_t num_bands = 0;
  int64_t num_classes = 0;
  torch::Tensor data;        // the scene's cube
  torch::Tensor labels;      // the scene's label map
  torch::Tensor coords;      // the split's pixels
  torch::Tensor split_mask;  // int64 (H, W): labels of `coords`, 0 elsewhere
  Split split;
};

// The normalised cube (C, H, W) float32 of a data file without a label map,
// the same tensor a scene of that file holds: the variable `data_key`, or
// else the file's last 3-D variable (names starting with "__" skipped);
// normalised by min and range when `min_max` (a scene's use_fp16), else by
// mean and standard deviation.
torch::Tensor load_scene_cube(const std::string& data_path, bool min_max = false,
                              const std::optional<std::string>& data_key = std::nullopt);

// The variable holding a data file's cube: `data_key` when given, else the
// file's last 3-D variable (names starting with "__" skipped).
std::string cube_variable(const MatFile& data_file, const std::optional<std::string>& data_key);

// The (H, W, C) extents of the cube `data_key` as its file states them; a
// variable that is not a 3-D numeric array fails naming it.
std::vector<int64_t> stored_cube_dims(const MatFile& data_file, const std::string& data_key);

// What a cube is normalised by: one offset and one spread for every value.
struct CubeScale {
  float offset = 0, spread = 1;
  // values = (values - offset) / (spread + 1e-8), in place.
  void apply(torch::Tensor& values) const;
};
// The errors of a cube that cannot be normalised: `bad` values that are not
// finite (nothing when there are none), or values whose statistics overflow.
void check_bad_values(int64_t bad, const std::string& path);
[[noreturn]] void fail_too_large(float largest, const std::string& path);

// (data key, labels key) from the variables in order: the last 3-D variable
// and the last 2-D one; names starting with "__" are skipped.
std::pair<std::string, std::string> _find_keys(const std::vector<MatVariableInfo>& variables);

// The label map of a file of its own (a given training, validation or test
// map): its last 2-D variable (names starting with "__" skipped), checked as
// every label map is and to be `height` x `width`. `option` names it in
// errors ("--train_gt").
torch::Tensor read_given_map(const std::string& path, const std::string& option, int64_t height, int64_t width);

}  // namespace lumora
