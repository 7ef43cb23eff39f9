#include "lumora/distributed/tree_jobs.h"

#include <fmt/format.h>
#include <torch/serialize.h>
#include <torch/torch.h>

#include <algorithm>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "lumora/core/elapsed.h"
#include "lumora/core/errors.h"
#include "lumora/core/state_dict.h"

namespace lumora {

std::vector<TreeJob> tree_jobs(const TreeNode& tree, int64_t total_classes, bool has_fingerprints,
                               const TrainNodeOptions& options) {
  std::vector<TreeJob> jobs;
  for (const std::string& node_id : trained_node_ids(tree, options.node_id())) {
    const TreeNode& node = *find_node(tree, node_id);
    const auto n = static_cast<int64_t>(node.classes.size());
    const int64_t members = actual_forests(n, options.num_forests(), options.leaf_forests());
    const bool router = node.is_internal() && has_fingerprints;
    // A router takes the generator state of the member before it; without
    // one it would depend on whatever ran before on that rank.
    if (members < 1 && router)
      throw ValueError(fmt::format("node '{}' would train a router without members: distributed training needs "
                                   "at least one ensemble member per node",
                                   node_id));
    const int64_t epochs = get_node_epochs(options.base_epochs(), node.classes, total_classes);
    for (int64_t i = 0; i < members; ++i)
      jobs.push_back({jobs.size(), node_id, i, members, router && i == members - 1, epochs});
  }
  return jobs;
}

std::vector<TreeJob> largest_first(std::vector<TreeJob> jobs) {
  std::stable_sort(jobs.begin(), jobs.end(), [](const TreeJob& a, const TreeJob& b) { return a.epochs > b.epochs; });
  return jobs;
}

// ---------------------------------------------------------------------------
// Results as bytes: a pickled mapping, the tensors' bytes exactly as trained.

namespace {


std::vector<double> score_values(const Scores& s) { return {s.oa, s.miou, s.dice, s.precision, s.recall, s.aa, s.kappa}; }

Scores scores_at(const std::vector<double>& v, size_t at) {
  return {v.at(at), v.at(at + 1), v.at(at + 2), v.at(at + 3), v.at(at + 4), v.at(at + 5), v.at(at + 6)};
}

// One epoch as 17 numbers; every integer in it is far below 2^53.
std::vector<double> epoch_values(const EpochReport& r) {
  std::vector<double> v = {static_cast<double>(r.epoch), static_cast<double>(r.epochs), r.lr, r.train_loss,
                           r.scheduler_stepped ? 1.0 : 0.0, r.val_loss ? 1.0 : 0.0, r.val_loss.value_or(0.0),
                           r.val_scores ? 1.0 : 0.0};
  for (double s : score_values(r.val_scores.value_or(Scores{}))) v.push_back(s);
  v.push_back(r.improved ? 1.0 : 0.0);
  v.push_back(r.stopping ? 1.0 + static_cast<double>(*r.stopping) : 0.0);
  return v;
}

EpochReport epoch_from(const std::vector<double>& v) {
  if (v.size() != 17) throw RuntimeError(fmt::format("a job result's epoch holds {} numbers, not 17", v.size()));
  EpochReport r;
  r.epoch = static_cast<int64_t>(v[0]);
  r.epochs = static_cast<int64_t>(v[1]);
  r.lr = v[2];
  r.train_loss = v[3];
  r.scheduler_stepped = v[4] != 0.0;
  if (v[5] != 0.0) r.val_loss = v[6];
  if (v[7] != 0.0) r.val_scores = scores_at(v, 8);
  r.improved = v[15] != 0.0;
  if (v[16] != 0.0) r.stopping = static_cast<StopReason>(static_cast<int>(v[16]) - 1);
  return r;
}

using Fields = std::map<std::string, c10::IValue>;

const c10::IValue& field(const Fields& fields, const char* key) {
  auto it = fields.find(key);
  if (it == fields.end()) throw RuntimeError(fmt::format("a job result lacks its '{}'", key));
  return it->second;
}

std::vector<double> doubles(const Fields& fields, const char* key) { return field(fields, key).toDoubleList().vec(); }

}  // namespace

std::string encode_job_result(const JobResult& result) {
  c10::impl::GenericDict record(c10::StringType::get(), c10::AnyType::get());
  const FitResult& fit = result.fit;
  record.insert(std::string("weights"), state_dict_to_ivalue(fit.weights));
  record.insert(std::string("fit"), c10::List<double>({fit.from_validation ? 1.0 : 0.0, static_cast<double>(fit.best_epoch),
                                          fit.best_score, fit.stopped_early ? 1.0 : 0.0}));
  record.insert(std::string("best_scores"), c10::List<double>(score_values(fit.best_scores)));
  c10::List<c10::List<double>> epochs;
  for (const EpochReport& r : result.epochs) epochs.push_back(c10::List<double>(epoch_values(r)));
  record.insert(std::string("epochs"), c10::IValue(epochs));
  record.insert(std::string("seconds"), c10::IValue(result.seconds));
  if (result.router) {
    const RouterOutcome& router = *result.router;
    record.insert(std::string("router_trained"), c10::IValue(router.state.has_value()));
    if (router.state) record.insert(std::string("router_state"), state_dict_to_ivalue(*router.state));
    if (router.summary) {
      const RouterSummary& s = *router.summary;
      record.insert(std::string("router_summary"),
                    c10::List<double>({s.train_acc, s.val_acc ? 1.0 : 0.0, s.val_acc.value_or(0.0),
                                       static_cast<double>(s.n_left), static_cast<double>(s.n_right)}));
    }
  }
  const std::vector<char> bytes = torch::pickle_save(c10::IValue(record));
  return {bytes.begin(), bytes.end()};
}

JobResult decode_job_result(const std::string& bytes) {
  const c10::IValue value = torch::pickle_load(std::vector<char>(bytes.begin(), bytes.end()));
  if (!value.isGenericDict()) throw RuntimeError("a job result is not a mapping");
  Fields record;
  for (const auto& item : value.toGenericDict()) record[item.key().toStringRef()] = item.value();
  JobResult result;
  FitResult& fit = result.fit;
  fit.weights = state_dict_from_ivalue(field(record, "weights"), "a job result's weights");
  const std::vector<double> f = doubles(record, "fit");
  fit.from_validation = f.at(0) != 0.0;
  fit.best_epoch = static_cast<int64_t>(f.at(1));
  fit.best_score = f.at(2);
  fit.stopped_early = f.at(3) != 0.0;
  fit.best_scores = scores_at(doubles(record, "best_scores"), 0);
  for (const c10::IValue& e : field(record, "epochs").toListRef()) result.epochs.push_back(epoch_from(e.toDoubleList().vec()));
  result.seconds = field(record, "seconds").toDouble();
  if (record.count("router_trained")) {
    RouterOutcome router;
    if (record.count("router_state"))
      router.state = state_dict_from_ivalue(field(record, "router_state"), "a job result's router");
    if (record.count("router_summary")) {
      const std::vector<double> s = doubles(record, "router_summary");
      router.summary = RouterSummary{s.at(0), s.at(1) != 0.0 ? std::optional(s.at(2)) : std::nullopt,
                                     static_cast<int64_t>(s.at(3)), static_cast<int64_t>(s.at(4))};
    }
    result.router = std::move(router);
  }
  return result;
}

// ---------------------------------------------------------------------------
// Training

namespace {

// Keeps one member's epochs for its job result, passing each on to `next`
// when there is one; in a cluster, it is where a long job learns that
// another rank was lost.
class EpochRecorder : public FitObserver {
 public:
  EpochRecorder(Cluster* cluster, FitObserver* next) : cluster_(cluster), next_(next) {}
  void on_epoch(const EpochReport& r) override {
    if (cluster_) cluster_->check();
    epochs.push_back(r);
    if (next_) next_->on_epoch(r);
  }
  std::vector<EpochReport> epochs;

