// Helpers shared by the segmentation-network tests.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <torch/torch.h>

#include "lumora/core/state_dict.h"

namespace lumora::testing {

inline int64_t count_parameters(const torch::nn::Module& m) {
  int64_t n = 0;
  for (const auto& p : m.parameters()) n += p.numel();
  return n;
}

inline std::vector<std::string> keys_of(const StateDict& dict) {
  std::vector<std::string> keys;
  for (const auto& [k, v] : dict) keys.push_back(k);
  return keys;
}

using Entries = std::vector<std::pair<std::string, std::vector<int64_t>>>;

// A batch-normalisation layer's five entries under `prefix`.
inline void add_batch_norm(Entries& out, const std::string& prefix, int64_t n) {
  out.push_back({prefix + "weight", {n}});
  out.push_back({prefix + "bias", {n}});
  out.push_back({prefix + "running_mean", {n}});
  out.push_back({prefix + "running_var", {n}});
  out.push_back({prefix + "num_batches_tracked", {}});
}

// ConvBlock entries in checkpoint order.
inline void add_conv_block(Entries& out, const std::string& prefix, int64_t in, int64_t o) {
  out.push_back({prefix + "block.0.weight", {o, in, 3, 3}});
  out.push_back({prefix + "block.0.bias", {o}});
  add_batch_norm(out, prefix + "block.1.", o);
  out.push_back({prefix + "block.4.weight", {o, o, 3, 3}});
  out.push_back({prefix + "block.4.bias", {o}});
  add_batch_norm(out, prefix + "block.5.", o);
}

inline Entries entries_of(const StateDict& dict) {
  Entries out;
  for (const auto& [k, v] : dict) out.push_back({k, v.sizes().vec()});
  return out;
}

}  // namespace lumora::testing
