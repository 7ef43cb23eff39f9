// A kernel classifier of single spectra, carried inside a network and fused
// with its scores at inference: the network's class probabilities times the
// classifier's, the latter averaged over a small window first. With a handful
// of labels per class the network's spatial context can override what each
// pixel's spectrum plainly says; the fused scores keep both.
//
// Its buffers (checkpoint keys): support (n, bands) the labelled spectra,
// weights (n, classes) their kernel ridge coefficients, gamma the kernel's
// inverse squared width, temperature the sharpness of its probabilities and
// window the side of the averaging window.
#pragma once

#include <cstdint>

#include <torch/nn/cloneable.h>
#include <torch/nn/pimpl.h>
#include <torch/types.h>

namespace lumora {

// The side of the window a new head averages its probabilities over. A
// scene of fields gains a little from a wider one; one whose classes change
// within a few pixels loses more (measured at 10 and 30 labels per class).
inline constexpr int64_t kSpectralHeadWindow = 3;

class SpectralHeadImpl : public torch::nn::Cloneable<SpectralHeadImpl> {
 public:
  // Empty buffers of these sizes, to be filled by a state dict or by set().
  SpectralHeadImpl(int64_t support, int64_t bands, int64_t classes);
  void reset() override;

  // Fills the buffers: `support` (n, bands), `weights` (n, classes).
  void set(const torch::Tensor& support, const torch::Tensor& weights, double gamma);

  // (B, bands, H, W) -> (B, classes, H, W) float32 kernel scores, -inf for
  // classes without a labelled spectrum (0 among them).
  torch::Tensor scores(const torch::Tensor& input) const;

  // softmax(temperature x scores) averaged over `window` x `window` pixels
  // (those inside the scene): (B, classes, H, W) float32.
  torch::Tensor probabilities(const torch::Tensor& input, int64_t window) const;

  // log of the network's probabilities (from `logits`) plus log of the
  // window-averaged classifier probabilities of `input`: (B, classes, H, W)
  // float32, finite wherever the logits are.
  torch::Tensor fuse(const torch::Tensor& input, const torch::Tensor& logits) const;

  int64_t support_size() const { return support_size_; }

  torch::Tensor support, weights, gamma, temperature, window;

 private:
  int64_t support_size_, bands_, classes_;
};
TORCH_MODULE(SpectralHead);

}  // namespace lumora
