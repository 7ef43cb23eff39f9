// What training does differently when labelled pixels are scarce: each step
// sees the scene flipped or turned (scene and mask together) with its bands
// slightly rescaled, at most a few labelled pixels of each class redrawn every
// step, pseudo-labels of confident predictions added in rounds, weights
// averaged over the steps, and a spectral classifier fused with the network.
// Each part is an option of its own; all off, the training step is what it
// always was.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <torch/arg.h>
#include <torch/types.h>

namespace lumora {

struct FewLabelOptions {
  // Flips and quarter turns of scene and mask together, and a per-band gain
  // and offset of about `jitter` standard deviations (0: none).
  TORCH_ARG(bool, augment) = false;
  TORCH_ARG(double, jitter) = 0.03;
  // Each step's loss sees at most this many labelled pixels per class,
  // drawn anew every step (0: every labelled pixel).
  TORCH_ARG(int64_t, pixels_per_class) = 0;
  // Exponential moving average of the weights, validated and kept in place
  // of the raw ones (0: off).
  TORCH_ARG(double, ema_decay) = 0.0;
  // Every `pseudo_interval` epochs from `pseudo_start`, unlabelled pixels
  // whose predicted class reaches `pseudo_confidence` join training with that
  // class, at most `pseudo_per_class` times the class's labelled pixels (0: off).
  TORCH_ARG(int64_t, pseudo_interval) = 0;
  TORCH_ARG(int64_t, pseudo_start) = 100;
  TORCH_ARG(double, pseudo_confidence) = 0.95;
  TORCH_ARG(int64_t, pseudo_per_class) = 10;
  // From the first step, up to this many times each class's labelled pixels
  // join training with the class a spectral classifier fitted to the labels
  // gives them most surely (see spectral_prior.h; 0: off). Later rounds of
  // pseudo-labels take precedence where they label a pixel.
  TORCH_ARG(int64_t, spectral_seeds) = 0;
  // The seeds are spread evenly over the ranks of the most sure fraction
  // `seed_pool` of each class's pixels, so that they show the class's range
  // of spectra and not only its purest ones (0: the most sure alone).
  TORCH_ARG(double, seed_pool) = 0.0;
  // The seeds are ranked by the classifier's probabilities averaged over
  // `seed_window` x `seed_window` pixels, so that a pixel whose neighbours
  // the classifier reads otherwise is not taken as sure (0 or 1: the pixel's
  // own scores).
  TORCH_ARG(int64_t, seed_window) = 0;
  // The network carries that spectral classifier as its spectral head, its
  // scores fused with the network's in tests and every prediction (see
  // spectral_head.h); validation and pseudo-label rounds judge the network
  // alone. The classifier, head or not, is fitted to the training and the
  // validation pixels.
  TORCH_ARG(bool, spectral_head) = false;
  // Among validations with the same score, keep the one with the lowest
  // validation loss (else the first).
  TORCH_ARG(bool, loss_breaks_ties) = false;
  TORCH_ARG(uint64_t, seed) = 42;

 public:
  bool any() const {
    return augment_ || pixels_per_class_ > 0 || ema_decay_ > 0.0 || pseudo_interval_ > 0 || spectral_seeds_ > 0 ||
           spectral_head_ || loss_breaks_ties_;
  }
};

// The recipe `--few_labels` turns on.
FewLabelOptions few_labels_recipe();
// Every option in one line ("off" when none is on), for records.
std::string few_label_summary(const FewLabelOptions& options);

// One view of a scene: turned by `quarter_turns` x 90 degrees, then mirrored
// left to right when `mirror`.
struct View {
  int64_t quarter_turns = 0;
  bool mirror = false;
};
// A random view; quarter and three-quarter turns only for square scenes, so
// the scene keeps its shape.
View random_view(std::mt19937_64& rng, int64_t height, int64_t width);
// `x` (..., H, W): the view of it (the last two axes turned and mirrored).
torch::Tensor apply_view(const torch::Tensor& x, const View& view);

// `target` (1, H, W) int64 with at most `per_class` pixels of each class
// kept, chosen at random; the others 0.
torch::Tensor sample_per_class(const torch::Tensor& target, int64_t per_class, std::mt19937_64& rng);

// For each class of `known` (1, H, W), the `open` pixels (1, H, W) whose
// class `cls` (1, H, W) it is, the highest `sureness` first, at most
// `per_class` times the class's known pixels: (1, H, W) int64 on the CPU.
// With `pool` in (0, 1], they are taken at even steps through the ranks of
// the class's most sure `pool` fraction of pixels instead.
torch::Tensor most_sure_per_class(const torch::Tensor& sureness, const torch::Tensor& cls, const torch::Tensor& known,
                                  const torch::Tensor& open, int64_t num_classes, int64_t per_class,
                                  double pool = 0.0);

// Pseudo-labels from `probs` (1, K, H, W) of the scene: for each class of
// `labelled` (1, H, W; 0 = unlabelled), the pixels whose most probable class
// it is with probability >= `confidence`, outside `excluded` (1, H, W; > 0 =
// never pseudo-labelled) and outside `labelled`, the most confident first,
// at most `per_class` times the class's labelled pixels. (1, H, W) int64.
torch::Tensor pseudo_labels(const torch::Tensor& probs, const torch::Tensor& labelled, const torch::Tensor& excluded,
                            double confidence, int64_t per_class);

}  // namespace lumora
