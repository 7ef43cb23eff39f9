// A classifier of spectra alone, fitted to the labelled pixels in closed
// form: kernel ridge regression to one-hot targets with a Gaussian kernel,
// its width and ridge chosen by leave-one-out error over a grid (the
// least-squares cousin of the RBF SVM). With a handful of labels per class
// it is far more reliable than a network that has seen only those pixels,
// so its most confident predictions seed the network's pseudo-labels, and
// the network can carry it as its spectral head.
#pragma once

#include <cstdint>

#include <torch/types.h>

#include "lumora/models/spectral_head.h"

namespace lumora {

// `input` (1, C, H, W) standardised bands, `labelled` (1, H, W) int64 with
// classes 1..K-1 (0 = unlabelled): the classifier fitted to the labelled
// pixels, on the input's device. Beyond `max_support` of them it keeps each
// class's share (every class at least 16, or all it has): the fit costs the
// cube of their number for each of 45 settings.
SpectralHead fit_spectral_head(const torch::Tensor& input, const torch::Tensor& labelled, int64_t num_classes,
                               int64_t max_support = 1024);

// For each class of `labelled`, the unlabelled pixels outside `excluded`
// that `scores` (1, K, H, W) assign to it with the widest margin over the
// runner-up, at most `per_class` times the class's labelled pixels, spread
// over the most sure `pool` fraction as most_sure_per_class does.
// (1, H, W) int64, 0 elsewhere.
torch::Tensor confident_labels(const torch::Tensor& scores, const torch::Tensor& labelled,
                               const torch::Tensor& excluded, int64_t per_class, double pool = 0.0);

}  // namespace lumora
