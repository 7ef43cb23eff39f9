#include "lumora/models/cubeseg.h"

#include <fmt/format.h>
#include <torch/torch.h>

#include "lumora/core/errors.h"
#include "lumora/models/shapes.h"

namespace lumora {

HyperspectralNetImpl::HyperspectralNetImpl(const HyperspectralNetOptions& options_) : options(options_) { reset(); }

void HyperspectralNetImpl::reset() {
  continuum_removal =
      register_module("continuum_removal", ContinuumRemoval(ContinuumRemovalOptions().use_fp16(options.use_fp16())));
  spectral_3d = register_module("spectral_3d", Spectral3DStack(Spectral3DStackOptions(options.num_bands())
                                                                   .num_filters(options.num_filters())
                                                                   .num_blocks(options.num_blocks())));
  const int64_t spectral_out = spectral_3d->out_channels;
  chanweight = register_module("chanweight", SEBlock(SEBlockOptions(spectral_out)));
  encoder =
      register_module("encoder", Encoder2D(Encoder2DOptions(spectral_out).base_filters(options.base_filters())));
  decoder = register_module("decoder",
                            Decoder2D(Decoder2DOptions(options.num_classes()).base_filters(options.base_filters())));
}

torch::Tensor HyperspectralNetImpl::forward(const torch::Tensor& x) {
  require_4d(x, "HyperspectralNet");
  auto y = spectral_3d->forward(continuum_removal->forward(x));
  y = chanweight->forward(y);
  return decoder->forward(encoder->forward(y));
}

void use_channels_last_3d(HyperspectralNetImpl& net) { to_channels_last_3d(*net.spectral_3d->stack); }

void check_trainable_size(int64_t height, int64_t width) {
  if ((height / 16) * (width / 16) > 1) return;
  throw ValueError(fmt::format(
      "a scene of {} x {} pixels is too small to train on: the network's deepest level would hold a single pixel "
      "(it needs at least 16 x 32 or 32 x 16 pixels)",
      height, width));
}

}  // namespace lumora
