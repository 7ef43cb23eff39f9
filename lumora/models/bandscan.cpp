#include "lumora/models/bandscan.h"

#include <torch/torch.h>

#include <fmt/format.h>

#include "lumora/core/errors.h"
#include "lumora/core/torch_compat.h"
#include "lumora/models/window_conv1d.h"

namespace lumora {
namespace {

namespace nn = torch::nn;

// Conv -> BN -> GELU twice; padding (k - 1) / 2 keeps the band length.
nn::Sequential make_branch(int64_t filters, int64_t kernel) {
  const int64_t pad = (kernel - 1) / 2;
  return nn::Sequential(nn::Conv1d(nn::Conv1dOptions(1, filters, kernel).padding(pad)),
                        nn::BatchNorm1d(filters),
                        nn::GELU(),
                        nn::Conv1d(nn::Conv1dOptions(filters, filters, kernel).padding(pad)),
                        nn::BatchNorm1d(filters),
                        nn::GELU());
}

// A branch's layers in order; its convolutions (all stride 1 with padding
// (k - 1) / 2, as make_branch builds them) through window_conv1d where it
// applies.
torch::Tensor run_branch(nn::Sequential& branch, torch::Tensor x) {
  for (auto& layer : *branch) {
    auto* conv = layer.ptr()->as<nn::Conv1d>();
    if (conv && window_conv1d_applies(x, conv->weight))
      x = window_conv1d(x, conv->weight, conv->bias);
    else
      x = layer.forward(x);
  }
  return x;
}

}  // namespace

SpectralSSMImpl::SpectralSSMImpl(const SpectralSSMOptions& options_) : options(options_) { reset(); }

void SpectralSSMImpl::reset() {
  if (options.d_model() < 1) throw ValueError(fmt::format("d_model must be at least 1, got {}", options.d_model()));
  if (options.d_state() < 1) throw ValueError(fmt::format("d_state must be at least 1, got {}", options.d_state()));
  d_model = options.d_model();
  filters = options.d_state();
  total_filters = 3 * filters;
  const int64_t hidden = total_filters / 2;

  narrow_branch = register_module("narrow_branch", make_branch(filters, 7));
  mid_branch = register_module("mid_branch", make_branch(filters, 15));
  wide_branch = register_module("wide_branch", make_branch(filters, 31));
  se_gate = register_module("se_gate", nn::Sequential(nn::AdaptiveAvgPool1d(1),
                                                      nn::Flatten(),
                                                      nn::Linear(total_filters, hidden),
                                                      nn::GELU(),
                                                      nn::Linear(hidden, total_filters),
                                                      nn::Sigmoid()));
  out_proj = register_module(
      "out_proj", nn::Sequential(nn::Linear(total_filters, d_model), nn::LayerNorm(nn::LayerNormOptions({d_model}))));
}

torch::Tensor SpectralSSMImpl::forward(const torch::Tensor& x) {
  if (x.dim() != 2)
    throw ValueError(fmt::format("SpectralSSM expects spectra as a 2-D tensor (N, C), got {} dimensions", x.dim()));
  const auto x_1d = x.unsqueeze(1);  // (N, 1, C)
  const auto f_concat =
      torch::cat({run_branch(narrow_branch, x_1d), run_branch(mid_branch, x_1d), run_branch(wide_branch, x_1d)}, 1);
  const auto gate = se_gate->forward(f_concat).unsqueeze(-1);  // (N, T, 1)
  const auto fingerprint_raw = (f_concat * gate).mean(2);      // (N, T)
  return out_proj->forward(fingerprint_raw);
}

SpectralSSMEncoderImpl::SpectralSSMEncoderImpl(const SpectralSSMEncoderOptions& options_) : options(options_) {
  reset();
}

void SpectralSSMEncoderImpl::reset() {
  continuum = register_module("continuum", ContinuumRemoval(ContinuumRemovalOptions().use_fp16(options.use_fp16())));
  ssm = register_module("ssm", SpectralSSM(SpectralSSMOptions().d_model(options.d_model()).d_state(options.d_state())));
  d_model = options.d_model();
}

torch::Tensor SpectralSSMEncoderImpl::forward(const torch::Tensor& x) {
  if (x.dim() != 4)
    throw ValueError(
        fmt::format("SpectralSSMEncoder expects a 4-D tensor (B, C, H, W), got {} dimensions", x.dim()));
  const int64_t b = x.size(0), c = x.size(1), h = x.size(2), w = x.size(3);
  const torch::Tensor removed = continuum->forward(x);
  // Row r = (b * H + h) * W + w.
  const auto pixels = removed.permute({0, 2, 3, 1}).reshape({b * h * w, c});
  const auto fingerprints = ssm->forward(pixels);
  return fingerprints.reshape({b, h, w, d_model}).permute({0, 3, 1, 2});
}

torch::Tensor fingerprint_map(SpectralSSMEncoder& encoder, const torch::Tensor& data, const torch::Device& device,
                              const FingerprintMapOptions& options) {
  if (data.dim() != 3)
    throw ValueError(fmt::format("fingerprint_map expects a scene (C, H, W), got {} dimensions", data.dim()));
  if (options.chunk_rows() < 1)
    throw ValueError(fmt::format("chunk_rows must be at least 1, got {}", options.chunk_rows()));
  const int64_t height = data.size(1), width = data.size(2);
  auto fp_map = torch::zeros({height, width, encoder->d_model}, torch::kFloat32);
  encoder->eval();
  torch::NoGradGuard no_grad;
  for (int64_t row_start = 0; row_start < height; row_start += options.chunk_rows()) {
    const int64_t rows = std::min(options.chunk_rows(), height - row_start);
    {
      auto chunk = data.narrow(1, row_start, rows).unsqueeze(0).to(device);
      auto fp_chunk = encoder->forward(chunk).squeeze(0).permute({1, 2, 0});  // (rows, W, d_model)
      fp_map.narrow(0, row_start, rows).copy_(fp_chunk);
    }
    compat::empty_cuda_cache();  // after the band's tensors are gone
  }
  return fp_map;
}

}  // namespace lumora
