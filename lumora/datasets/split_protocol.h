// How the labelled pixels of a scene are divided into training, validation
// and test pixels, and everything a run records to draw the same split again:
//
//   random    a per-class shuffle; each set takes a fraction of the class
//             (--train_ratio, --val_ratio) or a fixed count of its pixels
//             (--train_per_class, --val_per_class)
//   disjoint  the same targets met with whole square blocks of the scene, so
//             that no test pixel shares a block with a training or validation
//             pixel, nor lies within `guard` pixels of one
//   given     the sets are label maps of their own (--train_gt, --val_gt,
//             --test_gt)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <torch/types.h>

namespace lumora {

enum class SplitMode { random, disjoint, given };

// "random" or "disjoint" (given maps are chosen by naming them).
SplitMode parse_split_mode(const std::string& name);
const char* split_mode_name(SplitMode mode);

struct SplitProtocol {
  SplitMode mode = SplitMode::random;
  double train_ratio = 0.2;
  double val_ratio = 0.1;
  std::optional<int64_t> train_per_class;  // replaces train_ratio when set
  std::optional<int64_t> val_per_class;    // replaces val_ratio when set
  int64_t block = 0;                       // disjoint: block side in pixels, 0 = from the scene's size
  int64_t guard = 1;                       // disjoint: test pixels kept this far from train and val pixels
  std::optional<std::string> train_gt, val_gt, test_gt;  // given
  int64_t seed = 42;

  // The ratio split as it always was: recorded with its three entries only,
  // so that such a run's files stay as they were.
  bool plain_ratios() const;
  // One line for the console: "random, 10 per class for training, ...".
  std::string describe() const;
};
bool operator==(const SplitProtocol& a, const SplitProtocol& b);

// The block side a disjoint split uses on an H x W scene: `block`, or a
// tenth of the shorter side, from 4 to 32 pixels.
int64_t resolved_block(const SplitProtocol& protocol, int64_t height, int64_t width);

// The record written into a bundle and beside a network: "train_ratio",
// "val_ratio" and "seed" always (in that order, as before), the other
// entries only where the protocol uses them.
nlohmann::ordered_json protocol_to_json(const SplitProtocol& protocol);
// Reads a record; errors name `where` (the file and entry) and the key.
SplitProtocol protocol_from_json(const nlohmann::ordered_json& record, const std::string& where);

// The three sets, each (N, 2) int64 (row, column), class by class in
// increasing id; within a class the shuffled order (random) or row-major
// order (disjoint, given). `notes` says, once each, what was cut: classes
// that got fewer pixels than asked, classes left without a test pixel,
// pixels dropped by the guard band.
struct PixelSplit {
  torch::Tensor train, val, test;
  std::vector<std::string> notes;
  torch::Tensor labels;  // given maps only: the label map they make together
};

// A random or disjoint split of `labels` (H, W) int64 (labels above 0 are
// classes 1..num_classes-1). Fails when a class ends up without training
// pixels, or on values no split can use.
PixelSplit split_pixels(const torch::Tensor& labels, int64_t num_classes, const SplitProtocol& protocol);

// The historical call: the random split by ratios.
PixelSplit split_pixels(const torch::Tensor& labels, int64_t num_classes, double train_ratio, double val_ratio,
                        int64_t seed);

// Given maps, each (H, W) int64 or undefined (val, test, labels): every
// pixel above 0 in a map belongs to that set, with the map's label. Without
// a test map the test set is every pixel of `labels` (the scene's label map)
// that the other two leave; without a validation map, validation takes the
// protocol's val_ratio or val_per_class of each class of the training map
// (drawn with its seed), leaving training at least one pixel. `*_name` are how errors name the maps
// ("--train_gt 'a.mat'", ...). The split's `labels` is the label map of the
// three sets together. Fails on a pixel in two sets, an empty training map,
// or a test class that training never sees.
struct GivenMaps {
  torch::Tensor train, val, test, labels;
  std::string train_name, val_name, test_name, labels_name;
};
PixelSplit split_given(const GivenMaps& maps, const SplitProtocol& protocol);

// (H, W) uint8 of each pixel's role: 0 unused, 1 train, 2 val, 3 test.
torch::Tensor split_roles(const PixelSplit& split, int64_t height, int64_t width);

}  // namespace lumora
