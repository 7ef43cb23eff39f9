// Squeeze-and-excitation: every channel of a (B, C, H, W) map is multiplied by
// a gate in (0, 1) computed from the spatial means of all channels of the same
// sample through a two-layer bottleneck of width channels / reduction.
// Registration names are checkpoint keys (pool, fc.0, fc.2).
#pragma once

#include <cstdint>

#include <torch/arg.h>
#include <torch/nn/cloneable.h>
#include <torch/nn/modules/container/sequential.h>
#include <torch/nn/modules/pooling.h>
#include <torch/nn/pimpl.h>
#include <torch/types.h>

namespace lumora {

struct SEBlockOptions {
  explicit SEBlockOptions(int64_t channels) : channels_(channels) {}
  TORCH_ARG(int64_t, channels);
  TORCH_ARG(int64_t, reduction) = 16;
};

class SEBlockImpl : public torch::nn::Cloneable<SEBlockImpl> {
 public:
  explicit SEBlockImpl(const SEBlockOptions& options);
  // Rejects a bottleneck of width 0 (channels < reduction): its gate would
  // ignore the input altogether.
  void reset() override;

  // (B, channels, H, W) -> same shape; anything not 4-D is rejected before
  // any layer runs.
  torch::Tensor forward(const torch::Tensor& x);

  SEBlockOptions options;
  torch::nn::AdaptiveAvgPool2d pool{nullptr};
  torch::nn::Sequential fc{nullptr};
};
TORCH_MODULE(SEBlock);

}  // namespace lumora
