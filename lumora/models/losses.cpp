#include "lumora/models/losses.h"

#include <torch/nn/functional/loss.h>

#include "lumora/core/errors.h"
#include "lumora/models/dice_loss.h"

namespace lumora {
namespace {

namespace F = torch::nn::functional;

torch::Tensor per_pixel_ce(const torch::Tensor& inputs, const torch::Tensor& targets, int64_t ignore_index) {
  return F::cross_entropy(inputs, targets,
                          F::CrossEntropyFuncOptions().ignore_index(ignore_index).reduction(torch::kNone));
}

// Mean over the valid pixels, or a graph-connected zero when there are none.
torch::Tensor masked_mean(const torch::Tensor& values, const torch::Tensor& mask) {
  if (mask.any().item<bool>()) return values.masked_select(mask).mean();
  return values.sum() * 0.0;
}

}  // namespace

CrossEntropyLoss::CrossEntropyLoss(int64_t ignore_index_) : Criterion("CrossEntropyLoss"), ignore_index(ignore_index_) {}

torch::Tensor CrossEntropyLoss::forward(const torch::Tensor& inputs, const torch::Tensor& targets) {
  return F::cross_entropy(inputs, targets, F::CrossEntropyFuncOptions().ignore_index(ignore_index));
}

SquaredCELoss::SquaredCELoss(int64_t ignore_index_) : Criterion("SquaredCELoss"), ignore_index(ignore_index_) {}

torch::Tensor SquaredCELoss::forward(const torch::Tensor& inputs, const torch::Tensor& targets) {
  auto ce = per_pixel_ce(inputs, targets, ignore_index);
  auto mask = targets.ne(ignore_index);
  if (mask.any().item<bool>()) return ce.masked_select(mask).pow(2).mean();
  return ce.sum() * 0.0;
}

FocalLoss::FocalLoss(double gamma_, int64_t ignore_index_)
    : Criterion("FocalLoss"), gamma(gamma_), ignore_index(ignore_index_) {}

torch::Tensor FocalLoss::forward(const torch::Tensor& inputs, const torch::Tensor& targets) {
  auto ce = per_pixel_ce(inputs, targets, ignore_index);
  auto pt = torch::exp(-ce);
  auto loss = (1 - pt).pow(gamma) * ce;
  return masked_mean(loss, targets.ne(ignore_index));
}

CEDiceLoss::CEDiceLoss(int64_t ignore_index_) : Criterion("CEDiceLoss"), ignore_index(ignore_index_) {}

torch::Tensor CEDiceLoss::forward(const torch::Tensor& inputs, const torch::Tensor& targets) {
  auto mask = targets.ne(ignore_index);
  if (!mask.any().item<bool>()) return inputs.sum() * 0.0;
  const int64_t classes = inputs.size(1);
  auto ce = per_pixel_ce(inputs, targets, ignore_index).masked_select(mask).mean();

  // Rows of valid pixels: (N, K) probabilities against (N, K) one-hot targets.
  auto logits = inputs.dim() == 2 ? inputs : inputs.movedim(1, -1).reshape({-1, classes});
  auto flat_mask = mask.reshape({-1});
  auto probs = torch::softmax(logits.index({flat_mask}).to(torch::kFloat32), 1);
  auto onehot = torch::one_hot(targets.reshape({-1}).index({flat_mask}), classes).to(probs.dtype());
  if (classes <= 1) return ce;
  probs = probs.slice(1, 1);
  onehot = onehot.slice(1, 1);
  auto inter = (probs * onehot).sum(0);
  auto denom = probs.sum(0) + onehot.sum(0);
  auto dice = (2.0 * inter + kSmooth) / (denom + kSmooth);
  return ce + (1.0 - dice.mean());
}

Loss parse_loss(const std::string& name) {
  if (name == "ce") return Loss::ce;
  if (name == "squared_ce") return Loss::squared_ce;
  if (name == "focal") return Loss::focal;
  if (name == "dice") return Loss::dice;
  throw ValueError("Unknown loss type: '" + name + "'. Choose from: ['ce', 'dice', 'focal', 'squared_ce']");
}

std::string loss_name(Loss loss) {
  switch (loss) {
    case Loss::ce: return "ce";
    case Loss::squared_ce: return "squared_ce";
    case Loss::focal: return "focal";
    case Loss::dice: return "dice";
  }
  return "ce";
}

std::shared_ptr<Criterion> build_criterion(Loss loss, double focal_gamma, int64_t ignore_index) {
  switch (loss) {
    case Loss::ce: return std::make_shared<CrossEntropyLoss>(ignore_index);
    case Loss::squared_ce: return std::make_shared<SquaredCELoss>(ignore_index);
    case Loss::focal: return std::make_shared<FocalLoss>(focal_gamma, ignore_index);
    case Loss::dice: return std::make_shared<CEDiceLoss>(ignore_index);
  }
  return std::make_shared<CrossEntropyLoss>(ignore_index);
}

}  // namespace lumora
