// The expanding half of the U-shaped 2-D network: four 2x2 transposed
// convolutions, each followed by joining the skip map of the same level
// (upsampled map first) and a ConvBlock (the encoder's, downstage.h), then a
// 1x1 convolution to one logit per class. Where doubling a level's size misses
// the skip map's size (inputs that are not multiples of 16), the upsampled map
// is resized bilinearly to it.
#pragma once

#include <cstdint>
#include <vector>

#include <torch/arg.h>
#include <torch/nn/cloneable.h>
#include <torch/nn/modules/conv.h>
#include <torch/nn/pimpl.h>
#include <torch/types.h>

#include "lumora/models/downstage.h"

namespace lumora {

struct Decoder2DOptions {
  explicit Decoder2DOptions(int64_t num_classes) : num_classes_(num_classes) {}
  TORCH_ARG(int64_t, num_classes);
  // Must equal the encoder's.
  TORCH_ARG(int64_t, base_filters) = 32;
};

class Decoder2DImpl : public torch::nn::Cloneable<Decoder2DImpl> {
 public:
  explicit Decoder2DImpl(const Decoder2DOptions& options);
  void reset() override;

  // bottleneck (B, 16f, h, w) and exactly four skips e1..e4 (finest first) ->
  // logits (B, num_classes, H, W) at the size of e1. Other skip counts, or a
  // bottleneck that is not 4-D, are rejected before any layer runs.
  torch::Tensor forward(const torch::Tensor& b, const std::vector<torch::Tensor>& skips);
  torch::Tensor forward(const EncoderOutput& encoded) { return forward(encoded.bottleneck, encoded.skips); }

  // `x` itself when its spatial size (axes 2 on) equals `target`'s, else `x`
  // resized to it (bilinear, corners not aligned).
  static torch::Tensor _match_size(const torch::Tensor& x, const torch::Tensor& target);

  Decoder2DOptions options;
  torch::nn::ConvTranspose2d up4{nullptr};
  ConvBlock dec4{nullptr};
  torch::nn::ConvTranspose2d up3{nullptr};
  ConvBlock dec3{nullptr};
  torch::nn::ConvTranspose2d up2{nullptr};
  ConvBlock dec2{nullptr};
  torch::nn::ConvTranspose2d up1{nullptr};
  ConvBlock dec1{nullptr};
  torch::nn::Conv2d final{nullptr};
};
TORCH_MODULE(Decoder2D);

}  // namespace lumora