 private:
  Cluster* cluster_;
  FitObserver* next_;
};

struct TreeInputs {
  const TreeNode& tree;
  const torch::Tensor& data;
  const torch::Tensor& labels;
  int64_t total_classes;
  const torch::Tensor& train_coords;
  const torch::Tensor& val_coords;
  const std::optional<torch::Tensor>& fp_map;

  std::unique_ptr<NodeTrainer> trainer(const std::string& node_id, TrainNodeOptions options) const {
    options.node_id(node_id);
    return std::make_unique<NodeTrainer>(*find_node(tree, node_id), data, labels, total_classes, train_coords,
                                         val_coords, options);
  }
};

std::string result_key(const std::string& prefix, size_t index) { return fmt::format("{}result/{}", prefix, index); }

// A job's member, trained here; its router (when it carries one) is added
// by add_router, from the generator state the member leaves behind.
JobResult train_member_job(NodeTrainer& trainer, int64_t forest_idx, EpochRecorder& recorder) {
  const double start = wall_time();
  JobResult result;
  result.fit = trainer.train_member(forest_idx, &recorder);
  result.epochs = std::move(recorder.epochs);
  result.seconds = wall_time() - start;
  return result;
}

void add_router(JobResult& result, NodeTrainer& trainer, const TreeInputs& in) {
  const double start = wall_time();
  result.router = router_outcome(trainer.train_node_router(*in.fp_map));
  result.seconds += wall_time() - start;
}

// This rank's share: the next job in line until none is left.
RankShare work_jobs(Cluster& cluster, const std::string& prefix, const TreeInputs& in,
                    const std::vector<TreeJob>& order, const TrainNodeOptions& options, JobObserver* observer) {
  RankShare share;
  std::unique_ptr<NodeTrainer> trainer;  // the last job's node: its scene stays on the device
  for (;;) {
    const int64_t ticket = cluster.take_ticket(prefix + "next");
    if (ticket >= static_cast<int64_t>(order.size())) break;
    const TreeJob& job = order[static_cast<size_t>(ticket)];
    if (!trainer || trainer->start().node_id != job.node_id) {
      trainer = in.trainer(job.node_id, options);  // a trainer's batches reach the device only when it trains
      trainer->check_trainable();
    }
    EpochRecorder recorder(&cluster, nullptr);
    JobResult result = train_member_job(*trainer, job.forest_idx, recorder);
    if (job.with_router) add_router(result, *trainer, in);
    cluster.publish(result_key(prefix, job.index), encode_job_result(result));
    ++share.jobs;
    share.busy += result.seconds;
    result.fit.weights.clear();
    if (observer) observer->on_job_done({job, std::move(result.fit), result.seconds});
  }
  return share;
}

// A node's members (and router) from finished jobs' bytes, each job's epochs
// played back as they were.
class ReceivedNode {
 public:
  explicit ReceivedNode(std::function<std::string(int64_t forest_idx)> bytes) : bytes_(std::move(bytes)) {}
  NodeSources sources() {
    return {[this](int64_t forest_idx, FitObserver* epochs) {
              JobResult r = decode_job_result(bytes_(forest_idx));
              for (const EpochReport& e : r.epochs) epochs->on_epoch(e);
              if (r.router) router_ = std::move(r.router);
              return std::move(r.fit);
            },
            [this] { return router_.value_or(RouterOutcome{}); }};
  }

