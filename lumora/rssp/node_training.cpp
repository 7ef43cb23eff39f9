// Ensemble training of one tree node and the pre-order walk over a tree.
#include <fmt/format.h>
#include <torch/torch.h>

#include <cmath>
#include <iostream>

#include "lumora/core/csv.h"
#include "lumora/core/elapsed.h"
#include "lumora/core/errors.h"
#include "lumora/core/format.h"
#include "lumora/core/paths.h"
#include "lumora/core/state_dict.h"
#include "lumora/core/torch_compat.h"
#include "lumora/models/cubeseg.h"
#include "lumora/models/losses.h"
#include "lumora/optim/plateau.h"
#include "lumora/rssp/gatehead.h"
#include "lumora/rssp/nodefit.h"
#include "lumora/utils/display.h"

namespace lumora {
namespace {

void check_options(const TrainNodeOptions& o) {
  auto at_least = [](const char* name, int64_t value, int64_t minimum) {
    if (value < minimum) throw ValueError(fmt::format("{} must be at least {}, got {}", name, minimum, value));
  };
  // A zero interval would divide by zero when testing for validation epochs.
  at_least("val_interval", o.val_interval(), 1);
  at_least("num_forests", o.num_forests(), 0);
  at_least("leaf_forests", o.leaf_forests(), 0);
  at_least("warmup_epochs", o.warmup_epochs(), 0);
  at_least("base_epochs", o.base_epochs(), 0);
  at_least("ssm_d_model", o.ssm_d_model(), 1);
}

// One sample of a node dataset as a batch of one on the device; the scene
// never changes between epochs, so it is moved once per node.
struct Batch {
  torch::Tensor input;   // (1, C, H, W)
  torch::Tensor target;  // (1, H, W) int64 local labels
  torch::Tensor target_cpu;
};

Batch device_batch(NodeDataset& ds, const torch::Device& device) {
  auto example = ds.get(0);
  auto input = example.data.unsqueeze(0), target = example.target.unsqueeze(0);
  Batch b;
  b.target_cpu = target;
  if (!device.is_cpu()) {
    input = input.to(torch::kCPU).pin_memory();
    target = target.pin_memory();
  }
  b.input = input.to(device, /*non_blocking=*/true);
  b.target = target.to(device, /*non_blocking=*/true);
  return b;
}

std::string f6(double v) { return fmt::format("{:.6f}", v); }

void set_learning_rate(torch::optim::Optimizer& optimizer, double lr) {
  for (auto& group : optimizer.param_groups()) group.options().set_lr(lr);
}

double learning_rate(torch::optim::Optimizer& optimizer) {
  return optimizer.param_groups().empty() ? 0.0 : optimizer.param_groups().front().options().get_lr();
}

// Appends validation rows to training_history.csv; the header goes in only
// when the file did not exist before and this node has not written it yet.
class History {
 public:
  explicit History(const std::optional<std::string>& out_dir) {
    if (out_dir) path_ = path_join(*out_dir, "training_history.csv");
  }
  void append(const std::string& node_id, int64_t forest_idx, int64_t epoch, double loss, double val_loss,
              const Scores& s) {
    if (path_.empty()) return;
    const bool existed = file_exists(path_);
    CsvWriter out(path_, /*append=*/true);
    if (!existed && !header_written_) {
      out.write_row(kHistoryHeader);
      header_written_ = true;
    }
    out.write_row({node_id, std::to_string(forest_idx + 1), std::to_string(epoch), f6(loss), f6(val_loss), f6(s.oa),
                   f6(s.miou), f6(s.dice), f6(s.precision), f6(s.recall), f6(s.aa), f6(s.kappa)});
    out.close();
  }

