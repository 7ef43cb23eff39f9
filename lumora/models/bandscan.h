// Spectral fingerprint encoder: a per-pixel 1-D model that turns a spectrum
// into a fixed-length fingerprint, and the image encoder that runs it over
// every pixel of a (B, C, H, W) cube after continuum removal.
//
// Although it is named after state-space models, SpectralSSM is a parallel
// multi-scale 1-D CNN: three branches with narrow, mid and wide kernels along
// the band axis (no vanishing gradients over hundreds of bands), combined by
// a channel-attention gate that keeps the "selective" idea, then averaged over
// the bands and projected to d_model values. d_state is the number of filters
// of each branch. Registration names are checkpoint keys.
#pragma once

#include <cstdint>

#include <torch/arg.h>
#include <torch/nn/cloneable.h>
#include <torch/nn/modules/container/sequential.h>
#include <torch/nn/pimpl.h>
#include <torch/types.h>

#include "lumora/preprocessing/continuum_removal.h"

namespace lumora {

struct SpectralSSMOptions {
  TORCH_ARG(int64_t, d_model) = 64;
  TORCH_ARG(int64_t, d_state) = 16;
};

class SpectralSSMImpl : public torch::nn::Cloneable<SpectralSSMImpl> {
 public:
  explicit SpectralSSMImpl(const SpectralSSMOptions& options = {});
  void reset() override;

  // (N, C) continuum-removed spectra -> (N, d_model) layer-normalised fingerprints.
  torch::Tensor forward(const torch::Tensor& x);

  SpectralSSMOptions options;
  int64_t d_model = 0;
  int64_t filters = 0;        // d_state
  int64_t total_filters = 0;  // 3 * filters
  torch::nn::Sequential narrow_branch{nullptr};
  torch::nn::Sequential mid_branch{nullptr};
  torch::nn::Sequential wide_branch{nullptr};
  torch::nn::Sequential se_gate{nullptr};
  torch::nn::Sequential out_proj{nullptr};
};
TORCH_MODULE(SpectralSSM);

struct SpectralSSMEncoderOptions {
  TORCH_ARG(int64_t, d_model) = 64;
  TORCH_ARG(int64_t, d_state) = 16;
  TORCH_ARG(bool, use_fp16) = false;
};

// ContinuumRemoval -> SpectralSSM for whole images: the model sees the shape
// of absorption features, not raw reflectance.
class SpectralSSMEncoderImpl : public torch::nn::Cloneable<SpectralSSMEncoderImpl> {
 public:
  explicit SpectralSSMEncoderImpl(const SpectralSSMEncoderOptions& options = {});
  void reset() override;

  // (B, C, H, W) of any real type -> (B, d_model, H, W). The result is a
  // permuted view of the (B*H*W, d_model) fingerprint rows, not contiguous.
  torch::Tensor forward(const torch::Tensor& x);

  SpectralSSMEncoderOptions options;
  ContinuumRemoval continuum{nullptr};
  SpectralSSM ssm{nullptr};
  int64_t d_model = 0;
};
TORCH_MODULE(SpectralSSMEncoder);

struct FingerprintMapOptions {
  TORCH_ARG(int64_t, chunk_rows) = 32;
};

// The fingerprint of every pixel of a (C, H, W) scene as a CPU float32
// (H, W, d_model) map. The encoder is switched to evaluation mode and run
// without gradients over bands of `chunk_rows` image rows on `device`, so
// that only one band's activations occupy device memory; cached CUDA memory
// is released after every band. In evaluation mode a fingerprint depends on
// its own pixel only, so the banded map equals a one-pass encoding.
torch::Tensor fingerprint_map(SpectralSSMEncoder& encoder, const torch::Tensor& data, const torch::Device& device,
                              const FingerprintMapOptions& options = {});

}  // namespace lumora
