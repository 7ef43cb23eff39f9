// Pre-training of the fingerprint encoder as a per-pixel classifier: a
// throw-away linear head on top of the fingerprint is trained with it on the
// labelled training pixels' spectra, so that the fingerprints the tree
// routers later consume already separate the classes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <torch/arg.h>
#include <torch/types.h>

#include "lumora/models/bandscan.h"

namespace lumora {

// What pre-training reports: its start, every validation pass, its end.
struct PretrainStart {
  int64_t d_model = 0, d_state = 0, epochs = 0, batch_size = 0;
  int64_t train_pixels = 0, val_pixels = 0;
};
struct PretrainValidation {
  int64_t epoch = 0;
  double loss = 0.0;  // mean training loss of the epoch
  double val_acc = 0.0;
  double lr = 0.0;  // after the scheduler saw val_acc
};

class PretrainObserver {
 public:
  virtual ~PretrainObserver() = default;
  virtual void on_start(const PretrainStart& /*start*/) {}
  virtual void on_validation(const PretrainValidation& /*validation*/) {}
  // The kept weights' accuracy, written to `saved_to`.
  virtual void on_done(double /*best_val_acc*/, const std::string& /*saved_to*/) {}
};
using PretrainObserverPtr = PretrainObserver*;  // TORCH_ARG needs a one-word type

struct PretrainSSMOptions {
  TORCH_ARG(int64_t, d_model) = 64;
  TORCH_ARG(int64_t, d_state) = 16;
  // Outputs of the classification head; nothing = largest label + 1.
  TORCH_ARG(std::optional<int64_t>, num_classes) = std::nullopt;
  TORCH_ARG(int64_t, epochs) = 300;
  TORCH_ARG(double, lr) = 0.001;
  TORCH_ARG(int64_t, batch_size) = 512;
  TORCH_ARG(torch::Device, device) = torch::Device(torch::kCPU);
  TORCH_ARG(std::string, save_path) = "warmstarted.pt";
  TORCH_ARG(PretrainObserverPtr, observer) = nullptr;
};

// `data` (bands, H, W) float, `labels` (H, W) integer, coordinates int64
// (N, 2) of (row, column). Trains with AdamW on shuffled batches (drawn from
// LibTorch's global CPU generator, which the caller seeds), validates every
// 10th epoch, halves the learning rate on plateaus of validation accuracy,
// and keeps the weights of the strictly best validation pass (the final
// weights when no pass beat 0). Those weights are written to `save_path` as
// a CPU state dict of exactly the encoder's keys and loaded into the
// returned encoder, which lives on `device` in the mode of its last use.
// Empty training or validation sets are rejected before any work.
SpectralSSMEncoder pretrain_ssm(const torch::Tensor& data, const torch::Tensor& labels,
                                const torch::Tensor& train_coords, const torch::Tensor& val_coords,
                                const PretrainSSMOptions& options = {});

}  // namespace lumora
