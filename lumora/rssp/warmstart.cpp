#include "lumora/rssp/warmstart.h"

#include <torch/torch.h>

#include <fmt/format.h>

#include "lumora/core/errors.h"
#include "lumora/core/state_dict.h"
#include "lumora/optim/plateau.h"

namespace lumora {
namespace {

using torch::indexing::Slice;

void check_coords(const torch::Tensor& coords, const char* name, const char* what) {
  if (coords.dim() != 2 || coords.size(1) != 2)
    throw ValueError(fmt::format("{} must be an (N, 2) array of (row, column), got {} dimensions", name,
                                 coords.dim()));
  // An empty split would leave the mean loss or the accuracy without a denominator.
  if (coords.size(0) == 0) throw ValueError(fmt::format("pretrain_ssm needs at least one {} pixel, got none", what));
}

struct Pixels {
  torch::Tensor spectra;  // float32 (N, bands), where `data` lives
  torch::Tensor targets;  // int64 (N,), where `labels` lives
};

Pixels extract(const torch::Tensor& data, const torch::Tensor& labels, const torch::Tensor& coords) {
  const auto r = coords.select(1, 0).to(torch::kLong);
  const auto c = coords.select(1, 1).to(torch::kLong);
  // Contiguous rows: every batch is then one cheap row gather.
  auto spectra = data.index({Slice(), r, c}).t().to(torch::kFloat32).contiguous();
  auto targets = labels.index({r, c}).to(torch::kLong);
  return {spectra, targets};
}

}  // namespace

SpectralSSMEncoder pretrain_ssm(const torch::Tensor& data, const torch::Tensor& labels,
                                const torch::Tensor& train_coords, const torch::Tensor& val_coords,
                                const PretrainSSMOptions& options) {
  if (data.dim() != 3)
    throw ValueError(fmt::format("data must be a scene (bands, H, W), got {} dimensions", data.dim()));
  if (labels.dim() != 2)
    throw ValueError(fmt::format("labels must be a label map (H, W), got {} dimensions", labels.dim()));
  check_coords(train_coords, "train_coords", "training");
  check_coords(val_coords, "val_coords", "validation");
  if (options.batch_size() < 1)
    throw ValueError(fmt::format("batch_size must be at least 1, got {}", options.batch_size()));
  if (options.epochs() < 0) throw ValueError(fmt::format("epochs must not be negative, got {}", options.epochs()));
  const torch::Device device(options.device());
  const int64_t batch_size = options.batch_size();

  const int64_t num_classes =
      options.num_classes() ? *options.num_classes() : labels.max().item<int64_t>() + 1;
  SpectralSSMEncoder encoder(SpectralSSMEncoderOptions().d_model(options.d_model()).d_state(options.d_state()));
  encoder->to(device);
  torch::nn::Linear head(options.d_model(), num_classes);
  head->to(device);

  std::vector<torch::Tensor> params = encoder->parameters();
  for (const auto& p : head->parameters()) params.push_back(p);
  torch::optim::AdamW optimizer(params, torch::optim::AdamWOptions(options.lr()).weight_decay(1e-4));
  ReduceLROnPlateau scheduler(optimizer,
                              ReduceLROnPlateauOptions().mode(PlateauMode::max).patience(20).factor(0.5).min_lr(1e-5));

  const Pixels train = extract(data, labels, train_coords);
  Pixels val = extract(data, labels, val_coords);
  val.targets = val.targets.to(device);
  const int64_t n_train = train.spectra.size(0);
  const int64_t n_val = val.spectra.size(0);
  BestWeights best;
  PretrainObserver* observer = options.observer();
  if (observer)
    observer->on_start({options.d_model(), options.d_state(), options.epochs(), batch_size, train_coords.size(0),
                        val_coords.size(0)});

  auto encode_batch = [&](const torch::Tensor& spectra) {
    const auto x_4d = spectra.unsqueeze(-1).unsqueeze(-1).to(device);
    return encoder->forward(x_4d).squeeze(-1).squeeze(-1);
  };

  for (int64_t epoch = 1; epoch <= options.epochs(); ++epoch) {
    encoder->train();
    head->train();
    const auto perm = torch::randperm(n_train, torch::kLong);
    const auto perm_spectra = perm.to(train.spectra.device());
    const auto perm_targets = perm.to(train.targets.device());
    // Summed on the device in double precision; read back only when printed.
    auto epoch_loss = torch::zeros({}, torch::TensorOptions().dtype(torch::kFloat64).device(device));
    int64_t n_batches = 0;
    for (int64_t start = 0; start < n_train; start += batch_size) {
      const int64_t len = std::min(batch_size, n_train - start);
      const auto batch_spectra = train.spectra.index_select(0, perm_spectra.narrow(0, start, len));
      const auto batch_targets = train.targets.index_select(0, perm_targets.narrow(0, start, len)).to(device);
      const auto logits = head->forward(encode_batch(batch_spectra));
      const auto loss = torch::nn::functional::cross_entropy(logits, batch_targets);
      optimizer.zero_grad();
      loss.backward();
      optimizer.step();
      epoch_loss += loss.detach().to(torch::kFloat64);
      ++n_batches;
    }

    if (epoch % 10 != 0) continue;
    const double avg_loss = epoch_loss.item<double>() / static_cast<double>(n_batches);
    encoder->eval();
    head->eval();
    double val_acc = 0.0;
    {
      torch::NoGradGuard no_grad;
      auto correct = torch::zeros({}, torch::TensorOptions().dtype(torch::kLong).device(device));
      for (int64_t v_start = 0; v_start < n_val; v_start += batch_size) {
        const int64_t len = std::min(batch_size, n_val - v_start);
        const auto v_logits = head->forward(encode_batch(val.spectra.narrow(0, v_start, len)));
        correct += (v_logits.argmax(1) == val.targets.narrow(0, v_start, len)).sum();
      }
      val_acc = static_cast<double>(correct.item<int64_t>()) / static_cast<double>(n_val);
    }
    scheduler.step(val_acc);
    if (observer) observer->on_validation({epoch, avg_loss, val_acc, scheduler.current_lr()});
    best.offer(val_acc, *encoder);
  }

  const double best_val_acc = best.score();
  const StateDict kept = best.take_or_current(*encoder);
  load_state_dict(*encoder, kept);
  save_state_dict(kept, options.save_path());
  if (observer) observer->on_done(best_val_acc, options.save_path());
  return encoder;
}

}  // namespace lumora
