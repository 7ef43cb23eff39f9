// CEDiceLoss: cross-entropy plus a soft Dice term, for class-imbalanced scenes
// where the Dice term keeps small classes from being drowned out.
//
//   loss = CE + (1 - mean_c Dice_c)
//   Dice_c = (2 * sum(p_c * y_c) + 1) / (sum(p_c) + sum(y_c) + 1)
//
// p_c is the softmax probability of class c and y_c its one-hot target, both
// summed over the non-ignored pixels only; c runs over the classes 1..K-1
// (class 0, the unlabelled background, is never a target). Both terms have
// weight 1. The smoothing constant 1 keeps a class absent from a batch (no
// prediction, no target) at Dice 1 instead of 0/0. Ignored pixels enter
// neither term; with no valid pixel at all the loss is a zero that stays
// connected to the graph (zero gradients), like the other custom losses.
#pragma once

#include "lumora/models/losses.h"

namespace lumora {

class CEDiceLoss : public Criterion {
 public:
  explicit CEDiceLoss(int64_t ignore_index = 0);
  torch::Tensor forward(const torch::Tensor& inputs, const torch::Tensor& targets) override;
  int64_t ignore_index;
  static constexpr double kSmooth = 1.0;
};

}  // namespace lumora
