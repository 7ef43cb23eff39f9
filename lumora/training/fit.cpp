#include "lumora/training/fit.h"

#include <torch/nn/utils.h>
#include <torch/optim/adamw.h>
#include <torch/utils.h>

#include <algorithm>
#include <optional>
#include <random>

#include "lumora/core/errors.h"
#include "lumora/core/torch_compat.h"
#include "lumora/metrics/segmentation.h"
#include "lumora/optim/grad_scaler.h"
#include "lumora/optim/plateau.h"
#include "lumora/core/stop_signal.h"
#include "lumora/training/fit_state.h"
#include "lumora/training/spectral_prior.h"

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
  // After step `step` (from 1): early on the decay is lower, (1 + step) /
  // (10 + step), so the average does not drag the random initial weights
  // along for hundreds of steps.
  void update(int64_t step) {
    torch::NoGradGuard no_grad;
    const double decay = std::min(decay_, (1.0 + static_cast<double>(step)) / (10.0 + static_cast<double>(step)));
    const auto params = module_.parameters();
    for (size_t i = 0; i < params.size(); ++i) average_[i].mul_(decay).add_(params[i].detach(), 1.0 - decay);
  }
  const std::vector<torch::Tensor>& averages() const { return average_; }
  void restore(const std::vector<torch::Tensor>& averages) {
    torch::NoGradGuard no_grad;
    if (averages.size() != average_.size()) throw ValueError("the checkpoint's averaged weights do not fit the network");
    for (size_t i = 0; i < averages.size(); ++i) average_[i].copy_(averages[i]);
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

ValidationProgress::ValidationProgress(int64_t val_interval, std::optional<EarlyStopping> stopping, BestBy best_by,
                                       bool loss_breaks_ties)
    : val_interval_(val_interval), stopping_(stopping), best_by_(best_by), loss_breaks_ties_(loss_breaks_ties) {}

bool ValidationProgress::observe(int64_t epoch, const Scores& scores, double val_loss) {
  last_val_miou = scores.miou;
  const double score = score_of(scores, best_by_);
  const bool better_tie = loss_breaks_ties_ && best_epoch > 0 && score == best_score && val_loss < best_loss;
  if (score > best_score || better_tie) {
    best_score = score;
    best_epoch = epoch;
    best_scores = scores;
    best_loss = val_loss;
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

namespace {

// The pixels the spectral classifier is fitted to: the training pixels and,
// where validation sees the same scene, the validation pixels too. It picks
// its own width and ridge by leave-one-out, and validation judges the
// network alone, so they are not needed to check it; with a handful of
// labels per class every one counts.
torch::Tensor spectral_labels(const FitBatch& train, const FitBatch& val) {
  if (!val.target.defined() || !val.input.sizes().equals(train.input.sizes()) || !torch::equal(val.input, train.input))
    return train.target;
  return torch::where(train.target.gt(0), train.target, val.target.clamp_min(0));
}

// One fit from start to end: everything that changes from epoch to epoch
// lives here, so that state() can keep it and restore() bring it back.
class FitLoop {
 public:
  FitLoop(HyperspectralNet& net, Criterion& criterion, const FitBatch& train, const FitBatch& val,
          const FitOptions& o)
      : net_(net),
        criterion_(criterion),
        train_(train),
        val_(val),
        o_(o),
        few_(o.few_labels()),
        optimizer_(net->parameters(), torch::optim::AdamWOptions(o.lr()).weight_decay(1e-4)),
        scheduler_(optimizer_, ReduceLROnPlateauOptions().patience(10).factor(0.5)),
        scaler_(GradScalerOptions().enabled(o.mixed_precision() && train.input.is_cuda())),
        progress_(o.val_interval(), o.early_stopping(), o.best_by(), o.few_labels().loss_breaks_ties()),
        scorer_(o.scorer() ? o.scorer() : [](const torch::Tensor& logits, const torch::Tensor& target) {
          return compute_metrics(logits, target, logits.size(1));
        }),
        rng_(few_.seed()) {
    if (few_.spectral_seeds() > 0 || few_.spectral_head())
      spectral_ = fit_spectral_head(train.input, spectral_labels(train, val), net->options.num_classes());
    // Before a checkpoint's weights are restored: they hold the head's buffers.
    if (few_.spectral_head()) net->attach_spectral_head(spectral_);
    // Validation and pseudo-label rounds judge the network alone: fused with
    // the head, a few validation pixels agree from the first epochs on and
    // leave nothing to choose the weights by.
    net->spectral_head_fused = false;
    if (few_.ema_decay() > 0.0) averaged_.emplace(*net, few_.ema_decay());
    if (!o.resume_from().isNone()) restore(o.resume_from());
  }

  ~FitLoop() { net_->spectral_head_fused = true; }

  FitResult run();

 private:
  EpochReport epoch(int64_t epoch);
  void train_step(EpochReport& r);
  void validate(EpochReport& r);
  c10::IValue state(int64_t epoch);
  void restore(const c10::IValue& state);

  HyperspectralNet& net_;
  Criterion& criterion_;
  const FitBatch& train_;
  const FitBatch& val_;
  const FitOptions& o_;
  const FewLabelOptions& few_;
  torch::optim::AdamW optimizer_;
  ReduceLROnPlateau scheduler_;
  GradScaler scaler_;
  ValidationProgress progress_;
  BestWeights best_;
  ValidationScorer scorer_;  // the default fails on a mask without pixels
  std::mt19937_64 rng_;
  std::optional<AveragedWeights> averaged_;
  SpectralHead spectral_{nullptr};  // the spectral classifier, fitted to the labels once
  torch::Tensor seeds_;   // (1, H, W) the spectral classifier's labels, undefined without them
  torch::Tensor pseudo_;  // (1, H, W) pseudo-labels of the latest round, undefined before the first
  int64_t done_ = 0;      // epochs finished, a resumed run's included
};

void FitLoop::train_step(EpochReport& r) {
  net_->train();
  optimizer_.zero_grad();
  const FitBatch batch = few_.any() ? step_batch(train_, pseudo_, few_, rng_) : train_;
  torch::Tensor loss;
  {
    compat::Autocast autocast(o_.mixed_precision());
    loss = criterion_.forward(net_->forward(batch.input), batch.target);
  }
  scaler_.scale(loss).backward();
  scaler_.step(optimizer_);
  scaler_.update();
  r.train_loss = loss.item<double>();
}

void FitLoop::validate(EpochReport& r) {
  net_->eval();
  torch::NoGradGuard no_grad;
  torch::Tensor logits, val_loss;
  {
    compat::Autocast autocast(o_.mixed_precision());
    logits = net_->forward(val_.input);
    val_loss = criterion_.forward(logits, val_.target);
  }
  r.val_scores = scorer_(logits, val_.target);
  r.val_loss = val_loss.item<double>();
  r.improved = progress_.observe(r.epoch, *r.val_scores, *r.val_loss);
  if (r.improved) best_.keep(*net_);
  r.stopping = progress_.early_stop(r.epoch);
}

EpochReport FitLoop::epoch(int64_t epoch) {
  EpochReport r;
  r.epoch = epoch;
  r.epochs = o_.epochs();
  if (epoch <= o_.warmup_epochs())
    set_learning_rate(optimizer_, o_.lr() * (static_cast<double>(epoch) / static_cast<double>(o_.warmup_epochs())));
  r.lr = learning_rate(optimizer_);
  train_step(r);  // its tensors are freed before validation needs the memory

  // Rounds and validations judge the averaged weights.
  const bool judged = pseudo_round(few_, epoch) || validates(o_, epoch);
  if (averaged_) averaged_->update(epoch);
  if (averaged_ && judged) averaged_->swap();
  if (pseudo_round(few_, epoch)) {
    net_->eval();
    torch::NoGradGuard no_grad;
    compat::Autocast autocast(o_.mixed_precision());
    const torch::Tensor probs = torch::softmax(net_->forward(train_.input).to(torch::kFloat32), 1);
    pseudo_ = pseudo_labels(probs, train_.target, val_.target, few_.pseudo_confidence(), few_.pseudo_per_class());
    if (seeds_.defined()) pseudo_ = torch::where(pseudo_.gt(0), pseudo_, seeds_);
    r.pseudo_pixels = pseudo_.gt(0).sum().item<int64_t>();
  }
  if (epoch > o_.warmup_epochs()) {
    scheduler_.step(r.train_loss);
    r.scheduler_stepped = true;
  }
  if (validates(o_, epoch)) validate(r);
  if (averaged_ && judged) averaged_->swap();
  return r;
}

FitResult FitLoop::run() {
  FitResult result;
  if (few_.spectral_seeds() > 0) {
    // Deterministic: a resumed run makes the same seeds again.
    const torch::Tensor sureness = few_.seed_window() > 1
                                       ? spectral_->probabilities(train_.input, few_.seed_window())
                                       : spectral_->scores(train_.input);
    seeds_ = confident_labels(sureness, train_.target, val_.target, few_.spectral_seeds(), few_.seed_pool());
    if (done_ == 0) pseudo_ = seeds_;
  }
  for (int64_t epoch = done_ + 1; epoch <= o_.epochs(); ++epoch) {
    const EpochReport r = this->epoch(epoch);
    done_ = epoch;
    if (o_.observer()) {
      o_.observer()->on_epoch(r);
      if (r.improved) o_.observer()->on_best(r, best_.weights());
    }
    const bool stop = stop_signal() != 0;
    if (o_.checkpointer() && (r.val_scores || stop)) o_.checkpointer()->save(state(epoch), epoch);
    if (stop) stop_point("at epoch " + std::to_string(epoch) + (o_.checkpointer() ? "; continue with --resume" : ""));
    if (r.stopping) {
      result.stopped_early = true;
      break;
    }
  }

  result.from_validation = !best_.empty();
  if (averaged_) averaged_->swap();  // without a validation, the averaged weights stand in
  result.weights = best_.take_or_current(*net_);
  if (averaged_) averaged_->swap();
  result.best_epoch = progress_.best_epoch;
  result.best_scores = progress_.best_scores;
  result.best_score = progress_.best_score;
  return result;
}

c10::IValue FitLoop::state(int64_t epoch) {
  FitState s;
  s.epoch = epoch;
  s.model = cpu_copy(state_dict(*net_));
  s.optimizer = adamw_state(optimizer_);
  s.plateau = scheduler_.state();
  s.scaler = scaler_.state();
  s.generators = compat::random_generator_states();
  s.draws = rng_;
  if (!best_.empty()) s.best_weights = best_.weights();
  s.progress = progress_;
  if (averaged_) s.averaged = averaged_->averages();
  if (pseudo_.defined()) s.pseudo = pseudo_.to(torch::kCPU);
  return fit_state_to_ivalue(s);
}

void FitLoop::restore(const c10::IValue& value) {
  FitState s = fit_state_from_ivalue(value);
  load_state_dict(*net_, s.model);
  restore_adamw_state(optimizer_, s.optimizer);
  scheduler_.restore(s.plateau);
  scaler_.restore(s.scaler);
  compat::set_random_generator_states(s.generators);
  rng_ = s.draws;
  if (s.best_weights) best_.keep(std::move(*s.best_weights));
  progress_.best_score = s.progress.best_score;
  progress_.best_epoch = s.progress.best_epoch;
  progress_.best_scores = s.progress.best_scores;
  progress_.best_loss = s.progress.best_loss;
  progress_.epochs_without_improvement = s.progress.epochs_without_improvement;
  progress_.last_val_miou = s.progress.last_val_miou;
  if (averaged_) {
    if (!s.averaged) throw ValueError("the checkpoint holds no averaged weights");
    averaged_->restore(*s.averaged);
  }
  if (s.pseudo.defined()) pseudo_ = s.pseudo.to(train_.target.device());
  done_ = s.epoch;
}

}  // namespace

FitResult fit_network(HyperspectralNet& net, Criterion& criterion, const FitBatch& train, const FitBatch& val,
                      const FitOptions& o) {
  check(o);
  return FitLoop(net, criterion, train, val, o).run();
}

}  // namespace lumora
