// The tree bundle ("spt_models.pkl"): everything prediction needs, in one
// file written with torch::pickle_save (Python's torch.load reads it too):
// {"trained_models": ..., "tree": ..., "ssm_state": {name: tensor},
//  "d_model": int, "d_state": int,
//  "split": {"train_ratio": float, "val_ratio": float, "seed": int}}.
#pragma once

#include <optional>
#include <string>

#include "lumora/core/state_dict.h"
#include "lumora/rssp/records.h"

namespace lumora {

// The pixel split the tree was trained on, so that prediction can score the
// same test pixels.
struct SplitRecord {
  double train_ratio = 0.2;
  double val_ratio = 0.1;
  int64_t seed = 42;
};
bool operator==(const SplitRecord& a, const SplitRecord& b);

struct Bundle {
  TrainedModels trained_models;
  TreeNode tree;
  std::optional<StateDict> ssm_state;  // the fingerprint encoder's weights
  int64_t d_model = 64;
  int64_t d_state = 16;
  std::optional<SplitRecord> split;  // absent in bundles written before it was recorded
};

// Replaces any file at `path` (written through a temporary name).
void save_bundle(const Bundle& bundle, const std::string& path);

// Reads and validates a bundle. "trained_models" and "tree" are required (a
// missing one is a KeyError naming it); "d_model" and "d_state" default to 64
// and 16, "ssm_state" and "split" may be absent. A split holds exactly its
// three entries: ratios from 0 to 1 and a seed from 0 to 2**32 - 1. A value of the wrong kind fails naming
// its path inside the bundle; a truncated or foreign file fails naming the file.
Bundle load_bundle(const std::string& path);

}  // namespace lumora
