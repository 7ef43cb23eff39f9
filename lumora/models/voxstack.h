// Spectral 3-D convolution stack: the image is treated as a one-channel
// volume (bands x rows x columns), convolved by a short stack of
// Conv3d -> BatchNorm3d -> ReLU blocks whose kernels reach 7 bands and 3 x 3
// pixels, and the filter axis is then folded into the channel axis
// (filter-major: channel f * C + c is filter f at band c).
//
// Results do not depend on the memory format of weights or activations: the
// training code may convert `stack` to the channels-last 3-D format on GPUs.
#pragma once

#include <cstdint>

#include <torch/arg.h>
#include <torch/expanding_array.h>
#include <torch/nn/cloneable.h>
#include <torch/nn/modules/container/sequential.h>
#include <torch/nn/pimpl.h>
#include <torch/types.h>

namespace lumora {

struct Single3DBlockOptions {
  Single3DBlockOptions(int64_t in_filters, int64_t out_filters) : in_filters_(in_filters), out_filters_(out_filters) {}
  TORCH_ARG(int64_t, in_filters);
  TORCH_ARG(int64_t, out_filters);
  // (band, row, column) extent; padding is extent / 2 on each side.
  TORCH_ARG(torch::ExpandingArray<3>, kernel_size) = torch::ExpandingArray<3>({7, 3, 3});
};

class Single3DBlockImpl : public torch::nn::Cloneable<Single3DBlockImpl> {
 public:
  explicit Single3DBlockImpl(const Single3DBlockOptions& options);
  void reset() override;
  // (B, in_filters, D, H, W) -> (B, out_filters, D, H, W) for odd extents.
  torch::Tensor forward(const torch::Tensor& x);

  Single3DBlockOptions options;
  torch::nn::Sequential block{nullptr};
};
TORCH_MODULE(Single3DBlock);

struct Spectral3DStackOptions {
  explicit Spectral3DStackOptions(int64_t num_bands) : num_bands_(num_bands) {}
  TORCH_ARG(int64_t, num_bands);
  TORCH_ARG(int64_t, num_filters) = 8;
  TORCH_ARG(int64_t, num_blocks) = 3;
  TORCH_ARG(torch::ExpandingArray<3>, kernel_size) = torch::ExpandingArray<3>({7, 3, 3});
};

class Spectral3DStackImpl : public torch::nn::Cloneable<Spectral3DStackImpl> {
 public:
  explicit Spectral3DStackImpl(const Spectral3DStackOptions& options);
  void reset() override;

  // (B, C, H, W) -> (B, num_filters * C, H, W); anything not 4-D is rejected
  // before any layer runs. With num_blocks 0 the input passes unchanged.
  torch::Tensor forward(const torch::Tensor& x);

  // Swaps in another block stack (for example the same one converted to a
  // different memory format); it stays registered as "stack".
  void replace_stack(torch::nn::Sequential replacement);

  Spectral3DStackOptions options;
  torch::nn::Sequential stack{nullptr};
  // num_filters * num_bands, from the construction arguments only.
  int64_t out_channels = 0;
};
TORCH_MODULE(Spectral3DStack);

// Converts every 5-D parameter and buffer of `module` (and its children) to
// the channels-last 3-D memory format in place; values are unchanged.
void to_channels_last_3d(torch::nn::Module& module);

}  // namespace lumora
