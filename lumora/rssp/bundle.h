// The tree bundle ("spt_models.pkl"): everything prediction needs, in one
// file written with torch::pickle_save (Python's torch.load reads it too):
// {"trained_models": ..., "tree": ..., "ssm_state": {name: tensor},
//  "d_model": int, "d_state": int,
//  "split": {"train_ratio": float, "val_ratio": float, "seed": int, ...}}
// (the split's record: see split_protocol.h).
#pragma once

#include <optional>
#include <string>

#include "lumora/core/state_dict.h"
#include "lumora/datasets/split_protocol.h"
#include "lumora/rssp/records.h"

namespace lumora {

struct Bundle {
  TrainedModels trained_models;
  TreeNode tree;
  std::optional<StateDict> ssm_state;  // the fingerprint encoder's weights
  int64_t d_model = 64;
  int64_t d_state = 16;
  // The pixel split the tree was trained on, so that prediction can score the
  // same test pixels; absent in bundles written before it was recorded.
  std::optional<SplitProtocol> split;
};

// Replaces any file at `path` (written through a temporary name).
void save_bundle(const Bundle& bundle, const std::string& path);

// Reads and validates a bundle. "trained_models" and "tree" are required (a
// missing one is a KeyError naming it); "d_model" and "d_state" default to 64
// and 16, "ssm_state" and "split" may be absent. A split holds ratios from 0
// to 1, a seed from 0 to 2**32 - 1 and the other entries of a split record,
// nothing else. A value of the wrong kind fails naming its path inside the
// bundle; a truncated or foreign file fails naming the file.
Bundle load_bundle(const std::string& path);

}  // namespace lumora
