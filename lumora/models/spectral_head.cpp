#include "lumora/models/spectral_head.h"

#include <torch/torch.h>

#include <limits>

#include "lumora/core/errors.h"
#include "lumora/core/torch_compat.h"
#include "lumora/models/shapes.h"

namespace lumora {
namespace {

// Sharpness measured over two scenes at 10 labels per class (not sensitive
// within 1-5).
constexpr double kTemperature = 3.0;
// Keeps log() finite where the classifier gives a class no probability.
constexpr double kFloor = 1e-6;
// Pixels per kernel block: bounds the (pixels x support) kernel's memory.
constexpr int64_t kChunk = 16384;

}  // namespace

SpectralHeadImpl::SpectralHeadImpl(int64_t support_size, int64_t bands, int64_t classes)
    : support_size_(support_size), bands_(bands), classes_(classes) {
  if (support_size < 1 || bands < 1 || classes < 2)
    throw ValueError("a spectral head needs at least one spectrum, one band and two classes");
  reset();
}

void SpectralHeadImpl::reset() {
  support = register_buffer("support", torch::zeros({support_size_, bands_}));
  weights = register_buffer("weights", torch::zeros({support_size_, classes_}));
  gamma = register_buffer("gamma", torch::zeros({}));
  temperature = register_buffer("temperature", torch::full({}, kTemperature));
  window = register_buffer("window", torch::full({}, kSpectralHeadWindow, torch::kInt64));
}

void SpectralHeadImpl::set(const torch::Tensor& s, const torch::Tensor& w, double g) {
  torch::NoGradGuard no_grad;
  support.copy_(s);
  weights.copy_(w);
  gamma.fill_(g);
}

torch::Tensor SpectralHeadImpl::scores(const torch::Tensor& input) const {
  require_4d(input, "SpectralHead");
  torch::NoGradGuard no_grad;
  compat::AutocastOff autocast_off;
  const int64_t b = input.size(0), h = input.size(2), w = input.size(3);
  const torch::Tensor pixels = input.to(torch::kFloat32).permute({0, 2, 3, 1}).reshape({-1, input.size(1)});
  const double g = gamma.item<double>();
  torch::Tensor out = torch::empty({pixels.size(0), classes_}, pixels.options());
  for (int64_t i = 0; i < pixels.size(0); i += kChunk) {
    const int64_t end = std::min(i + kChunk, pixels.size(0));
    const torch::Tensor kernel = torch::cdist(pixels.slice(0, i, end), support).pow_(2).mul_(-g).exp_();
    out.slice(0, i, end).copy_(kernel.mm(weights));
  }
  const torch::Tensor absent = weights.abs().sum(0).eq(0);  // classes no labelled spectrum stands for
  out.masked_fill_(absent.unsqueeze(0), -std::numeric_limits<float>::infinity());
  return out.reshape({b, h, w, classes_}).permute({0, 3, 1, 2}).contiguous();
}

torch::Tensor SpectralHeadImpl::probabilities(const torch::Tensor& input, int64_t k) const {
  compat::AutocastOff autocast_off;
  const torch::Tensor spectral = torch::softmax(scores(input) * temperature, 1);
  if (k <= 1) return spectral;
  // Averaged over the window's pixels inside the scene: borders are not diluted.
  return torch::avg_pool2d(spectral, k, 1, k / 2, /*ceil_mode=*/false, /*count_include_pad=*/false);
}

torch::Tensor SpectralHeadImpl::fuse(const torch::Tensor& input, const torch::Tensor& logits) const {
  compat::AutocastOff autocast_off;
  const torch::Tensor spectral = probabilities(input, window.item<int64_t>());
  return torch::log_softmax(logits.to(torch::kFloat32), 1) + (spectral + kFloor).log_();
}

}  // namespace lumora
