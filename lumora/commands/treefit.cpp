#include "lumora/commands/treefit.h"

#include <fmt/format.h>
#include <torch/torch.h>

#include <cstdlib>
#include <iostream>
#include <memory>

#include "lumora/commands/cli.h"
#include "lumora/commands/few_label_options.h"
#include "lumora/commands/split_options.h"
#include "lumora/commands/tree_checkpoint.h"
#include "lumora/commands/run_outputs.h"
#include "lumora/commands/training_console.h"
#include "lumora/commands/tree_reports.h"
#include "lumora/core/errors.h"
#include "lumora/core/format.h"
#include "lumora/core/paths.h"
#include "lumora/core/process.h"
#include "lumora/core/stop_signal.h"
#include "lumora/core/state_dict.h"
#include "lumora/core/torch_compat.h"
#include "lumora/datasets/cubeset.h"
#include "lumora/distributed/cluster.h"
#include "lumora/distributed/shared_state.h"
#include "lumora/distributed/tree_jobs.h"
#include "lumora/models/bandscan.h"
#include "lumora/models/cubeseg.h"
#include "lumora/rssp/bundle.h"
#include "lumora/rssp/cascader.h"
#include "lumora/rssp/nodefit.h"
#include "lumora/rssp/sam_clustering.h"
#include "lumora/rssp/warmstart.h"
#include "lumora/utils/display.h"

namespace lumora::commands::treefit {
namespace {

struct Options {
  std::string data, gt;
  cli::SplitArgs split_args;
  SplitProtocol split;  // its seed is `seed`
  std::string depth = "auto";
  int64_t forests = 5, epochs = 400;
  NetworkSizes sizes;
  double lr = 0.0001;
  std::string loss = "ce";
  double focal_gamma = 2.0;
  int64_t patience = 50, min_epochs = 40, leaf_forests = 3, warmup_epochs = 0, val_interval = 20;
  int64_t d_model = 64, d_state = 16, ssm_epochs = 300;
  double ssm_lr = 0.001;
  std::string ssm_save = "warmstarted.pt";
  std::optional<std::string> ssm_load;
  std::string routing = "forest";
  int64_t seed = 42;
  std::string save = "spt_models.pkl";
  std::string out_dir = ".";
  int64_t runs = 1;
  std::optional<std::string> dist_url;
  std::optional<int64_t> world_size, rank;
  double dist_timeout = 300.0;
  bool resume = false;
  cli::FewLabelArgs few_args;
  FewLabelOptions few_labels;
};

// The scores of test_results.csv that repeated runs summarise.
const std::vector<ScoreColumn> kTreeScores = {{"OA", "OA"},     {"mIoU", "mIoU"}, {"Dice", "Dice"},
                                              {"Precision", "Precision"}, {"Recall", "Recall"},
                                              {"AA", "AA"},     {"kappa", "kappa"}};

const char* kLossHelp =
    "Loss function (default: ce). squared_ce: CE squared, amplifies hard-example penalty. focal: focal loss with "
    "--focal_gamma. dice: combined CrossEntropy + Dice loss.";

// "auto", "full" or a number of levels, read as the tree builder reads it.
CLI::Validator depth_check() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        try {
          DepthMode::parse(text);
        } catch (const ValueError& e) {
          return e.what();
        }
        return {};
      },
      "");
}

