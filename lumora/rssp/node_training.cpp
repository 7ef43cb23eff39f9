// Ensemble training of one tree node and the pre-order walk over a tree.
#include <fmt/format.h>
#include <torch/torch.h>


#include "lumora/core/csv.h"
#include "lumora/core/elapsed.h"
#include "lumora/core/errors.h"
#include "lumora/core/format.h"
#include "lumora/core/paths.h"
#include "lumora/core/state_dict.h"
#include "lumora/core/torch_compat.h"
#include "lumora/models/cubeseg.h"
#include "lumora/models/losses.h"
#include "lumora/rssp/gatehead.h"
#include "lumora/rssp/nodefit.h"
#include "lumora/training/fit.h"

namespace lumora {
namespace {

void check_options(const TrainNodeOptions& o) {
  check_at_least("val_interval", o.val_interval(), 1);
  check_at_least("num_forests", o.num_forests(), 0);
  check_at_least("leaf_forests", o.leaf_forests(), 0);
  check_at_least("warmup_epochs", o.warmup_epochs(), 0);
  check_at_least("base_epochs", o.base_epochs(), 0);
  check_at_least("ssm_d_model", o.ssm_d_model(), 1);
}

std::string f6(double v) { return fmt::format("{:.6f}", v); }

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

// Reports each epoch of one member to the caller's observer and appends
// its validations to the history.
class MemberEpochs : public FitObserver {
 public:
  MemberEpochs(const MemberStart& member, History& history, NodeTrainingObserver* observer)
      : member_(member), history_(history), observer_(observer) {}
  void on_epoch(const EpochReport& r) override {
    if (r.val_scores)
      history_.append(member_.node_id, member_.forest_idx, r.epoch, r.train_loss, *r.val_loss, *r.val_scores);
    if (observer_) observer_->on_member_epoch(member_, r);
  }

 private:
  const MemberStart& member_;
  History& history_;
  NodeTrainingObserver* observer_;
};

// Node-local scores: a validation mask without pixels scores zeros.
Scores node_scores(const torch::Tensor& logits, const torch::Tensor& target) {
  return compute_node_metrics(logits.to(torch::kCPU), target.to(torch::kCPU), logits.size(1));
}

}  // namespace

NodeEntry train_node(const TreeNode& node, const torch::Tensor& data, const torch::Tensor& labels,
                     int64_t total_classes, const torch::Tensor& train_coords, const torch::Tensor& val_coords,
                     const std::optional<torch::Tensor>& fp_map, const TrainNodeOptions& o) {
  check_options(o);
  if (data.dim() != 3)
    throw ValueError(fmt::format("data must be a (C, H, W) cube, got shape {}", shape_text(data.sizes().vec(), ShapeStyle::Cross)));

  const std::vector<int64_t>& node_classes = node.classes;
  const int64_t epochs = get_node_epochs(o.base_epochs(), node_classes, total_classes);
  const double node_start = wall_time();
  const double global_start = o.global_start().value_or(node_start);
  const int64_t forests =
      actual_forests(static_cast<int64_t>(node_classes.size()), o.num_forests(), o.leaf_forests());
  const std::string& node_id = o.node_id();
  NodeTrainingObserver* observer = o.observer();

  NodeDataset train_ds(data, labels, node_classes, train_coords);
  NodeDataset val_ds(data, labels, node_classes, val_coords);
  NetworkSizes sizes = o.sizes();
  sizes.num_bands = data.size(0);
  sizes.num_classes = train_ds.num_classes;

  if (observer)
    observer->on_node_start({node_id, node_classes, sizes.num_classes, epochs, forests, o.loss(), o.focal_gamma(),
                             train_ds.num_pixels, val_ds.num_pixels});
  // With every pixel ignored the loss is not a number and one optimiser step
  // would turn every weight into NaN; such members are worthless at inference.
  if (train_ds.num_pixels == 0 && forests > 0)
    throw ValueError(fmt::format("node '{}' has no training pixels of its classes [{}]", node_id,
                                 fmt::join(node_classes, ", ")));
  if (forests > 0) check_trainable_size(data.size(1), data.size(2));

  const torch::Device device = o.device();
  const FitBatch train_batch = device_batch(train_ds.data, train_ds.split_mask, device);
  const FitBatch val_batch = device_batch(val_ds.data, val_ds.split_mask, device);
  auto criterion = build_criterion(o.loss(), o.focal_gamma(), /*ignore_index=*/0);
  criterion->to(device);
  History history(o.out_dir());

  NodeEntry result;
  result.node_classes = node_classes;
  static_cast<NetworkSizes&>(result) = sizes;
  result.d_model = o.ssm_d_model();

  NodeDone summary{node_id, {}, 0, 0.0};
  for (int64_t forest_idx = 0; forest_idx < forests; ++forest_idx) {
    const MemberStart member{node_id, forest_idx, forests, 42 + forest_idx};
    torch::manual_seed(static_cast<uint64_t>(member.seed));  // CPU and every CUDA generator
    if (observer) observer->on_member_start(member);

    HyperspectralNet net{HyperspectralNetOptions(sizes)};
    net->to(device);
    if (!device.is_cpu()) use_channels_last_3d(*net);
    MemberEpochs epochs_seen(member, history, observer);
    FitResult fit = fit_network(net, *criterion, train_batch, val_batch,
                                FitOptions()
                                    .epochs(epochs)
                                    .lr(o.lr())
                                    .warmup_epochs(o.warmup_epochs())
                                    .val_interval(o.val_interval())
                                    .validate_last_epoch(true)
                                    .mixed_precision(o.mixed_precision())
                                    .early_stopping(EarlyStopping{o.patience(), o.min_epochs()})
                                    .scorer(node_scores)
                                    .observer(&epochs_seen));

    ForestEntry entry;
    static_cast<NetworkSizes&>(entry) = sizes;
    entry.state_dict = std::move(fit.weights);
    entry.global_to_local = train_ds.global_to_local;
    entry.local_to_global = train_ds.local_to_global;
    result.forests.push_back(std::move(entry));
    summary.member_mious.push_back(fit.best_scores.miou);
    if (fit.stopped_early) ++summary.early_stops;
    if (observer) observer->on_member_done({member, std::move(fit), wall_time() - global_start});
    compat::empty_cuda_cache();
  }
  summary.elapsed = wall_time() - node_start;
  if (observer && forests > 0) observer->on_node_done(summary);

  const bool has_fingerprints = fp_map.has_value() && fp_map->defined();
  if (node.is_internal() && has_fingerprints) {
    if (observer) observer->on_router_start(node_id);
    std::optional<TrainedRouter> router =
        train_router(node, labels, train_coords, val_coords, *fp_map,
                     TrainRouterOptions().d_model(o.ssm_d_model()).epochs(200).lr(0.001).device(device));
    if (router) result.router_state = cpu_copy(state_dict(*router->router));
    if (observer) observer->on_router_done(node_id, router ? std::optional(router->summary) : std::nullopt);
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
