#include "lumora/models/voxstack.h"

#include <torch/torch.h>

#include <fmt/format.h>

#include <algorithm>
#include <vector>

#include "lumora/core/errors.h"
#include "lumora/core/torch_compat.h"
#include "lumora/models/shapes.h"

namespace lumora {

namespace nn = torch::nn;
namespace F = torch::nn::functional;

namespace {

// The stack's 3-D convolutions on the CPU, same values as Conv3d (up to
// float rounding), computed in ways oneDNN runs much faster for 1 or 8
// channels over hundreds of bands:
//  * one input channel (the first block): the kernel's band window becomes
//    the channel axis of a 2-D convolution over a batch of bands;
//  * the weight gradient: one 2-D weight gradient per band offset of the
//    kernel, over a batch of bands in channels-last layout (oneDNN's 3-D
//    weight gradient is several times slower for these shapes);
//  * the input gradient: the forward convolution of the output gradient with
//    the flipped, transposed kernel.
// Bands are processed in chunks to bound the temporaries.
constexpr int64_t kBandChunk = 50;

// Bands [d0, d1) of sample b of a (B, C, D, H, W) tensor as a batch of 2-D
// maps (d1 - d0, C, H, W) in channels-last layout (a copy).
torch::Tensor bands_as_batch(const torch::Tensor& t, int64_t b, int64_t d0, int64_t d1) {
  return t.select(0, b).slice(1, d0, d1).permute({1, 0, 2, 3}).contiguous(at::MemoryFormat::ChannelsLast);
}

// Forward for a single input channel: x (B, 1, D, H, W), weight (F, 1, k0, k1, k2).
torch::Tensor single_channel_forward(const torch::Tensor& x, const torch::Tensor& weight, const torch::Tensor& bias,
                                     const std::vector<int64_t>& pad) {
  const int64_t batch = x.size(0), depth = x.size(2), h = x.size(3), w = x.size(4);
  const int64_t filters = weight.size(0), k0 = weight.size(2);
  auto out = torch::empty({batch, filters, depth, h, w}, x.options());
  // The band window as input channels: (F, k0, k1, k2).
  const auto w2 = weight.select(1, 0).contiguous(at::MemoryFormat::ChannelsLast);
  for (int64_t b = 0; b < batch; ++b) {
    const auto padded = F::pad(x.select(0, b).select(0, 0), F::PadFuncOptions({0, 0, 0, 0, pad[0], pad[0]})).contiguous();
    for (int64_t d0 = 0; d0 < depth; d0 += kBandChunk) {
      const int64_t n = std::min(kBandChunk, depth - d0);
      const auto windows =
          padded.as_strided({n, k0, h, w}, {h * w, h * w, w, 1}, padded.storage_offset() + d0 * h * w)
              .contiguous(at::MemoryFormat::ChannelsLast);
      const auto y = at::conv2d(windows, w2, bias, 1, {pad[1], pad[2]});  // (n, F, H, W)
      out.select(0, b).slice(1, d0, d0 + n).copy_(y.permute({1, 0, 2, 3}));
    }
  }
  return out;
}

// dL/dweight for x (B, C, D, H, W) and gy (B, F, D, H, W), as a sum of 2-D
// weight gradients, one per band offset kd of the kernel.
torch::Tensor banded_weight_grad(const torch::Tensor& x, const torch::Tensor& gy, const torch::Tensor& weight,
                                 const std::vector<int64_t>& pad) {
  const int64_t batch = x.size(0), depth = x.size(2), k0 = weight.size(2);
  auto grad = torch::zeros_like(weight, at::MemoryFormat::Contiguous);
  std::vector<torch::Tensor> slices;
  for (int64_t kd = 0; kd < k0; ++kd) slices.push_back(weight.select(2, kd).contiguous(at::MemoryFormat::ChannelsLast));
  for (int64_t b = 0; b < batch; ++b) {
    for (int64_t d0 = 0; d0 < depth; d0 += kBandChunk) {
      const int64_t d1 = std::min(depth, d0 + kBandChunk);
      // Output band d reads input bands d + kd - pad[0].
      const int64_t lo = std::max<int64_t>(0, d0 - pad[0]), hi = std::min(depth, d1 + k0 - 1 - pad[0]);
      const auto xs = bands_as_batch(x, b, lo, hi);
      const auto gs = bands_as_batch(gy, b, d0, d1);
      for (int64_t kd = 0; kd < k0; ++kd) {
        const int64_t shift = kd - pad[0];
        const int64_t first = std::max(d0, -shift), last = std::min(d1, depth - shift);
        if (first >= last) continue;
        const auto xi = xs.slice(0, first + shift - lo, last + shift - lo);
        const auto gi = gs.slice(0, first - d0, last - d0);
        const auto parts = at::convolution_backward(gi, xi, slices[kd], c10::nullopt, {1, 1}, {pad[1], pad[2]},
                                                    {1, 1}, false, {0, 0}, 1, {false, true, false});
        grad.select(2, kd).add_(std::get<1>(parts));
      }
    }
  }
  return grad;
}

class BandedConv3d : public torch::autograd::Function<BandedConv3d> {
 public:
  static torch::Tensor forward(torch::autograd::AutogradContext* ctx, const torch::Tensor& x,
                               const torch::Tensor& weight, const torch::Tensor& bias, std::vector<int64_t> pad) {
    ctx->save_for_backward({x, weight});
    ctx->saved_data["pad"] = pad;
    ctx->saved_data["bias"] = bias.defined();
    if (x.size(1) == 1) return single_channel_forward(x, weight, bias, pad);
    return at::conv3d(x, weight, bias, 1, pad);
  }