void declare(CLI::App& app, Options& o) {
  app.add_option("--data", o.data)->required();
  CLI::Option* gt = app.add_option("--gt", o.gt)->required();
  cli::add_split_options(app, o.split_args, /*described=*/false, gt);
  app.add_option("--depth", o.depth, "auto | full | integer")->check(depth_check());
  // A node without ensemble members would make a bundle nothing can predict with.
  app.add_option("--ensembles", o.forests)->check(cli::at_least(1));
  app.add_option("--base_filters", o.sizes.base_filters)->check(cli::at_least(1));
  app.add_option("--num_filters", o.sizes.num_filters)->check(cli::at_least(1));
  app.add_option("--num_blocks", o.sizes.num_blocks)->check(cli::at_least(0));
  app.add_option("--epochs", o.epochs)->check(cli::at_least(0));
  app.add_option("--lr", o.lr)->check(cli::positive_real());
  app.add_option("--loss", o.loss, kLossHelp)
      ->check(CLI::IsMember({"ce", "squared_ce", "focal", "dice"}))
      ->type_name("{ce,squared_ce,focal,dice}");
  app.add_option("--focal_gamma", o.focal_gamma, "Focal loss gamma (default: 2.0)")
      ->check(cli::positive_real(/*or_zero=*/true));
  app.add_option("--patience", o.patience, "Stop if val mIoU has not improved for this many epochs (default: 50)")
      ->check(cli::at_least(0));
  app.add_option("--min_epochs", o.min_epochs, "Never early-stop before this epoch (default: 40)")
      ->check(cli::at_least(0));
  app.add_option("--leaf_ensembles", o.leaf_forests,
                 "Number of ensembles for leaf nodes with ≤ 2 classes (default: 3)")
      ->check(cli::at_least(1));
  app.add_option("--warmup_epochs", o.warmup_epochs, "Linear LR warmup epochs from lr/10 → lr (default: 0 = disabled)")
      ->check(cli::at_least(0));
  app.add_option("--val_interval", o.val_interval,
                 "Validate every N epochs (default: 20). Lower = finer checkpointing but slower.")
      ->check(cli::at_least(1));
  app.add_option("--d_model", o.d_model)->check(cli::at_least(1));
  app.add_option("--d_state", o.d_state)->check(cli::at_least(1));
  app.add_option("--ssm_epochs", o.ssm_epochs)->check(cli::at_least(0));
  app.add_option("--ssm_lr", o.ssm_lr)->check(cli::positive_real());
  app.add_option("--ssm_save", o.ssm_save);
  app.add_option("--ssm_load", o.ssm_load);
  app.add_option("--routing", o.routing)
      ->check(CLI::IsMember({"hybrid", "forest", "soft"}))
      ->type_name("{hybrid,forest,soft}");
  app.add_option("--seed", o.seed);
  app.add_option("--save", o.save);
  app.add_option("--out-dir", o.out_dir);
  app.add_flag("--resume", o.resume,
               "Continue the run in OUT_DIR from its checkpoint/ folder: finished ensemble members and routers are "
               "kept (with --runs: finished runs are skipped); the same scene, split and options are required");
  cli::add_few_label_options(app, o.few_args);
  app.add_option("--runs", o.runs,
                 "Repeat with seeds seed, seed+1, ... (default: 1): each run in OUT_DIR/run_SEED/, then "
                 "runs_summary.csv")
      ->check(cli::at_least(1));
  app.add_option("--dist-url", o.dist_url,
                 "Train over several processes: tcp://HOST:PORT of rank 0, or env:// to read MASTER_ADDR, "
                 "MASTER_PORT, RANK and WORLD_SIZE");
  app.add_option("--world-size", o.world_size, "Number of processes (with --dist-url)")->check(cli::at_least(1));
  app.add_option("--rank", o.rank, "This process's rank, 0 to world size - 1 (with --dist-url)")
      ->check(cli::at_least(0));
  app.add_option("--dist-timeout", o.dist_timeout,
                 "Seconds to wait for every process to join, and before a silent process fails the run "
                 "(default: 300)")
      ->check(cli::positive_real());
}

// What every rank must agree on before the work is shared: the training
// options, the scene's shape, the split and the tree.
std::string run_digest(const Options& o, const LabelledScene& scene, const TreeNode& tree) {
  const NetworkSizes& n = o.sizes;
  Digest digest;
  digest.add(fmt::format("{} {} {} {} {} {} {} {} {} {} {} {} {} {} {} {}", o.epochs, o.forests, o.leaf_forests,
                         n.base_filters, n.num_filters, n.num_blocks, py_float(o.lr), o.loss, py_float(o.focal_gamma),
                         o.patience, o.min_epochs, o.warmup_epochs, o.val_interval, o.d_model, o.d_state, o.routing));
  digest.add(few_label_summary(o.few_labels));
  digest.add(shape_text(scene.data.sizes().vec(), ShapeStyle::Cross)).add(tree_text(tree));
  digest.add(protocol_to_json(scene.protocol).dump());
  for (const torch::Tensor* coords : {&scene.train_coords, &scene.val_coords, &scene.test_coords})
    digest.add(coords->to(torch::kInt64));
  return digest.hex();
}

