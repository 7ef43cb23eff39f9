#include "lumora/models/downstage.h"

#include <torch/torch.h>

#include "lumora/models/shapes.h"

namespace lumora {

namespace nn = torch::nn;

ConvBlockImpl::ConvBlockImpl(const ConvBlockOptions& options_) : options(options_) { reset(); }

void ConvBlockImpl::reset() {
  const int64_t in = options.in_channels(), out = options.out_channels();
  block = register_module(
      "block", nn::Sequential(nn::Conv2d(nn::Conv2dOptions(in, out, 3).padding(1).stride(1).bias(true)),
                              nn::BatchNorm2d(out), nn::ReLU(nn::ReLUOptions().inplace(true)),
                              nn::Dropout2d(nn::Dropout2dOptions(options.dropout())),
                              nn::Conv2d(nn::Conv2dOptions(out, out, 3).padding(1).stride(1).bias(true)),
                              nn::BatchNorm2d(out), nn::ReLU(nn::ReLUOptions().inplace(true))));
}

torch::Tensor ConvBlockImpl::forward(const torch::Tensor& x) { return block->forward(x); }

Encoder2DImpl::Encoder2DImpl(const Encoder2DOptions& options_) : options(options_) { reset(); }

void Encoder2DImpl::reset() {
  const int64_t f = options.base_filters();
  enc1 = register_module("enc1", ConvBlock(ConvBlockOptions(options.in_channels(), f)));
  enc2 = register_module("enc2", ConvBlock(ConvBlockOptions(f, 2 * f)));
  enc3 = register_module("enc3", ConvBlock(ConvBlockOptions(2 * f, 4 * f)));
  enc4 = register_module("enc4", ConvBlock(ConvBlockOptions(4 * f, 8 * f)));
  pool = register_module("pool", nn::MaxPool2d(nn::MaxPool2dOptions(2)));
  bottleneck = register_module("bottleneck", ConvBlock(ConvBlockOptions(8 * f, 16 * f)));
}

EncoderOutput Encoder2DImpl::forward(const torch::Tensor& x) {
  require_4d(x, "Encoder2D");
  auto e1 = enc1->forward(x);
  auto e2 = enc2->forward(pool->forward(e1));
  auto e3 = enc3->forward(pool->forward(e2));
  auto e4 = enc4->forward(pool->forward(e3));
  auto b = bottleneck->forward(pool->forward(e4));
  return {std::move(b), {std::move(e1), std::move(e2), std::move(e3), std::move(e4)}};
}

}  // namespace lumora
