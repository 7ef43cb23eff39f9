// The tree bundle ("spt_models.pkl"): everything prediction needs, in one
// file written with torch::pickle_save (Python's torch.load reads it too):
// {"trained_models": ..., "tree": ..., "ssm_state": {name: tensor},
//  "d_model": int, "d_state": int}.
#pragma once

#include <optional>
#include <string>

#include "lumora/core/state_dict.h"
#include "lumora/rssp/records.h"

namespace lumora {

struct Bundle {
  TrainedModels trained_models;
  TreeNode tree;
  std::optional<StateDict> ssm_state;  // the fingerprint encoder's weights
  int64_t d_model = 64;
  int64_t d_state = 16;
};

// Replaces any file at `path` (written through a temporary name).
void save_bundle(const Bundle& bundle, const std::string& path);

// Reads and validates a bundle. "trained_models" and "tree" are required (a
// missing one is a KeyError naming it); "d_model" and "d_state" default to 64
// and 16, "ssm_state" may be absent. A value of the wrong kind fails naming
// its path inside the bundle; a truncated or foreign file fails naming the file.
Bundle load_bundle(const std::string& path);

}  // namespace lumora
