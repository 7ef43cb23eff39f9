#include "lumora/training/fit.h"

#include <torch/nn/utils.h>
#include <torch/optim/adamw.h>
#include <torch/utils.h>

#include <optional>
#include <random>

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

// An exponential moving average of a module's parameters; buffers (the
// normalisation statistics) follow the module as they are.
class AveragedWeights {
 public:
  AveragedWeights(torch::nn::Module& module, double decay) : module_(module), decay_(decay) {
    torch::NoGradGuard no_grad;
    for (const auto& p : module.parameters()) average_.push_back(p.detach().clone());
  }
  void update() {
    torch::NoGradGuard no_grad;
    const auto params = module_.parameters();
    for (size_t i = 0; i < params.size(); ++i) average_[i].mul_(decay_).add_(params[i].detach(), 1.0 - decay_);
  }
  // Swaps the module's parameters with the averages (twice: back again).
  void swap() {
    torch::NoGradGuard no_grad;
    const auto params = module_.parameters();
    for (size_t i = 0; i < params.size(); ++i) {
      torch::Tensor raw = params[i].detach().clone();
      params[i].detach().copy_(average_[i]);
      average_[i] = raw;
    }
  }

 private:
  torch::nn::Module& module_;
  double decay_;
  std::vector<torch::Tensor> average_;
};

// The training batch of one step: the scene seen from a random view with
// its bands jittered, and the labels this step's loss sees.
FitBatch step_batch(const FitBatch& train, const torch::Tensor& pseudo, const FewLabelOptions& f,
                    std::mt19937_64& rng) {
  FitBatch b = train;
  if (f.pixels_per_class() > 0) b.target = sample_per_class(train.target, f.pixels_per_class(), rng);
  if (pseudo.defined()) {
    const torch::Tensor extra = f.pixels_per_class() > 0 ? sample_per_class(pseudo, f.pixels_per_class(), rng) : pseudo;
    b.target = torch::where(b.target.gt(0), b.target, extra);
  }
  if (f.augment()) {
    const View view = random_view(rng, b.input.size(2), b.input.size(3));
    b.input = apply_view(b.input, view);
    b.target = apply_view(b.target, view);
    if (f.jitter() > 0.0) {
      const auto bands = torch::TensorOptions().dtype(b.input.scalar_type()).device(b.input.device());
      const torch::Tensor gain = 1.0 + f.jitter() * torch::randn({1, b.input.size(1), 1, 1}, bands);
      const torch::Tensor offset = f.jitter() * torch::randn({1, b.input.size(1), 1, 1}, bands);
      b.input = b.input * gain + offset;
    }
  }
  return b;
}

bool pseudo_round(const FewLabelOptions& f, int64_t epoch) {
  return f.pseudo_interval() > 0 && epoch >= f.pseudo_start() && (epoch - f.pseudo_start()) % f.pseudo_interval() == 0;
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
  const FewLabelOptions& few = o.few_labels();
  std::mt19937_64 rng(few.seed());
  std::optional<AveragedWeights> averaged;
  if (few.ema_decay() > 0.0) averaged.emplace(*net, few.ema_decay());
  torch::Tensor pseudo;  // (1, H, W) pseudo-labels of the latest round, undefined before the first

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
      const FitBatch batch = few.any() ? step_batch(train, pseudo, few, rng) : train;
      torch::Tensor loss;
      {
        compat::Autocast autocast(o.mixed_precision());
        loss = criterion.forward(net->forward(batch.input), batch.target);
      }
      scaler.scale(loss).backward();
      scaler.step(optimizer);
      scaler.update();
      r.train_loss = loss.item<double>();
    }  // the step's tensors are freed before validation needs the memory
    // Rounds and validations judge the averaged weights.
    const bool judged = pseudo_round(few, epoch) || validates(o, epoch);
    if (averaged) averaged->update();
    if (averaged && judged) averaged->swap();
    if (pseudo_round(few, epoch)) {
      net->eval();
      torch::NoGradGuard no_grad;
      compat::Autocast autocast(o.mixed_precision());
      const torch::Tensor probs = torch::softmax(net->forward(train.input).to(torch::kFloat32), 1);
      pseudo = pseudo_labels(probs, train.target, val.target, few.pseudo_confidence(), few.pseudo_per_class());
      r.pseudo_pixels = pseudo.gt(0).sum().item<int64_t>();
    }
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
    if (averaged && judged) averaged->swap();
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
  if (averaged) averaged->swap();  // without a validation, the averaged weights stand in
  result.weights = best.take_or_current(*net);
  if (averaged) averaged->swap();
  result.best_epoch = progress.best_epoch;
  result.best_scores = progress.best_scores;
  result.best_score = progress.best_score;
  return result;
}

}  // namespace lumora
