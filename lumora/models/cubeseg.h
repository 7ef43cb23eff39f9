// HyperspectralNet, the segmentation network: continuum removal -> spectral
// 3-D convolution stack -> squeeze-and-excitation -> 2-D encoder -> 2-D
// decoder, one logit per class and pixel; with a spectral head, outside
// training, those scores fused with the head's (see spectral_head.h). Child
// names are the first component of every checkpoint key (continuum_removal
// registers nothing).
//
// Continuum removal always runs in float32 with autocast switched off; the
// rest runs under whatever mixed-precision setting the caller has open.
#pragma once

#include <cstdint>

#include <torch/arg.h>
#include <torch/nn/cloneable.h>
#include <torch/nn/pimpl.h>
#include <torch/types.h>

#include "lumora/models/chanweight.h"
#include "lumora/models/downstage.h"
#include "lumora/models/network_sizes.h"
#include "lumora/models/spectral_head.h"
#include "lumora/models/upstage.h"
#include "lumora/models/voxstack.h"
#include "lumora/preprocessing/continuum_removal.h"

namespace lumora {

struct HyperspectralNetOptions {
  HyperspectralNetOptions(int64_t num_bands, int64_t num_classes) : num_bands_(num_bands), num_classes_(num_classes) {}
  explicit HyperspectralNetOptions(const NetworkSizes& s)
      : num_bands_(s.num_bands),
        num_classes_(s.num_classes),
        num_filters_(s.num_filters),
        num_blocks_(s.num_blocks),
        base_filters_(s.base_filters) {}
  NetworkSizes sizes() const { return {num_bands_, num_classes_, num_filters_, num_blocks_, base_filters_}; }
  TORCH_ARG(int64_t, num_bands);
  // Class 0 (unlabelled) included.
  TORCH_ARG(int64_t, num_classes);
  TORCH_ARG(int64_t, num_filters) = 8;
  TORCH_ARG(int64_t, num_blocks) = 3;
  // Width of the first encoder level, shared by encoder and decoder.
  TORCH_ARG(int64_t, base_filters) = 32;
  // Passed to continuum removal only (see continuum_removal.h).
  TORCH_ARG(bool, use_fp16) = false;
  // Spectra the spectral head holds (0: no head).
  TORCH_ARG(int64_t, spectral_support) = 0;
};

class HyperspectralNetImpl : public torch::nn::Cloneable<HyperspectralNetImpl> {
 public:
  explicit HyperspectralNetImpl(const HyperspectralNetOptions& options);
  void reset() override;

  // (B, num_bands, H, W) of any real type, H and W at least 16 ->
  // (B, num_classes, H, W) unnormalised scores. Anything not 4-D is rejected
  // before any layer runs.
  torch::Tensor forward(const torch::Tensor& x);

  // The network's output from the decoder's `logits` of input `x`: fused
  // with the spectral head's scores outside training while
  // `spectral_head_fused`, else as they are.
  torch::Tensor with_spectral_head(const torch::Tensor& x, const torch::Tensor& logits);

  // Adds `head` (or replaces the one there); options.spectral_support follows.
  void attach_spectral_head(SpectralHead head);

  HyperspectralNetOptions options;
  ContinuumRemoval continuum_removal{nullptr};
  Spectral3DStack spectral_3d{nullptr};
  SEBlock chanweight{nullptr};
  Encoder2D encoder{nullptr};
  Decoder2D decoder{nullptr};
  SpectralHead spectral_head{nullptr};
  bool spectral_head_fused = true;
};
TORCH_MODULE(HyperspectralNet);

// Puts spectral_3d.stack, and only it, into the channels-last 3-D memory
// format. The training code calls it once the network is on a GPU, where the
// 3-D convolutions run faster that way; outputs are unchanged.
void use_channels_last_3d(HyperspectralNetImpl& net);

// Training feeds one whole scene per batch, and the deepest batch
// normalisation (after four 2x2 poolings) needs more than one value per
// channel: floor(H / 16) * floor(W / 16) must exceed 1. Fails with a
// ValueError naming the scene size otherwise, before any work is done.
void check_trainable_size(int64_t height, int64_t width);

}  // namespace lumora
