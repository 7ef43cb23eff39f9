#include "lumora/optim/grad_scaler.h"

#include <torch/torch.h>

namespace lumora {

GradScaler::GradScaler(const GradScalerOptions& options)
    : options_(options), enabled_(options.enabled()), scale_(options.init_scale()) {}

torch::Tensor GradScaler::scale(const torch::Tensor& loss) const { return enabled_ ? loss * scale_ : loss; }

bool GradScaler::step(torch::optim::Optimizer& optimizer) {
  if (!enabled_) {
    optimizer.step();
    return true;
  }
  torch::NoGradGuard no_grad;
  const double inv_scale = 1.0 / scale_;
  torch::Tensor non_finite;  // accumulated on the gradients' device: one host read per step
  for (auto& group : optimizer.param_groups()) {
    for (auto& p : group.params()) {
      auto& g = p.mutable_grad();
      if (!g.defined()) continue;
      auto bad = g.isfinite().logical_not().any();
      non_finite = non_finite.defined() ? non_finite.logical_or(bad) : bad;
      g.mul_(inv_scale);
    }
  }
  found_inf_ = non_finite.defined() && non_finite.item<bool>();
  if (!found_inf_) optimizer.step();
  return !found_inf_;
}

void GradScaler::update() {
  if (!enabled_) return;
  if (found_inf_) {
    scale_ *= options_.backoff_factor();
    growth_tracker_ = 0;
  } else if (++growth_tracker_ == options_.growth_interval()) {
    scale_ *= options_.growth_factor();
    growth_tracker_ = 0;
  }
  found_inf_ = false;
}

}  // namespace lumora
