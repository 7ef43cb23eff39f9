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
  if (options.spectral_support() > 0)
    spectral_head = register_module(
        "spectral_head", SpectralHead(options.spectral_support(), options.num_bands(), options.num_classes()));
}

torch::Tensor HyperspectralNetImpl::forward(const torch::Tensor& x) {
  require_4d(x, "HyperspectralNet");
  auto y = spectral_3d->forward(continuum_removal->forward(x));
  y = chanweight->forward(y);
  return with_spectral_head(x, decoder->forward(encoder->forward(y)));
}

torch::Tensor HyperspectralNetImpl::with_spectral_head(const torch::Tensor& x, const torch::Tensor& logits) {
  return spectral_head && spectral_head_fused && !is_training() ? spectral_head->fuse(x, logits) : logits;
}

void HyperspectralNetImpl::attach_spectral_head(SpectralHead head) {
  if (head->support.size(1) != options.num_bands() || head->weights.size(1) != options.num_classes())
    throw ValueError("the spectral head's bands or classes do not fit the network");
  spectral_head = spectral_head ? replace_module("spectral_head", head) : register_module("spectral_head", head);
  options.spectral_support(head->support_size());
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
