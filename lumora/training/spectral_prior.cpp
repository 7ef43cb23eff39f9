#include "lumora/training/spectral_prior.h"

#include <torch/torch.h>

#include <algorithm>
#include <vector>

#include "lumora/core/errors.h"
#include "lumora/training/few_labels.h"

namespace lumora {
namespace {

// The labelled pixels (flat indices) the classifier is fitted to: all of
// them up to `most`, else each class's share of `most` (at least 16 of a
// class, or all it has) at even steps through its pixels, so that no class
// goes missing.
torch::Tensor support_pixels(const torch::Tensor& labels, int64_t num_classes, int64_t most) {
  const torch::Tensor where = labels.gt(0).nonzero().reshape({-1});
  if (where.numel() == 0) throw ValueError("no labelled pixels to fit the spectral classifier to");
  if (where.numel() <= most) return where;
  std::vector<torch::Tensor> kept;
  for (int64_t c = 1; c < num_classes; ++c) {
    const torch::Tensor of_class = labels.eq(c).nonzero().reshape({-1});
    const int64_t n = of_class.numel();
    if (n == 0) continue;
    const int64_t share = most * n / where.numel();
    const int64_t take = std::min(n, std::max<int64_t>(16, share));
    const torch::Tensor steps = torch::linspace(0, static_cast<double>(n - 1), take, torch::kFloat64);
    kept.push_back(of_class.index_select(0, steps.round().to(torch::kLong)));
  }
  return torch::cat(kept);
}

torch::Tensor gaussian_kernel(const torch::Tensor& a, const torch::Tensor& b, double gamma) {
  return torch::cdist(a, b).pow_(2).mul_(-gamma).exp_();
}

// Leave-one-out accuracy (and squared error, to break ties) of kernel ridge
// regression with kernel `k` (n, n), targets `y` (n, K) and ridge `ridge`.
std::pair<double, double> leave_one_out(const torch::Tensor& k, const torch::Tensor& y, double ridge) {
  const int64_t n = k.size(0);
  const torch::Tensor inverse = torch::inverse(k + ridge * torch::eye(n, k.options()));
  const torch::Tensor hat = k.mm(inverse);
  const torch::Tensor fitted = hat.mm(y);
  const torch::Tensor leverage = hat.diagonal().unsqueeze(1);
  const torch::Tensor loo = y - (y - fitted) / (1.0 - leverage).clamp_min(1e-9);
  const double accuracy = loo.argmax(1).eq(y.argmax(1)).to(torch::kFloat64).mean().item<double>();
  const double error = (loo - y).pow(2).sum().item<double>();
  return {accuracy, error};
}

}  // namespace

SpectralHead fit_spectral_head(const torch::Tensor& input, const torch::Tensor& labelled, int64_t num_classes,
                               int64_t max_support) {
  torch::NoGradGuard no_grad;
  const int64_t bands = input.size(1);
  const torch::Tensor pixels = input.to(torch::kCPU, torch::kFloat64).reshape({bands, -1}).t();  // (N, C)
  const torch::Tensor labels = labelled.to(torch::kCPU).reshape({-1});
  const torch::Tensor where = support_pixels(labels, num_classes, max_support);
  const torch::Tensor x = pixels.index_select(0, where).contiguous();
  const torch::Tensor y = torch::one_hot(labels.index_select(0, where), num_classes).to(torch::kFloat64);

  // Kernel widths two decades either side of the bands' spread, as "scale"
  // sets it for an SVM: with few labels the best width varies by scene.
  const double spread = std::max(1e-12, x.var().item<double>() * static_cast<double>(bands));
  double best_gamma = 1.0 / spread, best_ridge = 1e-2;
  std::pair<double, double> best = {-1.0, 0.0};
  for (double width_factor : {1.0 / 16, 1.0 / 8, 0.25, 0.5, 1.0, 2.0, 4.0, 8.0, 16.0}) {
    const torch::Tensor k = gaussian_kernel(x, x, width_factor / spread);
    for (double ridge : {1e-4, 1e-3, 1e-2, 1e-1, 1.0}) {
      const auto score = leave_one_out(k, y, ridge);
      if (score.first > best.first || (score.first == best.first && score.second < best.second)) {
        best = score;
        best_gamma = width_factor / spread;
        best_ridge = ridge;
      }
    }
  }
  const torch::Tensor k = gaussian_kernel(x, x, best_gamma);
  const torch::Tensor alpha = torch::linalg_solve(k + best_ridge * torch::eye(k.size(0), k.options()), y);
  SpectralHead head(x.size(0), bands, num_classes);
  head->set(x.to(torch::kFloat32), alpha.to(torch::kFloat32), best_gamma);
  head->to(input.device());
  return head;
}

torch::Tensor confident_labels(const torch::Tensor& scores, const torch::Tensor& labelled,
                               const torch::Tensor& excluded, int64_t per_class, double pool) {
  const auto top = scores.to(torch::kCPU).topk(2, 1);
  const torch::Tensor values = std::get<0>(top), classes = std::get<1>(top);
  const torch::Tensor margin = (values.select(1, 0) - values.select(1, 1)).nan_to_num(0.0, 1e30);  // (1, H, W)
  const torch::Tensor known = labelled.to(torch::kCPU);
  const torch::Tensor open = known.le(0).logical_and(excluded.to(torch::kCPU).le(0));
  return most_sure_per_class(margin, classes.select(1, 0), known, open, scores.size(1), per_class, pool).to(labelled.device());
}

}  // namespace lumora
