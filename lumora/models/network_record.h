// The side file of a single trained network ("best_model.json" beside
// "best_model.pth"): what prediction needs besides the weights — the
// network's sizes, how the cube was normalised, the pixel split of its
// training run and the class names.
//
//   {"model": "HyperspectralNet", "num_bands": 48, "num_classes": 7,
//    "num_filters": 8, "num_blocks": 3, "base_filters": 32, "fp16": false,
//    "normalisation": "standard", "split": {"train_ratio": 0.2,
//    "val_ratio": 0.1, "seed": 42}, "best_epoch": 60,
//    "class_names": ["class 1", ...]}
//
// "normalisation" is "standard" (whole-cube mean and standard deviation) or
// "min_max" (whole-cube minimum and range; what a --fp16 run uses).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lumora/models/network_sizes.h"

namespace lumora {

struct NetworkRecord : NetworkSizes {
  bool fp16 = false;
  std::string normalisation = "standard";
  double train_ratio = 0.2;
  double val_ratio = 0.1;
  int64_t seed = 42;
  int64_t best_epoch = 0;
  std::vector<std::string> class_names;  // classes 1..num_classes-1
};

// The side file of the weights at `weights_path`: the same name with its
// extension replaced by ".json" (".json" added when it already is one).
std::string network_record_path(const std::string& weights_path);

// Writes through a temporary name; replaces any file there.
void save_network_record(const NetworkRecord& record, const std::string& path);

// Reads and checks a side file: every size a positive integer (blocks may be
// 0), a known normalisation, ratios from 0 to 1, a seed from 0 to 2**32 - 1,
// names as texts. Errors name the file and the entry.
NetworkRecord load_network_record(const std::string& path);

}  // namespace lumora