 private:
  std::function<std::string(int64_t)> bytes_;
  std::optional<RouterOutcome> router_;
};

std::map<std::string, size_t> first_jobs(const std::vector<TreeJob>& jobs) {
  std::map<std::string, size_t> first;
  for (const TreeJob& job : jobs) first.emplace(job.node_id, job.index);
  return first;
}

// Every node in training order, each from `node_sources(trainer, first job)`.
template <typename Sources>
TrainedModels assemble_nodes(const TreeInputs& in, const std::vector<TreeJob>& jobs, const TrainNodeOptions& options,
                             Sources node_sources) {
  const std::map<std::string, size_t> first_job = first_jobs(jobs);
  TrainedModels models;
  for (const std::string& node_id : trained_node_ids(in.tree, options.node_id())) {
    std::unique_ptr<NodeTrainer> trainer = in.trainer(node_id, options);
    const size_t first = first_job.count(node_id) ? first_job.at(node_id) : 0;
    TrainNodeOptions node_options = options;
    node_options.node_id(node_id);
    models.insert(node_id, assemble_node(*trainer, node_sources(*trainer, first), trainer->has_router(in.fp_map),
                                         node_options));
  }
  return models;
}

// Rank 0's side: every node in training order, its members as they arrive
// (or from the store, which keeps each one received).
TrainedModels assemble_tree(Cluster& cluster, const std::string& prefix, const TreeInputs& in,
                            const std::vector<TreeJob>& jobs, const TrainNodeOptions& options, JobStore* store) {
  std::unique_ptr<ReceivedNode> node;
  return assemble_nodes(in, jobs, options, [&](NodeTrainer& /*trainer*/, size_t first) {
    node = std::make_unique<ReceivedNode>([&cluster, &prefix, store, first](int64_t forest_idx) {
      const size_t index = first + static_cast<size_t>(forest_idx);
      if (store && store->has(index)) return store->read(index);
      std::string bytes = cluster.receive(result_key(prefix, index), true);
      if (store) store->keep(index, bytes);
      return bytes;
    });
    return node->sources();
  });
}

// The single-process side of train_tree_kept: one node's jobs from the store
// where it has them, else trained here and kept. A node's last member is kept
// with its router, since the router trains from the generator state that
// member leaves behind.
class KeptNode {
 public:
  KeptNode(NodeTrainer& trainer, const TreeInputs& in, const std::vector<TreeJob>& jobs, size_t first,
           JobStore& store)
      : trainer_(trainer), in_(in), jobs_(jobs), first_(first), store_(store), received_([this](int64_t i) {
          return store_.read(first_ + static_cast<size_t>(i));
        }) {}