  static torch::autograd::variable_list backward(torch::autograd::AutogradContext* ctx,
                                                 torch::autograd::variable_list grads) {
    const auto saved = ctx->get_saved_variables();
    const auto& x = saved[0];
    const auto& weight = saved[1];
    const auto pad = ctx->saved_data["pad"].toIntVector();
    const auto gy = grads[0];
    torch::Tensor gx, gw, gb;
    if (ctx->needs_input_grad(0))  // odd extents with padding k // 2: the flipped kernel keeps sizes
      gx = at::conv3d(gy, weight.transpose(0, 1).flip({2, 3, 4}), {}, 1, pad);
    if (ctx->needs_input_grad(1)) {
      if (x.size(1) == 1)
        gw = std::get<1>(at::convolution_backward(gy, x, weight, c10::nullopt, {1, 1, 1}, pad, {1, 1, 1}, false,
                                                  {0, 0, 0}, 1, {false, true, false}));
      else
        gw = banded_weight_grad(x, gy, weight, pad);
    }
    if (ctx->saved_data["bias"].toBool() && ctx->needs_input_grad(2)) gb = gy.sum({0, 2, 3, 4});
    return {gx, gw, gb, torch::Tensor()};
  }
};

// Whether the banded computation applies: CPU float32 and odd kernel
// extents (the layer itself is built with padding k // 2, stride 1).
bool banded_applies(const torch::Tensor& x, const torch::Tensor& weight, const torch::ExpandingArray<3>& kernel) {
  if (x.dim() != 5 || !x.device().is_cpu() || x.scalar_type() != torch::kFloat32) return false;
  if (!weight.device().is_cpu() || weight.scalar_type() != torch::kFloat32) return false;
  return std::all_of(kernel->begin(), kernel->end(), [](int64_t k) { return k % 2 == 1; });
}

}  // namespace

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
  if (!relu || !banded_applies(x, conv->weight, options.kernel_size())) return block->forward(x);
  const auto& k = *options.kernel_size();
  const std::vector<int64_t> pad{k[0] / 2, k[1] / 2, k[2] / 2};
  if (!bn->is_training() && bn->options.affine() && bn->options.track_running_stats()) {
    // Evaluation: normalisation with fixed statistics is an affine map per
    // filter, folded into the convolution (one pass less over the volume).
    const auto scale = bn->weight * torch::rsqrt(bn->running_var + bn->options.eps());
    const auto weight = conv->weight * scale.view({-1, 1, 1, 1, 1});
    auto bias = bn->bias - bn->running_mean * scale;
    if (conv->bias.defined()) bias = bias + conv->bias * scale;
    return relu->forward(BandedConv3d::apply(x, weight, bias, pad));
  }
  return relu->forward(bn->forward(BandedConv3d::apply(x, conv->weight, conv->bias, pad)));
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
