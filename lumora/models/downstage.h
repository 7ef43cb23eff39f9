// The contracting half of the U-shaped 2-D network, and ConvBlock, the
// double convolution that the encoder and the decoder (upstage.h) share.
//
// ConvBlock: Conv2d 3x3 -> BatchNorm2d -> ReLU -> Dropout2d -> Conv2d 3x3 ->
// BatchNorm2d -> ReLU under `block` (indices 0..6 are checkpoint keys).
// Encoder2D: enc1..enc4 at widths f, 2f, 4f, 8f with one 2x2 max pooling
// between levels (odd sizes floored) and a 16f bottleneck; every spatial size
// must be at least 16 for the four poolings.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include <torch/arg.h>
#include <torch/nn/cloneable.h>
#include <torch/nn/modules/container/sequential.h>
#include <torch/nn/modules/pooling.h>
#include <torch/nn/pimpl.h>
#include <torch/types.h>

namespace lumora {

struct ConvBlockOptions {
  ConvBlockOptions(int64_t in_channels, int64_t out_channels) : in_channels_(in_channels), out_channels_(out_channels) {}
  TORCH_ARG(int64_t, in_channels);
  TORCH_ARG(int64_t, out_channels);
  // Channel dropout between the two convolutions (training mode only).
  TORCH_ARG(double, dropout) = 0.3;
};

class ConvBlockImpl : public torch::nn::Cloneable<ConvBlockImpl> {
 public:
  explicit ConvBlockImpl(const ConvBlockOptions& options);
  void reset() override;
  // (B, in_channels, H, W) -> (B, out_channels, H, W)
  torch::Tensor forward(const torch::Tensor& x);

  ConvBlockOptions options;
  torch::nn::Sequential block{nullptr};
};
TORCH_MODULE(ConvBlock);

// The bottleneck map and the four skip maps e1..e4, finest first.
struct EncoderOutput {
  torch::Tensor bottleneck;
  std::vector<torch::Tensor> skips;
};

struct Encoder2DOptions {
  explicit Encoder2DOptions(int64_t in_channels) : in_channels_(in_channels) {}
  TORCH_ARG(int64_t, in_channels);
  TORCH_ARG(int64_t, base_filters) = 64;
};

class Encoder2DImpl : public torch::nn::Cloneable<Encoder2DImpl> {
 public:
  explicit Encoder2DImpl(const Encoder2DOptions& options);
  void reset() override;
  // (B, in_channels, H, W) -> bottleneck (B, 16f, H/16, W/16) and skips
  // (B, f, H, W), (B, 2f, H/2, W/2), (B, 4f, H/4, W/4), (B, 8f, H/8, W/8),
  // each size floored at every halving. Anything not 4-D is rejected first.
  EncoderOutput forward(const torch::Tensor& x);

  Encoder2DOptions options;
  ConvBlock enc1{nullptr}, enc2{nullptr}, enc3{nullptr}, enc4{nullptr};
  torch::nn::MaxPool2d pool{nullptr};
  ConvBlock bottleneck{nullptr};
};
TORCH_MODULE(Encoder2D);

}  // namespace lumora