 private:
  std::string path_;
  bool header_written_ = false;
};

struct MemberResult {
  ForestEntry entry;
  double best_val_miou = 0.0;
  bool stopped_early = false;
};

}  // namespace

NodeEntry train_node(const TreeNode& node, const torch::Tensor& data, const torch::Tensor& labels,
                     int64_t total_classes, const torch::Tensor& train_coords, const torch::Tensor& val_coords,
                     const std::optional<torch::Tensor>& fp_map, const TrainNodeOptions& o) {
  namespace d = display;
  check_options(o);
  if (data.dim() != 3)
    throw ValueError(fmt::format("data must be a (C, H, W) cube, got shape {}", shape_text(data.sizes().vec(), ShapeStyle::Cross)));

  const std::vector<int64_t>& node_classes = node.classes;
  const int64_t num_bands = data.size(0);
  const int64_t epochs = get_node_epochs(o.base_epochs(), node_classes, total_classes);
  const double node_start = wall_time();
  const double global_start = o.global_start().value_or(node_start);
  const int64_t forests =
      actual_forests(static_cast<int64_t>(node_classes.size()), o.num_forests(), o.leaf_forests());
  const std::string& node_id = o.node_id();

  NodeDataset train_ds(data, labels, node_classes, train_coords);
  NodeDataset val_ds(data, labels, node_classes, val_coords);
  const int64_t num_classes = train_ds.num_classes;

  std::cout << d::node_banner(node_id, node_classes, num_classes, epochs, forests, o.loss_type(), o.focal_gamma(),
                              train_ds.num_pixels, val_ds.num_pixels)
            << std::endl;
  // With every pixel ignored the loss is not a number and one optimiser step
  // would turn every weight into NaN; such members are worthless at inference.
  if (train_ds.num_pixels == 0 && forests > 0)
    throw ValueError(fmt::format("node '{}' has no training pixels of its classes [{}]", node_id,
                                 fmt::join(node_classes, ", ")));
  if (forests > 0) check_trainable_size(data.size(1), data.size(2));

  const torch::Device device(o.device());
  const Batch train_batch = device_batch(train_ds, device);
  const Batch val_batch = device_batch(val_ds, device);
  auto criterion = build_criterion(o.loss_type(), o.focal_gamma(), /*ignore_index=*/0);
  criterion->to(device);
  History history(o.out_dir());

  NodeEntry result;
  result.node_classes = node_classes;
  result.num_classes = num_classes;
  result.num_bands = num_bands;
  result.num_filters = o.num_filters();
  result.num_blocks = o.num_blocks();
  result.base_filters = o.base_filters();
  result.d_model = o.ssm_d_model();

  std::vector<double> forest_mious;
  int64_t early_stop_count = 0;

  for (int64_t forest_idx = 0; forest_idx < forests; ++forest_idx) {
    const int64_t seed = 42 + forest_idx;
    torch::manual_seed(static_cast<uint64_t>(seed));  // CPU and every CUDA generator
    std::cout << d::forest_banner(forest_idx, forests, seed, node_id) << std::endl;

    HyperspectralNet net(HyperspectralNetOptions(num_bands, num_classes)
                             .num_filters(o.num_filters())
                             .num_blocks(o.num_blocks())
                             .base_filters(o.base_filters()));
    net->to(device);
    if (!device.is_cpu()) use_channels_last_3d(*net);

    torch::optim::AdamW optimizer(net->parameters(), torch::optim::AdamWOptions(o.lr()).weight_decay(1e-4));
    ReduceLROnPlateau scheduler(optimizer, ReduceLROnPlateauOptions().patience(10).factor(0.5));

    MemberProgress progress(o.val_interval(), o.patience(), o.min_epochs());
    std::optional<StateDict> best_state;
    bool stopped_early = false;

    for (int64_t epoch = 1; epoch <= epochs; ++epoch) {
      NodeEpochEvent event;
      if (o.warmup_epochs() > 0 && epoch <= o.warmup_epochs())
        set_learning_rate(optimizer, o.lr() * (static_cast<double>(epoch) / static_cast<double>(o.warmup_epochs())));
      event.lr = learning_rate(optimizer);

      net->train();
      optimizer.zero_grad();
      auto output = net->forward(train_batch.input);
      auto loss = criterion->forward(output, train_batch.target);
      loss.backward();
      optimizer.step();
      const double train_loss = loss.item<double>();
      output = torch::Tensor();
      loss = torch::Tensor();

      if (epoch > o.warmup_epochs()) {
        scheduler.step(train_loss);
        event.scheduler_stepped = true;
      }

      std::optional<std::string> stop_line;
      if (epoch % o.val_interval() == 0 || epoch == epochs) {
        net->eval();
        double val_loss = 0.0;
        Scores scores;
        {
          torch::NoGradGuard no_grad;
          auto val_out = net->forward(val_batch.input);
          val_loss = criterion->forward(val_out, val_batch.target).item<double>();
          scores = compute_node_metrics(val_out.to(torch::kCPU), val_batch.target_cpu, num_classes);
        }
        if (progress.observe(epoch, scores)) best_state = cpu_copy(state_dict(*net));
        d::epoch_bar(epoch, epochs, train_loss,
                     d::EpochScores{val_loss, scores.oa, scores.miou, scores.aa, scores.kappa});
        history.append(node_id, forest_idx, epoch, train_loss, val_loss, scores);
        stop_line = progress.early_stop(epoch);
        event.val_loss = val_loss;
        event.val_scores = scores;
      } else {
        d::epoch_bar(epoch, epochs, train_loss);
      }

      if (o.on_epoch()) {
        event.node_id = node_id;
        event.forest_idx = forest_idx;
        event.epoch = epoch;
        event.epochs = epochs;
        event.train_loss = train_loss;
        o.on_epoch()(event);
      }
      if (stop_line) {
        std::cout << *stop_line << std::endl;
        stopped_early = true;
        break;
      }
    }

    if (stopped_early) ++early_stop_count;
    // No validation beat 0.0: the final weights stand in.
    if (!best_state) best_state = cpu_copy(state_dict(*net));
    std::cout << d::forest_done_line(forest_idx, forests, progress.best_val_miou, progress.best_epoch,
                                     progress.best_oa, progress.best_aa, progress.best_kappa,
                                     elapsed_since(global_start))
              << std::endl;

    ForestEntry entry;
    entry.state_dict = std::move(*best_state);
    entry.global_to_local = train_ds.global_to_local;
    entry.local_to_global = train_ds.local_to_global;
    entry.num_classes = num_classes;
    entry.num_bands = num_bands;
    entry.num_filters = o.num_filters();
    entry.num_blocks = o.num_blocks();
    entry.base_filters = o.base_filters();
    result.forests.push_back(std::move(entry));
    forest_mious.push_back(progress.best_val_miou);
    compat::empty_cuda_cache();
  }

  if (!forest_mious.empty()) {
    const auto n = static_cast<double>(forest_mious.size());
    double mean = 0.0;
    for (double v : forest_mious) mean += v;
    mean /= n;
    double std_dev = 0.0;
    if (forest_mious.size() >= 2) {
      double sq = 0.0;
      for (double v : forest_mious) sq += (v - mean) * (v - mean);
      std_dev = std::sqrt(sq / n);
    }
    size_t best = 0, worst = 0;
    for (size_t i = 1; i < forest_mious.size(); ++i) {
      if (forest_mious[i] > forest_mious[best]) best = i;
      if (forest_mious[i] < forest_mious[worst]) worst = i;
    }
    std::string mious_str;
    for (size_t i = 0; i < forest_mious.size(); ++i) {
      const double v = forest_mious[i];
      mious_str += (i ? "  " : "") + d::coloured(fmt::format("{:.4f}", v), d::score_colour(v, d::kEnsembleScoreBands));
    }
    std::cout << "\n  " << d::BOLD << "Node '" << node_id << "'" << d::RESET << " — " << forests
              << " ensembles trained in " << elapsed_since(node_start) << "\n";
    std::cout << "  mIoU  " << mious_str << "   " << d::GRAY << fmt::format("mean {:.4f} ± {:.4f}", mean, std_dev)
              << d::RESET << "\n";
    std::cout << "  " << d::GREEN << "Best" << d::RESET
              << fmt::format(": Ensemble {} ({:.4f})  ", best + 1, forest_mious[best]) << d::RED << "Worst"
              << d::RESET << fmt::format(": Ensemble {} ({:.4f})  ", worst + 1, forest_mious[worst]) << d::GRAY
              << "Early stops: " << early_stop_count << "/" << forests << d::RESET << "\n"
              << std::endl;
  }

  const bool has_fingerprints = fp_map.has_value() && fp_map->defined();
  if (node.is_internal() && has_fingerprints) {
    std::cout << "\n  Training SSSR router for node '" << node_id << "' ..." << std::endl;
    std::optional<SSSRRouter> router = train_router(
        node, labels, train_coords, val_coords, *fp_map,
        TrainRouterOptions().d_model(o.ssm_d_model()).epochs(200).lr(0.001).device(o.device()));
    if (router) {
      result.router_state = cpu_copy(state_dict(**router));
      std::cout << "  Router trained." << std::endl;
    } else {
      std::cout << "  Router skipped (too few pixels)." << std::endl;
    }
  }
  return result;
}

TrainedModels train_tree(const TreeNode& tree, const torch::Tensor& data, const torch::Tensor& labels,
                         int64_t total_classes, const torch::Tensor& train_coords, const torch::Tensor& val_coords,
                         const std::optional<torch::Tensor>& fp_map, const TrainNodeOptions& options) {
  TrainNodeOptions o = options;
  if (!o.global_start()) o.global_start(wall_time());
  TrainedModels models;
  models.insert(o.node_id(), train_node(tree, data, labels, total_classes, train_coords, val_coords, fp_map, o));
  const std::pair<const TreeNode*, std::string> children[] = {{tree.left.get(), left_id(o.node_id())},
                                                               {tree.right.get(), right_id(o.node_id())}};
  for (const auto& [child, child_id] : children) {
    if (!child || child->classes.size() < 2) continue;
    TrainNodeOptions sub = o;
    sub.node_id(child_id);
    models.extend(train_tree(*child, data, labels, total_classes, train_coords, val_coords, fp_map, sub));
  }
  return models;
}

}  // namespace lumora
