// The whole state of a fit after an epoch, and its form as a plain value of
// a tensor file (mappings, lists, numbers, text and tensors), so that a
// checkpoint loads in Python with torch.load(..., weights_only=True).
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include <ATen/core/ivalue.h>
#include <torch/optim/adamw.h>

#include "lumora/core/state_dict.h"
#include "lumora/optim/plateau.h"
#include "lumora/training/fit.h"

namespace lumora {

// AdamW's moments of one parameter; none before its first step.
struct AdamMoments {
  int64_t step = 0;
  torch::Tensor exp_avg, exp_avg_sq;
};

struct OptimizerState {
  double lr = 0.0;
  std::vector<std::optional<AdamMoments>> params;  // in the order of the optimiser's parameters
};
OptimizerState adamw_state(torch::optim::AdamW& optimizer);
void restore_adamw_state(torch::optim::AdamW& optimizer, const OptimizerState& state);

struct FitState {
  int64_t epoch = 0;  // the last one finished
  StateDict model;
  OptimizerState optimizer;
  ReduceLROnPlateau::State plateau;
  std::pair<double, int64_t> scaler{1.0, 0};
  std::vector<torch::Tensor> generators;  // compat::random_generator_states()
  std::mt19937_64 draws;                  // the few-labels draws
  std::optional<StateDict> best_weights;
  ValidationProgress progress{1, std::nullopt};
  std::optional<std::vector<torch::Tensor>> averaged;
  torch::Tensor pseudo;  // undefined before the first round
};

c10::IValue fit_state_to_ivalue(const FitState& state);
// ValueError "the checkpoint's <entry> is missing or damaged" for a value
// that is not one fit_state_to_ivalue made.
FitState fit_state_from_ivalue(const c10::IValue& value);

}  // namespace lumora