// What --resume compares: finished jobs are only kept for the same run.
cli::RunIdentity run_identity(const Options& o, const LabelledScene& scene) {
  const NetworkSizes& n = o.sizes;
  return {
      {"scene", cli::scene_identity(scene.data)},
      {"split", fmt::format("{} (pixels {}, {})", scene.protocol.describe(), cli::fingerprint(scene.train_coords),
                            cli::fingerprint(scene.val_coords))},
      {"network", fmt::format("base_filters {}, num_filters {}, num_blocks {}", n.base_filters, n.num_filters,
                              n.num_blocks)},
      {"--epochs", std::to_string(o.epochs)},
      {"--ensembles", fmt::format("{} (leaves {})", o.forests, o.leaf_forests)},
      {"--depth", o.depth},
      {"--lr", py_float(o.lr)},
      {"--seed", std::to_string(o.seed)},
      {"--loss", o.loss + (o.loss == "focal" ? ", gamma " + py_float(o.focal_gamma) : "")},
      {"early stopping", fmt::format("patience {}, min_epochs {}, val_interval {}, warmup_epochs {}", o.patience,
                                     o.min_epochs, o.val_interval, o.warmup_epochs)},
      {"encoder", fmt::format("d_model {}, d_state {}, ssm_epochs {}, ssm_lr {}, ssm_load {}", o.d_model, o.d_state,
                              o.ssm_epochs, py_float(o.ssm_lr), o.ssm_load.value_or("none"))},
      {"--routing", o.routing},
      {"few-labels training", few_label_summary(o.few_labels)},
  };
}

SpectralSSMEncoder prepare_encoder(const Options& o, const torch::Device& device, const LabelledScene& scene,
                                   const std::optional<StateDict>& kept) {
  std::cout << "\n=== SSM Encoder ===" << std::endl;
  SpectralSSMEncoder encoder(SpectralSSMEncoderOptions().d_model(o.d_model).d_state(o.d_state));
  encoder->to(device);
  std::cout << "  " << display::YELLOW << "⚠ SSM Encoder is experimental — results may vary" << display::RESET
            << std::endl;
  if (kept) {
    std::cout << "Loading SSM weights from the checkpoint" << std::endl;
    load_state_dict(*encoder, *kept);
    if (!o.ssm_load) save_state_dict(*kept, path_join(o.out_dir, o.ssm_save));  // as pre-training wrote it
  } else if (o.ssm_load) {
    std::cout << "Loading SSM weights from " << *o.ssm_load << std::endl;
    load_state_dict_file_into(*encoder, *o.ssm_load);
  } else {
    const std::string path = path_join(o.out_dir, o.ssm_save);  // its folder exists: see main_flow
    std::cout << "SSM will be saved to: " << path << std::endl;
    PretrainConsole console;
    encoder = pretrain_ssm(scene.data, scene.labels, scene.train_coords, scene.val_coords,
                           PretrainSSMOptions()
                               .d_model(o.d_model)
                               .d_state(o.d_state)
                               .num_classes(scene.num_classes)
                               .epochs(o.ssm_epochs)
                               .lr(o.ssm_lr)
                               .device(device)
                               .save_path(path)
                               .observer(&console));
  }
  for (auto& p : encoder->parameters()) p.set_requires_grad(false);
  encoder->eval();
  return encoder;
}

// Whether the run in OUT_DIR finished already, as rank 0 found it.
bool agree_finished(Cluster* cluster, const std::string& prefix, bool finished_here) {
  if (!cluster) return finished_here;
  if (cluster->is_leader()) {
    cluster->publish(prefix + "finished", finished_here ? "1" : "0");
    return finished_here;
  }
  return cluster->receive(prefix + "finished") == "1";
}

