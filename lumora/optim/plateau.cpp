#include "lumora/optim/plateau.h"

#include <algorithm>

#include "lumora/core/errors.h"

namespace lumora {

ReduceLROnPlateau::ReduceLROnPlateau(torch::optim::Optimizer& optimizer, const ReduceLROnPlateauOptions& options)
    : optimizer_(optimizer), options_(options) {
  if (options_.factor() >= 1.0) throw ValueError("Factor should be < 1.0.");
  best_ = options_.mode() == PlateauMode::min ? std::numeric_limits<double>::infinity()
                                            : -std::numeric_limits<double>::infinity();
}

bool ReduceLROnPlateau::is_better(double value) const {
  if (options_.mode() == PlateauMode::min) return value < best_ * (1.0 - options_.threshold());
  return value > best_ * (options_.threshold() + 1.0);
}

void ReduceLROnPlateau::step(double metric) {
  if (is_better(metric)) {
    best_ = metric;
    num_bad_epochs_ = 0;
  } else {
    ++num_bad_epochs_;
  }
  if (cooldown_counter_ > 0) {
    --cooldown_counter_;
    num_bad_epochs_ = 0;
  }
  if (num_bad_epochs_ > options_.patience()) {
    reduce_lr();
    cooldown_counter_ = options_.cooldown();
    num_bad_epochs_ = 0;
  }
}

void ReduceLROnPlateau::reduce_lr() {
  for (auto& group : optimizer_.param_groups()) {
    const double old_lr = group.options().get_lr();
    const double new_lr = std::max(old_lr * options_.factor(), options_.min_lr());
    if (old_lr - new_lr > options_.eps()) group.options().set_lr(new_lr);
  }
}

double ReduceLROnPlateau::current_lr() const {
  return optimizer_.param_groups().empty() ? 0.0 : optimizer_.param_groups().front().options().get_lr();
}

}  // namespace lumora
