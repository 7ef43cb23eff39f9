#include "lumora/models/upstage.h"

#include <torch/torch.h>

#include <fmt/format.h>

#include "lumora/core/errors.h"
#include "lumora/models/shapes.h"

namespace lumora {

namespace nn = torch::nn;
namespace F = torch::nn::functional;

namespace {

nn::ConvTranspose2d up(int64_t in, int64_t out) {
  return nn::ConvTranspose2d(nn::ConvTranspose2dOptions(in, out, 2).stride(2).bias(true));
}

}  // namespace

Decoder2DImpl::Decoder2DImpl(const Decoder2DOptions& options_) : options(options_) { reset(); }

void Decoder2DImpl::reset() {
  const int64_t f = options.base_filters();
  up4 = register_module("up4", up(16 * f, 8 * f));
  dec4 = register_module("dec4", ConvBlock(ConvBlockOptions(16 * f, 8 * f)));
  up3 = register_module("up3", up(8 * f, 4 * f));
  dec3 = register_module("dec3", ConvBlock(ConvBlockOptions(8 * f, 4 * f)));
  up2 = register_module("up2", up(4 * f, 2 * f));
  dec2 = register_module("dec2", ConvBlock(ConvBlockOptions(4 * f, 2 * f)));
  up1 = register_module("up1", up(2 * f, f));
  dec1 = register_module("dec1", ConvBlock(ConvBlockOptions(2 * f, f)));
  final = register_module("final", nn::Conv2d(nn::Conv2dOptions(f, options.num_classes(), 1).bias(true)));
}

torch::Tensor Decoder2DImpl::_match_size(const torch::Tensor& x, const torch::Tensor& target) {
  const auto size = target.sizes().slice(2);
  if (x.sizes().slice(2) == size) return x;
  return F::interpolate(x, F::InterpolateFuncOptions()
                               .size(std::vector<int64_t>(size.begin(), size.end()))
                               .mode(torch::kBilinear)
                               .align_corners(false));
}

torch::Tensor Decoder2DImpl::forward(const torch::Tensor& b, const std::vector<torch::Tensor>& skips) {
  if (skips.size() != 4)
    throw ValueError(fmt::format("Decoder2D expects 4 skip maps (e1, e2, e3, e4), got {}", skips.size()));
  require_4d(b, "Decoder2D");
  const auto& e1 = skips[0];
  const auto& e2 = skips[1];
  const auto& e3 = skips[2];
  const auto& e4 = skips[3];
  auto x = dec4->forward(torch::cat({_match_size(up4->forward(b), e4), e4}, 1));
  x = dec3->forward(torch::cat({_match_size(up3->forward(x), e3), e3}, 1));
  x = dec2->forward(torch::cat({_match_size(up2->forward(x), e2), e2}, 1));
  x = dec1->forward(torch::cat({_match_size(up1->forward(x), e1), e1}, 1));
  return final->forward(x);
}

}  // namespace lumora