// `rank_out`: where this rank's own lines go (std::cout is silenced on the
// ranks other than 0).
int main_flow(Options o, Cluster* cluster, const std::string& prefix, std::ostream& rank_out) {
  // Without a cluster this process is the whole run; in one, rank 0 writes
  // everything and the other ranks only train.
  const bool leader = !cluster || cluster->is_leader();
  const Routing routing = parse_routing(o.routing);  // one of the listed names: checked while parsing
  if (routing == Routing::forest && o.ssm_epochs > 1) {
    std::cout << "Ensemble routing selected — skipping SSM pretraining (set --ssm_epochs manually to override)"
              << std::endl;
    o.ssm_epochs = 1;
  }
  // Every place written at the end is checked now, not after pre-training and
  // training; nothing is created until the scene has been read.
  const std::string bundle_path = path_join(o.out_dir, o.save);
  const std::string ssm_path = path_join(o.out_dir, o.ssm_save);
  if (leader) {
    cli::check_output_folder("--out-dir", o.out_dir);
    cli::check_output_file("--save", bundle_path);
    if (o.ssm_load)
      cli::check_input_file("--ssm_load", *o.ssm_load);
    else
      cli::check_output_file("--ssm_save", ssm_path);
  }
  torch::manual_seed(static_cast<uint64_t>(o.seed));
  const torch::Device device = cluster ? compat::device_for_rank(cluster->rank()) : compat::default_device();

  const DepthMode depth_mode = DepthMode::parse(o.depth);  // checked while parsing, too
  SplitProtocol protocol = o.split;
  protocol.seed = o.seed;
  const LabelledScene scene(SceneOptions(o.data, o.gt).protocol(protocol));
  for (Split split : {Split::train, Split::val, Split::test}) print_split_summary(scene, split);
  if (leader) {
    print_split_notes(scene);
    cli::suggest_few_labels(scene, o.few_labels, std::cout);
  }
  cli::check_test_pixels(scene.test_coords.size(0), scene.protocol, o.gt);
  const torch::Tensor& data = scene.data;
  const torch::Tensor& labels = scene.labels;
  const int64_t num_classes = scene.num_classes;
  // Before the encoder is pre-trained: node training would refuse the scene later.
  check_trainable_size(data.size(1), data.size(2));

  // What a killed run with the same options kept; compared before anything is written.
  TreeCheckpoint checkpoint(o.out_dir);
  TreeRunRecord record;
  if (leader) record.identity = run_identity(o, scene);  // rank 0 alone keeps the checkpoint
  std::optional<TreeRunRecord> stored;
  if (leader && o.resume) {
    stored = checkpoint.read_record();
    if (stored) cli::check_same_run(checkpoint.record_path(), stored->identity, record.identity);
  }
  if (agree_finished(cluster, prefix, stored && stored->finished)) {
    std::cout << "Nothing to resume: the run in " << o.out_dir << " finished" << std::endl;
    return 0;
  }
  if (leader && o.resume && !stored)
    std::cout << "No checkpoint in " << o.out_dir << ": training starts from the beginning" << std::endl;
  const std::string history_path = path_join(o.out_dir, "training_history.csv");
  if (leader) {
    make_dirs(o.out_dir);
    cli::make_parent_dirs(bundle_path);
    if (!o.ssm_load) cli::make_parent_dirs(ssm_path);
    save_split_map(o.out_dir, o.data, MapRequest(), scene);
    if (stored) {
      restore_history(history_path, stored->history_bytes);
      record = *stored;
    } else {
      record.history_bytes = history_length(history_path);
      checkpoint.start(record);
    }
  }

  const Loss loss = parse_loss(o.loss);  // one of the listed names: checked while parsing
  const std::string loss_text = loss == Loss::focal ? "focal (gamma=" + py_float(o.focal_gamma) + ")" : o.loss;
  display::print_config_box(
      "LUMORA SPT Training",
      {{"Device", device_description(device)},
       {"Loss", loss_text},
       {"Routing", o.routing},
       {"Train pixels", fmt::format("{} ({} classes)", thousands(scene.train_coords.size(0)), num_classes - 1)},
       {"Val pixels", thousands(scene.val_coords.size(0))},
       {"Test pixels", thousands(scene.test_coords.size(0))},
       {"Output", o.out_dir}});

  // The encoder is pre-trained once, on rank 0; the others need only its fingerprints.
  SpectralSSMEncoder encoder{nullptr};
  torch::Tensor fp_map;
  if (leader) {
    encoder = prepare_encoder(o, device, scene, record.encoder);
    if (!record.encoder) {
      record.encoder = cpu_copy(state_dict(*encoder));
      checkpoint.write_record(record);
    }
    std::cout << "\nPre-computing fingerprint map ..." << std::endl;
    fp_map = fingerprint_map(encoder, data, device);
    std::cout << "Fingerprint map shape: (" << fp_map.size(0) << ", " << fp_map.size(1) << ", " << fp_map.size(2)
              << ")" << std::endl;
    if (cluster) publish_tensor(*cluster, prefix + "fingerprints", fp_map);
  } else {
    fp_map = receive_tensor(*cluster, prefix + "fingerprints").to(device);
  }

  std::cout << "\n=== Building Spectral Partition Tree ===" << std::endl;
  // The tree is shaped by training labels only: test pixels never inform the model.
  const RsspTree built = build_rssp_tree(data, scene.mask(Split::train), num_classes, depth_mode);
  const TreeNode& tree = built.tree;
  std::cout << tree_text(tree) << std::flush;
  if (cluster)
    agree_on(*cluster, prefix, run_digest(o, scene, tree), "different training options, scene, split or class tree",
             "give every rank the same --data, --gt and options");

  display::print_training_start();
  // The curves show this run's rows only: the history file may hold earlier runs'.
  const int64_t earlier_history_rows = csv_data_rows(history_path);
  std::cout << "\n=== Training SPT Ensembles (loss=" << o.loss << ") ===" << std::endl;
  NodeTrainingConsole console(o.patience);
  const TrainNodeOptions node_options = TrainNodeOptions()
                                            .ssm_d_model(o.d_model)
                                            .base_epochs(o.epochs)
                                            .num_forests(o.forests)
                                            .sizes(o.sizes)
                                            .lr(o.lr)
                                            .device(device)
                                            .loss(loss)
                                            .focal_gamma(o.focal_gamma)
                                            .patience(o.patience)
                                            .min_epochs(o.min_epochs)
                                            .leaf_forests(o.leaf_forests)
                                            .warmup_epochs(o.warmup_epochs)
                                            .val_interval(o.val_interval)
                                            .out_dir(o.out_dir)
                                            .observer(&console)
                                            .few_labels(o.few_labels);
  if (leader && stored)
    std::cout << "Resuming: " << checkpoint.jobs_kept() << " finished ensemble members kept in " << checkpoint.folder()
              << std::endl;
  TrainedModels trained_models;
  try {
    if (cluster) {
      RankConsole rank_console(*cluster, rank_out);
      std::optional<TrainedModels> models =
          train_tree_distributed(*cluster, prefix, tree, data, labels, num_classes - 1, scene.train_coords,
                                 scene.val_coords, fp_map, node_options, &rank_console, leader ? &checkpoint : nullptr);
      if (!leader) return 0;
      trained_models = std::move(*models);
    } else {
      trained_models = train_tree_kept(tree, data, labels, num_classes - 1, scene.train_coords, scene.val_coords,
                                       fp_map, node_options, checkpoint);
    }
  } catch (const Stopped& e) {
    if (!leader) throw;  // rank 0 says how to go on
    throw Stopped(e.signal(), std::string(e.what()) + "; continue with --resume");
  } catch (const ClusterError& e) {
    if (!leader) throw;
    const int64_t kept = checkpoint.jobs_kept();
    throw ClusterError(std::string(e.what()) +
                       (kept > 0 ? fmt::format("; {} finished ensemble member{} kept: continue with --resume", kept,
                                               kept == 1 ? " is" : "s are")
                                 : "; no ensemble member had finished"));
  }

  Bundle bundle;
  bundle.trained_models = trained_models;
  bundle.tree = tree;
  bundle.ssm_state = cpu_copy(state_dict(*encoder));
  bundle.d_model = o.d_model;
  bundle.d_state = o.d_state;
  bundle.split = scene.protocol;
  save_bundle(bundle, bundle_path);
  display::print_training_done();

  std::cout << "\n=== Running Cascade Inference (routing=" << o.routing << ") ===" << std::endl;
  CascadeConsole cascade_console;
  const torch::Tensor final_pred = run_inference(tree, trained_models, data, &encoder, device, num_classes,
                                                 routing, nullptr, &cascade_console);

  const torch::Tensor eval = eval_labels(labels, scene.mask(Split::test));
  const RsspMetrics m = compute_rssp_metrics(final_pred, eval, num_classes);
  display::print_results_box(m.scores.labelled(), o.routing);
  const std::string results_path = path_join(o.out_dir, "test_results.csv");
  write_scores_csv(results_path, {"routing", "OA", "mIoU", "Dice", "Precision", "Recall", "AA", "kappa"}, o.routing,
                   m.scores);
  print_saved(results_path);

  // The same per-class IoUs as per_class_iou(final_pred, eval, num_classes).
  display::print_per_class_iou(m.per_class_ious);
  const std::string report_path = path_join(o.out_dir, "class_report_" + o.routing + ".csv");
  write_class_report(report_path, final_pred, eval, num_classes, m.per_class_ious);
  print_saved(report_path);

  display::print_save_and_next(
      {o.out_dir, o.save, o.data, o.gt, o.split.train_ratio, o.split.val_ratio, o.seed, o.split.plain_ratios()});
  if (csv_data_rows(history_path) > earlier_history_rows)
    draw_tree_curves(history_path, earlier_history_rows, path_join(o.out_dir, "training_curves.png"),
                     "lumora-treefit: " + bundle_path);
  checkpoint.finish(record);
  return 0;
}

