// Dynamic loss scaling for mixed-precision training: the loss is multiplied
// by a scale before back-propagation, gradients are unscaled before the
// optimiser step, a step whose gradients hold inf/NaN is skipped and the
// scale halved, and after `growth_interval` finite steps in a row the scale
// doubles. Disabled, every call passes through unchanged.
#pragma once

#include <tuple>
#include <utility>

#include <torch/arg.h>
#include <torch/optim/optimizer.h>
#include <torch/types.h>

namespace lumora {

struct GradScalerOptions {
  TORCH_ARG(double, init_scale) = 65536.0;
  TORCH_ARG(double, growth_factor) = 2.0;
  TORCH_ARG(double, backoff_factor) = 0.5;
  TORCH_ARG(int64_t, growth_interval) = 2000;
  TORCH_ARG(bool, enabled) = true;
};

class GradScaler {
 public:
  explicit GradScaler(const GradScalerOptions& options = {});

  torch::Tensor scale(const torch::Tensor& loss) const;
  // Unscales the gradients and steps the optimiser unless any is not finite.
  // Returns whether the optimiser stepped.
  bool step(torch::optim::Optimizer& optimizer);
  // Adjusts the scale after step().
  void update();

  double get_scale() const { return enabled_ ? scale_ : 1.0; }
  bool is_enabled() const { return enabled_; }

  // The scale and the count of finite steps since it last changed, for a
  // resumed run.
  std::pair<double, int64_t> state() const { return {scale_, growth_tracker_}; }
  void restore(const std::pair<double, int64_t>& s) { std::tie(scale_, growth_tracker_) = s; }

 private:
  GradScalerOptions options_;
  bool enabled_;
  double scale_;
  int64_t growth_tracker_ = 0;
  bool found_inf_ = false;
};

}  // namespace lumora
