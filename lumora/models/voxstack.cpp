#include "lumora/models/voxstack.h"

#include <torch/torch.h>

#include <fmt/format.h>

#include <algorithm>
#include <vector>

#include "lumora/core/errors.h"
#include "lumora/core/torch_compat.h"
#include "lumora/models/band_conv.h"
#include "lumora/models/shapes.h"

namespace lumora {

namespace nn = torch::nn;
namespace F = torch::nn::functional;

Single3DBlockImpl::Single3DBlockImpl(const Single3DBlockOptions& options_) : options(options_) { reset(); }

void Single3DBlockImpl::reset() {
  const auto& k = options.kernel_size();
  block = register_module(
      "block", nn::Sequential(nn::Conv3d(nn::Conv3dOptions(options.in_filters(), options.out_filters(), k)
                                             .padding({(*k)[0] / 2, (*k)[1] / 2, (*k)[2] / 2})
                                             .stride(1)
                                             .bias(true)),
                              nn::BatchNorm3d(options.out_filters()), nn::ReLU(nn::ReLUOptions().inplace(true))));
}

torch::Tensor Single3DBlockImpl::forward(const torch::Tensor& x) {
  auto* conv = block->size() == 3 ? block[0]->as<nn::Conv3d>() : nullptr;
  auto* bn = conv ? block[1]->as<nn::BatchNorm3d>() : nullptr;
  auto* relu = conv ? block[2]->as<nn::ReLU>() : nullptr;
  if (!relu || !band_conv_applies(x, conv->weight)) return block->forward(x);
  if (!bn->is_training() && bn->options.affine() && bn->options.track_running_stats()) {
    // Evaluation: normalisation with fixed statistics is an affine map per
    // filter, folded into the convolution (one pass less over the volume).
    const auto scale = bn->weight * torch::rsqrt(bn->running_var + bn->options.eps());
    const auto weight = conv->weight * scale.view({-1, 1, 1, 1, 1});
    auto bias = bn->bias - bn->running_mean * scale;
    if (conv->bias.defined()) bias = bias + conv->bias * scale;
    if (!torch::GradMode::is_enabled()) return band_conv3d_relu(x, weight, bias);
    return relu->forward(band_conv3d(x, weight, bias));
  }
  return relu->forward(bn->forward(band_conv3d(x, conv->weight, conv->bias)));
}

Spectral3DStackImpl::Spectral3DStackImpl(const Spectral3DStackOptions& options_) : options(options_) { reset(); }

void Spectral3DStackImpl::reset() {
  if (options.num_blocks() < 0)
    throw ValueError(fmt::format("num_blocks must not be negative, got {}", options.num_blocks()));
  nn::Sequential blocks;
  int64_t in_f = 1;
  for (int64_t i = 0; i < options.num_blocks(); ++i) {
    blocks->push_back(
        Single3DBlock(Single3DBlockOptions(in_f, options.num_filters()).kernel_size(options.kernel_size())));
    in_f = options.num_filters();
  }
  stack = register_module("stack", blocks);
  out_channels = options.num_filters() * options.num_bands();
}

void Spectral3DStackImpl::replace_stack(nn::Sequential replacement) {
  stack = replace_module("stack", std::move(replacement));
}

torch::Tensor Spectral3DStackImpl::forward(const torch::Tensor& x) {
  require_4d(x, "Spectral3DStack");
  // The band axis becomes the depth axis of the 3-D convolutions.
  auto y = x.unsqueeze(1);
  if (!stack->is_empty()) y = stack->forward(y);
  // reshape works on logical indices, so channels-last results fold the same
  // way (copying when they must); contiguous ones fold without a copy.
  const int64_t b = y.size(0), f = y.size(1), c = y.size(2), h = y.size(3), w = y.size(4);
  return y.reshape({b, f * c, h, w});
}

void to_channels_last_3d(nn::Module& module) {
  torch::NoGradGuard no_grad;
  for (auto& p : module.parameters())
    if (p.dim() == 5) p.set_data(compat::to_channels_last_3d(p.data()));
  for (auto& b : module.buffers())
    if (b.dim() == 5) b.set_data(compat::to_channels_last_3d(b.data()));
}

}  // namespace lumora