// Every run asked for, on this process alone or with the others of a cluster.
int run_all(const Options& o) {
  std::unique_ptr<Cluster> cluster;
  std::ostream rank_out(std::cout.rdbuf());
  std::optional<QuietStdout> quiet;
  if (o.dist_url) {
    cluster = std::make_unique<Cluster>(
        resolve_rendezvous(*o.dist_url, o.world_size, o.rank, [](const char* name) { return std::getenv(name); }),
        o.dist_timeout);
    // Rank 0 prints the run; the others only their own lines (see RankConsole).
    if (!cluster->is_leader()) quiet.emplace();
    print_rank_start(*cluster, rank_out);
  }
  try {
    if (o.runs == 1) {
      main_flow(o, cluster.get(), "", rank_out);
    } else {
      const std::vector<int64_t> seeds = run_seeds(o.seed, o.runs);
      for (int64_t seed : seeds) {
        Options one = o;
        one.seed = seed;
        one.out_dir = run_folder(o.out_dir, seed);
        main_flow(one, cluster.get(), fmt::format("run{}/", seed), rank_out);
        if (seed != seeds.back())
          stop_point("after the run of seed " + std::to_string(seed) + "; continue with --resume");
      }
      if (!cluster || cluster->is_leader()) summarise_runs(o.out_dir, seeds, kTreeScores);
    }
  } catch (const std::exception& e) {
    // The other ranks learn why, rather than only that this one is gone.
    if (cluster) {
      cluster->report_failure(e.what());
      cluster->abandon(e.what());
    }
    throw;
  }
  if (cluster) cluster->finish();
  return 0;
}

}  // namespace

int run(int argc, char** argv) {
  prepare_process();
  Options o;
  auto app = cli::make_app("LUMORA SPT (Spectral Partition Tree) Training", "lumora-treefit");
  declare(*app, o);
  if (auto status = cli::parse(*app, argc, argv)) return *status;
  o.split = cli::parsed_protocol(o.split_args, o.seed);
  o.few_labels = cli::few_label_options(o.few_args);
  return cli::guarded([&] {
    StopWindow stops;  // SIGTERM and SIGINT stop at the end of an epoch
    return run_all(o);
  });
}

}  // namespace lumora::commands::treefit
