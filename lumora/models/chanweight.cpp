#include "lumora/models/chanweight.h"

#include <torch/torch.h>

#include <fmt/format.h>

#include "lumora/core/errors.h"
#include "lumora/models/shapes.h"

namespace lumora {

namespace nn = torch::nn;

SEBlockImpl::SEBlockImpl(const SEBlockOptions& options_) : options(options_) { reset(); }

void SEBlockImpl::reset() {
  const int64_t channels = options.channels(), reduction = options.reduction();
  if (reduction < 1) throw ValueError(fmt::format("SEBlock reduction must be at least 1, got {}", reduction));
  if (channels < reduction)
    throw ValueError(fmt::format("SEBlock needs at least as many channels as the reduction ({}), got {}", reduction,
                                 channels));
  const int64_t hidden = channels / reduction;
  pool = register_module("pool", nn::AdaptiveAvgPool2d(nn::AdaptiveAvgPool2dOptions(1)));
  fc = register_module("fc", nn::Sequential(nn::Linear(channels, hidden), nn::ReLU(nn::ReLUOptions().inplace(true)),
                                            nn::Linear(hidden, channels), nn::Sigmoid()));
}

torch::Tensor SEBlockImpl::forward(const torch::Tensor& x) {
  require_4d(x, "SEBlock");
  const int64_t b = x.size(0), c = x.size(1);
  auto w = pool->forward(x).view({b, c});
  w = fc->forward(w).view({b, c, 1, 1});
  return x * w;
}

}  // namespace lumora
