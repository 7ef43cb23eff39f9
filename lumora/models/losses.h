// Pixel-wise classification losses and the factory that builds one by name.
// Every loss averages over the pixels whose target is not `ignore_index`.
#pragma once

#include <memory>
#include <string>

#include <torch/nn/module.h>
#include <torch/types.h>

namespace lumora {

// A loss called as criterion(inputs, targets): inputs (B, K, H, W) or (N, K)
// logits, targets (B, H, W) or (N) class ids; returns a scalar with gradient.
class Criterion : public torch::nn::Module {
 public:
  using torch::nn::Module::Module;
  virtual torch::Tensor forward(const torch::Tensor& inputs, const torch::Tensor& targets) = 0;
};

// LibTorch's cross-entropy, mean over the non-ignored pixels.
class CrossEntropyLoss : public Criterion {
 public:
  explicit CrossEntropyLoss(int64_t ignore_index = 0);
  torch::Tensor forward(const torch::Tensor& inputs, const torch::Tensor& targets) override;
  int64_t ignore_index;
};

// L = CE(x, y)^2. Squaring amplifies the penalty for pixels whose loss is
// already high (hard or minority-class examples) without class frequency
// counts; softer than the focal loss, since the scaling comes from the loss
// magnitude rather than a hand-tuned exponent.
// Averages over non-background pixels only (ignore_index=0).
class SquaredCELoss : public Criterion {
 public:
  explicit SquaredCELoss(int64_t ignore_index = 0);
  torch::Tensor forward(const torch::Tensor& inputs, const torch::Tensor& targets) override;
  int64_t ignore_index;
};

// FL(p_t) = -(1 - p_t)^gamma * log(p_t).
// Averages over non-background pixels only (ignore_index=0).
class FocalLoss : public Criterion {
 public:
  explicit FocalLoss(double gamma = 2.0, int64_t ignore_index = 0);
  torch::Tensor forward(const torch::Tensor& inputs, const torch::Tensor& targets) override;
  double gamma;
  int64_t ignore_index;
};

enum class Loss { ce, squared_ce, focal, dice };

// "ce", "squared_ce", "focal" or "dice"; any other name is a ValueError.
Loss parse_loss(const std::string& name);
// The name parse_loss reads.
std::string loss_name(Loss loss);

std::shared_ptr<Criterion> build_criterion(Loss loss, double focal_gamma = 2.0, int64_t ignore_index = 0);

}  // namespace lumora
