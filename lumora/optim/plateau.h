// ReduceLROnPlateau with PyTorch's documented semantics: the learning rate of
// every parameter group is multiplied by `factor` once the monitored value has
// not improved (relative threshold) for more than `patience` steps.
#pragma once

#include <limits>
#include <string>

#include <torch/arg.h>
#include <torch/optim/optimizer.h>

namespace lumora {

// Whether the monitored value should fall (a loss) or rise (an accuracy).
enum class PlateauMode { min, max };

struct ReduceLROnPlateauOptions {
  TORCH_ARG(PlateauMode, mode) = PlateauMode::min;
  TORCH_ARG(double, factor) = 0.1;
  TORCH_ARG(int64_t, patience) = 10;
  TORCH_ARG(double, threshold) = 1e-4;  // relative
  TORCH_ARG(int64_t, cooldown) = 0;
  TORCH_ARG(double, min_lr) = 0.0;
  TORCH_ARG(double, eps) = 1e-8;
};

class ReduceLROnPlateau {
 public:
  ReduceLROnPlateau(torch::optim::Optimizer& optimizer, const ReduceLROnPlateauOptions& options = {});

  // One observation of the monitored value; may lower the learning rates.
  void step(double metric);

  double best() const { return best_; }
  int64_t num_bad_epochs() const { return num_bad_epochs_; }
  // The learning rate of the first parameter group.
  double current_lr() const;

  // What a resumed run needs to go on where this one stopped (the learning
  // rates themselves live in the optimiser).
  struct State {
    double best = 0.0;
    int64_t num_bad_epochs = 0;
    int64_t cooldown_counter = 0;
  };
  State state() const { return {best_, num_bad_epochs_, cooldown_counter_}; }
  void restore(const State& s) {
    best_ = s.best;
    num_bad_epochs_ = s.num_bad_epochs;
    cooldown_counter_ = s.cooldown_counter;
  }

 private:
  bool is_better(double value) const;
  void reduce_lr();

  torch::optim::Optimizer& optimizer_;
  ReduceLROnPlateauOptions options_;
  double best_;
  int64_t num_bad_epochs_ = 0;
  int64_t cooldown_counter_ = 0;
};

}  // namespace lumora
