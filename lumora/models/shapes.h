// Input checks shared by the network's modules: a wrong rank is reported
// before any layer runs, naming the module and the shape it got.
#pragma once

#include <string>

#include <torch/types.h>

#include "lumora/core/errors.h"

namespace lumora {

// "[2, 3, 4]"
inline std::string shape_string(const torch::Tensor& t) {
  std::string s = "[";
  for (int64_t i = 0; i < t.dim(); ++i) s += (i ? ", " : "") + std::to_string(t.size(i));
  return s + "]";
}

// Throws ValueError unless `x` is 4-D (B, C, H, W).
inline void require_4d(const torch::Tensor& x, const std::string& module) {
  if (x.dim() != 4)
    throw ValueError(module + " expects a 4-D input (B, C, H, W), got a " + std::to_string(x.dim()) +
                     "-D tensor of shape " + shape_string(x));
}

}  // namespace lumora
