// The side file of a single trained network ("best_model.json" beside
// "best_model.pth"): what prediction needs besides the weights — the
// network's sizes, how the cube was normalised, the pixel split of its
// training run (its record: see split_protocol.h) and the class names.
//
//   {"model": "HyperspectralNet", "num_bands": 48, "num_classes": 7,
//    "num_filters": 8, "num_blocks": 3, "base_filters": 32, "fp16": false,
//    "normalisation": "standard", "split": {"train_ratio": 0.2,
//    "val_ratio": 0.1, "seed": 42}, "best_epoch": 60,
//    "class_names": ["class 1", ...], "trained_classes": [1, 2, ...]}
//
// A network trained with a spectral head adds "spectral_support": the
// number of spectra the head holds (its buffers are in the weights file).
//
// "normalisation" is "standard" (whole-cube mean and standard deviation) or
// "min_max" (whole-cube minimum and range; what a --fp16 run uses).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <torch/types.h>

#include "lumora/datasets/split_protocol.h"
#include "lumora/models/network_sizes.h"

namespace lumora {

struct NetworkRecord : NetworkSizes {
  bool fp16 = false;
  std::string normalisation = "standard";
  SplitProtocol split;  // the pixel split of the training run
  int64_t best_epoch = 0;
  std::vector<std::string> class_names;  // classes 1..num_classes-1
  // The classes that had training pixels, increasing: the only ones the
  // network may predict. Empty in side files written before it was recorded
  // (then every class from 1 up).
  std::vector<int64_t> trained_classes;
  int64_t spectral_support = 0;  // 0: no spectral head
};

// The classes a network may predict: the record's trained classes, or every
// class from 1 for a record without them.
std::vector<int64_t> predictable_classes(const NetworkRecord& record);

// `logits` (B, K, ...) with every class outside `classes` (ids 1..K-1, at
// least one) at the lowest value, so that no arg-max picks 0, "unlabelled",
// or a class the network never saw a pixel of; softmax gives them 0.
torch::Tensor restrict_to_classes(const torch::Tensor& logits, const std::vector<int64_t>& classes);

// The side file of the weights at `weights_path`: the same name with its
// extension replaced by ".json" (".json" added when it already is one).
std::string network_record_path(const std::string& weights_path);

// Writes through a temporary name; replaces any file there.
void save_network_record(const NetworkRecord& record, const std::string& path);

// Reads and checks a side file: every size a positive integer (blocks may be
// 0), a known normalisation, a valid split record, names as texts. Errors name the file and the entry.
NetworkRecord load_network_record(const std::string& path);

}  // namespace lumora
