#include "lumora/training/fit.h"

#include <torch/nn/utils.h>
#include <torch/optim/adamw.h>
#include <torch/utils.h>

#include "lumora/core/errors.h"
#include "lumora/core/torch_compat.h"
#include "lumora/metrics/segmentation.h"
#include "lumora/optim/grad_scaler.h"
#include "lumora/optim/plateau.h"

namespace lumora {
namespace {

void check(const FitOptions& o) {
  check_at_least("epochs", o.epochs(), 0);
  // A zero interval would divide by zero when testing for validation epochs.
  check_at_least("val_interval", o.val_interval(), 1);
  check_at_least("warmup_epochs", o.warmup_epochs(), 0);
}

void set_learning_rate(torch::optim::Optimizer& optimizer, double lr) {
  for (auto& group : optimizer.param_groups()) group.options().set_lr(lr);
}

double learning_rate(torch::optim::Optimizer& optimizer) {
  return optimizer.param_groups().empty() ? 0.0 : optimizer.param_groups().front().options().get_lr();
}

bool validates(const FitOptions& o, int64_t epoch) {
  return epoch % o.val_interval() == 0 || (o.validate_last_epoch() && epoch == o.epochs());
}

}  // namespace

double score_of(const Scores& s, BestBy metric) {
  switch (metric) {
    case BestBy::miou: return s.miou;
    case BestBy::oa: return s.oa;
    case BestBy::aa: return s.aa;
    case BestBy::kappa: return s.kappa;
    case BestBy::dice: return s.dice;
  }
  return s.miou;
}

ValidationProgress::ValidationProgress(int64_t val_interval, std::optional<EarlyStopping> stopping, BestBy best_by)
    : val_interval_(val_interval), stopping_(stopping), best_by_(best_by) {}

bool ValidationProgress::observe(int64_t epoch, const Scores& scores) {
  last_val_miou = scores.miou;
  const double score = score_of(scores, best_by_);
  if (score > best_score) {
    best_score = score;
    best_epoch = epoch;
    best_scores = scores;
    epochs_without_improvement = 0;
    return true;
  }
  epochs_without_improvement += val_interval_;
  return false;
}

std::optional<StopReason> ValidationProgress::early_stop(int64_t epoch) const {
  if (!stopping_ || epoch < stopping_->min_epochs) return std::nullopt;
  if (last_val_miou >= 0.99) return StopReason::good_enough;
  if (epochs_without_improvement >= stopping_->patience) return StopReason::no_improvement;
  return std::nullopt;
}

FitBatch device_batch(const torch::Tensor& input, const torch::Tensor& target, const torch::Device& device) {
  auto x = input.unsqueeze(0), y = target.unsqueeze(0);
  if (!device.is_cpu()) {
    x = x.to(torch::kCPU).pin_memory();
    y = y.to(torch::kCPU).pin_memory();
  }
  return {x.to(device, /*non_blocking=*/true), y.to(device, /*non_blocking=*/true)};
}

FitResult fit_network(HyperspectralNet& net, Criterion& criterion, const FitBatch& train, const FitBatch& val,
                      const FitOptions& o) {
  check(o);
  torch::optim::AdamW optimizer(net->parameters(), torch::optim::AdamWOptions(o.lr()).weight_decay(1e-4));
  ReduceLROnPlateau scheduler(optimizer, ReduceLROnPlateauOptions().patience(10).factor(0.5));
  GradScaler scaler(GradScalerOptions().enabled(o.mixed_precision() && train.input.is_cuda()));
  const ValidationScorer scorer = o.scorer() ? o.scorer() : [](const torch::Tensor& logits,
                                                                const torch::Tensor& target) {
    return compute_metrics(logits, target, logits.size(1));
  };
  ValidationProgress progress(o.val_interval(), o.early_stopping(), o.best_by());
  BestWeights best;
  FitResult result;

  for (int64_t epoch = 1; epoch <= o.epochs(); ++epoch) {
    EpochReport r;
    r.epoch = epoch;
    r.epochs = o.epochs();
    if (epoch <= o.warmup_epochs())
      set_learning_rate(optimizer, o.lr() * (static_cast<double>(epoch) / static_cast<double>(o.warmup_epochs())));
    r.lr = learning_rate(optimizer);

    net->train();
    optimizer.zero_grad();
    {
      torch::Tensor loss;
      {
        compat::Autocast autocast(o.mixed_precision());
        loss = criterion.forward(net->forward(train.input), train.target);
      }
      scaler.scale(loss).backward();
      scaler.step(optimizer);
      scaler.update();
      r.train_loss = loss.item<double>();
    }  // the step's tensors are freed before validation needs the memory
    if (epoch > o.warmup_epochs()) {
      scheduler.step(r.train_loss);
      r.scheduler_stepped = true;
    }

    if (validates(o, epoch)) {
      net->eval();
      torch::NoGradGuard no_grad;
      torch::Tensor logits, val_loss;
      {
        compat::Autocast autocast(o.mixed_precision());
        logits = net->forward(val.input);
        val_loss = criterion.forward(logits, val.target);
      }
      r.val_scores = scorer(logits, val.target);
      r.val_loss = val_loss.item<double>();
      r.improved = progress.observe(epoch, *r.val_scores);
      if (r.improved) best.keep(*net);
      r.stopping = progress.early_stop(epoch);
    }
    if (o.observer()) {
      o.observer()->on_epoch(r);
      if (r.improved) o.observer()->on_best(r, best.weights());
    }
    if (r.stopping) {
      result.stopped_early = true;
      break;
    }
  }

  result.from_validation = !best.empty();
  result.weights = best.take_or_current(*net);
  result.best_epoch = progress.best_epoch;
  result.best_scores = progress.best_scores;
  result.best_score = progress.best_score;
  return result;
}

}  // namespace lumora
