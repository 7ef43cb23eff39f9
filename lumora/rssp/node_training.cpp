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

void check_cube(const torch::Tensor& data) {
  if (data.dim() != 3)
    throw ValueError(
        fmt::format("data must be a (C, H, W) cube, got shape {}", shape_text(data.sizes().vec(), ShapeStyle::Cross)));
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

NodeTrainer::NodeTrainer(const TreeNode& node, const torch::Tensor& data, const torch::Tensor& labels,
                         int64_t total_classes, const torch::Tensor& train_coords, const torch::Tensor& val_coords,
                         const TrainNodeOptions& options)
    : node_(node),
      labels_(labels),
      train_coords_(train_coords),
      val_coords_(val_coords),
      options_((check_options(options), options)),
      train_ds_((check_cube(data), data), labels, node.classes, train_coords),
      val_ds_(data, labels, node.classes, val_coords),
      sizes_(options.sizes()) {
  sizes_.num_bands = data.size(0);
  sizes_.num_classes = train_ds_.num_classes;
  const auto n = static_cast<int64_t>(node.classes.size());
  start_ = {options.node_id(),
            node.classes,
            sizes_.num_classes,
            get_node_epochs(options.base_epochs(), node.classes, total_classes),
            actual_forests(n, options.num_forests(), options.leaf_forests()),
            options.loss(),
            options.focal_gamma(),
            train_ds_.num_pixels,
            val_ds_.num_pixels};
  criterion_ = build_criterion(options.loss(), options.focal_gamma(), /*ignore_index=*/0);
  criterion_->to(options.device());
}

MemberStart NodeTrainer::member(int64_t forest_idx) const {
  return {start_.node_id, forest_idx, start_.ensemble_size, 42 + forest_idx};
}

void NodeTrainer::check_trainable() const {
  if (start_.ensemble_size == 0) return;
  // With every pixel ignored the loss is not a number and one optimiser step
  // would turn every weight into NaN; such members are worthless at inference.
  if (train_ds_.num_pixels == 0)
    throw ValueError(fmt::format("node '{}' has no training pixels of its classes [{}]", start_.node_id,
                                 fmt::join(node_.classes, ", ")));
  check_trainable_size(train_ds_.data.size(1), train_ds_.data.size(2));
}

FitResult NodeTrainer::train_member(int64_t forest_idx, FitObserver* epochs) {
  const torch::Device device = options_.device();
  if (!train_batch_) {
    train_batch_ = device_batch(train_ds_.data, train_ds_.split_mask, device);
    val_batch_ = device_batch(val_ds_.data, val_ds_.split_mask, device);
  }
  torch::manual_seed(static_cast<uint64_t>(member(forest_idx).seed));  // CPU and every CUDA generator
  HyperspectralNet net{HyperspectralNetOptions(sizes_)};
  net->to(device);
  if (!device.is_cpu()) use_channels_last_3d(*net);
  return fit_network(net, *criterion_, *train_batch_, *val_batch_,
                     FitOptions()
                         .epochs(start_.epochs)
                         .lr(options_.lr())
                         .warmup_epochs(options_.warmup_epochs())
                         .val_interval(options_.val_interval())
                         .validate_last_epoch(true)
                         .mixed_precision(options_.mixed_precision())
                         .early_stopping(EarlyStopping{options_.patience(), options_.min_epochs()})
                         .scorer(node_scores)
                         .observer(epochs)
                         .few_labels(FewLabelOptions(options_.few_labels())
                                         .seed(static_cast<uint64_t>(member(forest_idx).seed))));
}

ForestEntry NodeTrainer::entry(StateDict weights) const {
  ForestEntry entry;
  static_cast<NetworkSizes&>(entry) = sizes_;
  entry.state_dict = std::move(weights);
  entry.global_to_local = train_ds_.global_to_local;
  entry.local_to_global = train_ds_.local_to_global;
  return entry;
}

NodeEntry NodeTrainer::empty_entry() const {
  NodeEntry result;
  result.node_classes = node_.classes;
  static_cast<NetworkSizes&>(result) = sizes_;
  result.d_model = options_.ssm_d_model();
  return result;
}

bool NodeTrainer::has_router(const std::optional<torch::Tensor>& fp_map) const {
  return node_.is_internal() && fp_map.has_value() && fp_map->defined();
}

std::optional<TrainedRouter> NodeTrainer::train_node_router(const torch::Tensor& fp_map) const {
  return train_router(node_, labels_, train_coords_, val_coords_, fp_map,
                      TrainRouterOptions().d_model(options_.ssm_d_model()).epochs(200).lr(0.001).device(
                          options_.device()));
}

NodeEntry assemble_node(NodeTrainer& trainer, const NodeSources& sources, bool with_router,
                        const TrainNodeOptions& o) {
  const double node_start = wall_time();
  const double global_start = o.global_start().value_or(node_start);
  NodeTrainingObserver* observer = o.observer();
  const NodeStart& start = trainer.start();
  if (observer) observer->on_node_start(start);
  trainer.check_trainable();

  History history(o.out_dir());
  NodeEntry result = trainer.empty_entry();
  NodeDone summary{start.node_id, {}, 0, 0.0};
  for (int64_t forest_idx = 0; forest_idx < start.ensemble_size; ++forest_idx) {
    const MemberStart member = trainer.member(forest_idx);
    if (observer) observer->on_member_start(member);
    MemberEpochs epochs_seen(member, history, observer);
    FitResult fit = sources.member(forest_idx, &epochs_seen);
    result.forests.push_back(trainer.entry(std::move(fit.weights)));
    summary.member_mious.push_back(fit.best_scores.miou);
    if (fit.stopped_early) ++summary.early_stops;
    if (observer) observer->on_member_done({member, std::move(fit), wall_time() - global_start});
    compat::empty_cuda_cache();
  }
  summary.elapsed = wall_time() - node_start;
  if (observer && start.ensemble_size > 0) observer->on_node_done(summary);

  if (with_router) {
    if (observer) observer->on_router_start(start.node_id);
    RouterOutcome router = sources.router();
    result.router_state = std::move(router.state);
    if (observer) observer->on_router_done(start.node_id, router.summary);
  }
  return result;
}

RouterOutcome router_outcome(const std::optional<TrainedRouter>& router) {
  if (!router) return {};
  return {cpu_copy(state_dict(*router->router)), router->summary};
}

NodeEntry train_node(const TreeNode& node, const torch::Tensor& data, const torch::Tensor& labels,
                     int64_t total_classes, const torch::Tensor& train_coords, const torch::Tensor& val_coords,
                     const std::optional<torch::Tensor>& fp_map, const TrainNodeOptions& o) {
  NodeTrainer trainer(node, data, labels, total_classes, train_coords, val_coords, o);
  NodeSources here{[&](int64_t forest_idx, FitObserver* epochs) { return trainer.train_member(forest_idx, epochs); },
                   [&] { return router_outcome(trainer.train_node_router(*fp_map)); }};
  return assemble_node(trainer, here, trainer.has_router(fp_map), o);
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
