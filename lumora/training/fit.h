// The one training loop of a HyperspectralNet on one batch (the whole scene
// and a label mask): AdamW with weight decay 1e-4, the plateau scheduler on
// the training loss, validation every few epochs, the strictly best weights
// kept. What the callers differ in is an option; what happens is reported to
// a FitObserver, never printed.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include <ATen/core/ivalue.h>
#include <torch/arg.h>
#include <torch/types.h>

#include "lumora/core/state_dict.h"
#include "lumora/metrics/confusion.h"
#include "lumora/models/cubeseg.h"
#include "lumora/models/losses.h"
#include "lumora/training/few_labels.h"

namespace lumora {

// The score that decides which validation's weights are kept.
enum class BestBy { miou, oa, aa, kappa, dice };
double score_of(const Scores& scores, BestBy metric);

// Why a run ended before its last epoch.
enum class StopReason {
  good_enough,     // the latest validation mIoU reached 0.99
  no_improvement,  // `patience` epochs without a better validation
};

struct EarlyStopping {
  int64_t patience = 50;    // epochs without improvement, counted in validation intervals
  int64_t min_epochs = 40;  // neither rule fires before this epoch
};

// Best-validation bookkeeping and the two early-stop rules of one run.
class ValidationProgress {
 public:
  ValidationProgress(int64_t val_interval, std::optional<EarlyStopping> stopping, BestBy best_by = BestBy::miou,
                     bool loss_breaks_ties = false);

  // Records one validation; true when it beats the best so far (strictly,
  // starting from 0), else the no-improvement count grows by val_interval.
  // With loss_breaks_ties, an equal score with a lower validation loss beats
  // it too: a few validation pixels tie often, and the first tie is rarely
  // the best weights.
  bool observe(int64_t epoch, const Scores& scores, double val_loss = 0.0);
  // After observe: the rule that ends the run now, if any. mIoU >= 0.99 wins
  // over the no-improvement rule; neither fires before min_epochs.
  std::optional<StopReason> early_stop(int64_t epoch) const;

  double best_score = 0.0;  // of the best_by metric
  int64_t best_epoch = 0;   // 0 while nothing beat 0
  Scores best_scores;
  double best_loss = 0.0;  // the validation loss of best_epoch
  int64_t epochs_without_improvement = 0;
  double last_val_miou = 0.0;

 private:
  int64_t val_interval_;
  std::optional<EarlyStopping> stopping_;
  BestBy best_by_;
  bool loss_breaks_ties_;
};

// One epoch as it happened.
struct EpochReport {
  int64_t epoch = 0;  // from 1
  int64_t epochs = 0;
  double lr = 0.0;  // the learning rate of this epoch's step
  double train_loss = 0.0;
  bool scheduler_stepped = false;  // the plateau scheduler saw this epoch's loss
  // Validation epochs only.
  std::optional<double> val_loss;
  std::optional<Scores> val_scores;
  bool improved = false;              // this validation's weights are now the best
  std::optional<int64_t> pseudo_pixels;  // a pseudo-label round: the pixels it labelled
  std::optional<StopReason> stopping;  // the run ends after this epoch
};

class FitObserver {
 public:
  virtual ~FitObserver() = default;
  virtual void on_epoch(const EpochReport& /*report*/) {}
  // A validation beat every earlier one; `best` is the CPU copy now kept.
  virtual void on_best(const EpochReport& /*report*/, const StateDict& /*best*/) {}
};
using FitObserverPtr = FitObserver*;  // TORCH_ARG needs a one-word type

// Keeps a fit's whole state (see fit_state.h) so that a later run can go on
// as if this one had never stopped. Called after every validation epoch and
// when a stop is asked for, before fit_network throws Stopped.
class FitCheckpointer {
 public:
  virtual ~FitCheckpointer() = default;
  virtual void save(const c10::IValue& state, int64_t epoch) = 0;
};
using FitCheckpointerPtr = FitCheckpointer*;

// logits (1, K, H, W) and target (1, H, W) on the device -> scores.
using ValidationScorer = std::function<Scores(const torch::Tensor& logits, const torch::Tensor& target)>;

struct FitOptions {
  TORCH_ARG(int64_t, epochs) = 300;
  TORCH_ARG(double, lr) = 1e-4;
  // Linear warm-up: epoch e <= warmup_epochs steps with lr * e / warmup_epochs
  // and the scheduler starts after it.
  TORCH_ARG(int64_t, warmup_epochs) = 0;
  TORCH_ARG(int64_t, val_interval) = 10;
  TORCH_ARG(bool, validate_last_epoch) = false;
  // Float16 autocast on CUDA with the gradient scaler (float32 on the CPU).
  TORCH_ARG(bool, mixed_precision) = false;
  TORCH_ARG(std::optional<EarlyStopping>, early_stopping) = std::nullopt;
  TORCH_ARG(BestBy, best_by) = BestBy::miou;
  // Scores of a validation; the default fails on a mask without pixels.
  TORCH_ARG(ValidationScorer, scorer) = nullptr;
  TORCH_ARG(FitObserverPtr, observer) = nullptr;
  // Augmentation, per-class pixel draws, pseudo-labels, averaged weights.
  TORCH_ARG(FewLabelOptions, few_labels) = FewLabelOptions();
  TORCH_ARG(FitCheckpointerPtr, checkpointer) = nullptr;
  // A state a checkpointer was given: the fit goes on from the epoch after
  // it (None: from the start). Observers hear only the epochs run now.
  TORCH_ARG(c10::IValue, resume_from) = c10::IValue();
};

// One batch on the training device.
struct FitBatch {
  torch::Tensor input;   // (1, C, H, W)
  torch::Tensor target;  // (1, H, W) int64, 0 = ignored
};

// The single sample (C, H, W) and its mask (H, W) as a batch of one on the
// device. The scene never changes between epochs, so it is moved once; off
// the CPU the host copy is pinned first.
FitBatch device_batch(const torch::Tensor& input, const torch::Tensor& target, const torch::Device& device);

struct FitResult {
  StateDict weights;             // CPU copy: the best validation's, else the final ones
  bool from_validation = false;  // false: no validation beat 0, the final weights stand in
  int64_t best_epoch = 0;
  Scores best_scores;
  double best_score = 0.0;
  bool stopped_early = false;
};

// Trains `net` (already on the device) with `criterion` for up to
// options.epochs() epochs. The net is left with its final weights. A stop
// asked for by a signal (see stop_signal.h) ends the fit after the epoch in
// progress: the checkpointer keeps the state, then Stopped is thrown.
FitResult fit_network(HyperspectralNet& net, Criterion& criterion, const FitBatch& train,
                      const FitBatch& val, const FitOptions& options);

}  // namespace lumora