  NodeSources sources() {
    const NodeSources received = received_.sources();
    return {[this, received](int64_t forest_idx, FitObserver* epochs) {
              const TreeJob& job = jobs_.at(first_ + static_cast<size_t>(forest_idx));
              if (store_.has(job.index)) return received.member(forest_idx, epochs);
              EpochRecorder recorder(nullptr, epochs);
              JobResult result = train_member_job(trainer_, forest_idx, recorder);
              if (job.with_router)
                pending_.emplace(job.index, result);  // kept once its router is trained
              else
                store_.keep(job.index, encode_job_result(result));
              return std::move(result.fit);
            },
            [this, received] {
              if (!pending_) return received.router();
              auto& [index, result] = *pending_;
              add_router(result, trainer_, in_);
              store_.keep(index, encode_job_result(result));
              RouterOutcome router = *result.router;
              pending_.reset();
              return router;
            }};
  }

 private:
  NodeTrainer& trainer_;
  const TreeInputs& in_;
  const std::vector<TreeJob>& jobs_;
  size_t first_;
  JobStore& store_;
  ReceivedNode received_;
  std::optional<std::pair<size_t, JobResult>> pending_;
};

// The jobs rank 0's store does not hold yet, agreed on by every rank.
std::vector<TreeJob> unfinished(Cluster& cluster, const std::string& prefix, const std::vector<TreeJob>& jobs,
                                const JobStore* store) {
  std::string held;  // one '1' or '0' per job
  if (cluster.is_leader()) {
    for (const TreeJob& job : jobs) held += store && store->has(job.index) ? '1' : '0';
    cluster.publish(prefix + "held", held);
  } else {
    held = cluster.receive(prefix + "held");
    if (held.size() != jobs.size())
      throw RuntimeError(fmt::format("rank 0 counts {} jobs, this rank {}", held.size(), jobs.size()));
  }
  std::vector<TreeJob> out;
  for (const TreeJob& job : jobs)
    if (held[job.index] == '0') out.push_back(job);
  return out;
}

}  // namespace

TrainedModels train_tree_kept(const TreeNode& tree, const torch::Tensor& data, const torch::Tensor& labels,
                              int64_t total_classes, const torch::Tensor& train_coords,
                              const torch::Tensor& val_coords, const std::optional<torch::Tensor>& fp_map,
                              const TrainNodeOptions& options, JobStore& store) {
  TrainNodeOptions o = options;
  if (!o.global_start()) o.global_start(wall_time());
  const TreeInputs in{tree, data, labels, total_classes, train_coords, val_coords, fp_map};
  const bool has_fingerprints = fp_map.has_value() && fp_map->defined();
  const std::vector<TreeJob> jobs = tree_jobs(tree, total_classes, has_fingerprints, o);
  std::unique_ptr<KeptNode> node;
  return assemble_nodes(in, jobs, o, [&](NodeTrainer& trainer, size_t first) {
    node = std::make_unique<KeptNode>(trainer, in, jobs, first, store);
    return node->sources();
  });
}

std::optional<TrainedModels> train_tree_distributed(Cluster& cluster, const std::string& key_prefix,
                                                    const TreeNode& tree, const torch::Tensor& data,
                                                    const torch::Tensor& labels, int64_t total_classes,
                                                    const torch::Tensor& train_coords,
                                                    const torch::Tensor& val_coords,
                                                    const std::optional<torch::Tensor>& fp_map,
                                                    const TrainNodeOptions& options, JobObserver* observer,
                                                    JobStore* store) {
  TrainNodeOptions o = options;
  if (!o.global_start()) o.global_start(wall_time());
  const double start = wall_time();
  const TreeInputs in{tree, data, labels, total_classes, train_coords, val_coords, fp_map};
  const bool has_fingerprints = fp_map.has_value() && fp_map->defined();
  const std::vector<TreeJob> jobs = tree_jobs(tree, total_classes, has_fingerprints, o);
  const std::vector<TreeJob> order = largest_first(unfinished(cluster, key_prefix, jobs, store));

  TrainNodeOptions worker = o;
  worker.observer(nullptr).out_dir(std::nullopt);
  if (!cluster.is_leader()) {
    RankShare share;
    try {
      share = work_jobs(cluster, key_prefix, in, order, worker, observer);
    } catch (const std::exception& e) {
      cluster.report_failure(e.what());
      throw;
    }
    share.total = wall_time() - start;
    if (observer) observer->on_share_done(share);
    return std::nullopt;
  }

  // Rank 0 trains its share on this thread while another plays the results
  // back in order; whichever fails first stops the other.
  TrainedModels models;
  std::exception_ptr assembly_error;
  std::thread assembler([&] {
    try {
      models = assemble_tree(cluster, key_prefix, in, jobs, o, store);
    } catch (const std::exception& e) {
      assembly_error = std::current_exception();
      cluster.abandon(e.what());
    }
  });
  RankShare share;
  try {
    share = work_jobs(cluster, key_prefix, in, order, worker, observer);
  } catch (const std::exception& e) {
    cluster.abandon(e.what());
    assembler.join();
    if (assembly_error) std::rethrow_exception(assembly_error);  // the cause, when the assembly failed first
    throw;
  }
  assembler.join();
  if (assembly_error) std::rethrow_exception(assembly_error);
  share.total = wall_time() - start;
  if (observer) observer->on_share_done(share);
  return models;
}

}  // namespace lumora
