#include "lumora/commands/train.h"

#include <fmt/format.h>
#include <torch/torch.h>

#include <iostream>

#include "lumora/commands/cli.h"
#include "lumora/commands/few_label_options.h"
#include "lumora/commands/split_options.h"
#include "lumora/commands/train_checkpoint.h"
#include "lumora/core/atomic_file.h"
#include "lumora/core/csv.h"
#include "lumora/core/format.h"
#include "lumora/core/paths.h"
#include "lumora/core/process.h"
#include "lumora/core/stop_signal.h"
#include "lumora/core/state_dict.h"
#include "lumora/core/torch_compat.h"
#include "lumora/maps/class_names.h"
#include "lumora/metrics/segmentation.h"
#include "lumora/models/cubeseg.h"
#include "lumora/models/losses.h"
#include "lumora/models/network_record.h"
#include "lumora/training/fit.h"
#include "lumora/training/fit_state.h"
#include "lumora/utils/display.h"

namespace lumora::commands::train {
namespace {

const char* const kCheckpointFile = "checkpoint.pt";
constexpr double kFewLabelsLr = 3e-4;

std::string f4(double v) { return fmt::format("{:.4f}", v); }

std::vector<std::string> score_fields(const Scores& s) {
  return {f4(s.oa), f4(s.miou), f4(s.dice), f4(s.precision), f4(s.recall), f4(s.aa), f4(s.kappa)};
}

int64_t parameter_count(const torch::nn::Module& module) {
  int64_t n = 0;
  for (const auto& p : module.parameters()) n += p.numel();
  return n;
}

// What a run leaves for prediction and for the eye, after its scores: the
// side file of the best weights, the maps of their prediction `pred` (H, W)
// over the whole scene, and the training curves of the log.
void write_network_outputs(const TrainOptions& o, const LabelledScene& scene, const HyperspectralDataset& test_ds,
                           int64_t best_epoch, int64_t spectral_support, const torch::Tensor& pred,
                           const std::string& save_path, const std::string& log_path) {
  NetworkRecord record;
  static_cast<NetworkSizes&>(record) = o.sizes;
  record.num_bands = test_ds.num_bands;
  record.num_classes = test_ds.num_classes;
  record.fp16 = o.fp16;
  record.normalisation = o.fp16 ? "min_max" : "standard";  // the dataset's use_fp16 choice
  record.split = scene.protocol;
  record.trained_classes = scene.trained_classes();
  record.best_epoch = best_epoch;
  record.spectral_support = spectral_support;
  const std::vector<std::string> names = class_names_of(o.maps, test_ds.num_classes - 1);
  for (int64_t k = 1; k < test_ds.num_classes; ++k) record.class_names.push_back(maps::class_name(names, k));
  const std::string record_path = network_record_path(save_path);
  std::cout << std::endl;
  save_network_record(record, record_path);
  print_saved_paths({record_path});

  if (auto map_set = open_maps(o.maps, o.out_dir, o.data, test_ds.num_classes, names, test_ds.data.size(0),
                                     test_ds.data.size(1), test_ds.data.size(2))) {
    print_saved_paths(map_set->prediction("", pred));
    print_saved_paths(map_set->errors("", pred, test_ds.labels, test_ds.split_mask));
    print_saved_paths(map_set->truth(test_ds.labels));
    print_saved_paths(map_set->scene(test_ds.data));
    print_saved_paths(map_set->legend());
  }
  draw_network_curves(log_path, path_join(o.out_dir, "training_curves.png"),
                      "lumora-train: " + path_join(o.out_dir, o.save));
  std::cout << display::GRAY << "Or predict with the network itself:" << display::RESET << "\n"
            << "  lumora-predict --model " << save_path << " --data " << o.data << " --gt " << o.gt << std::endl;
}

// The run's console and files: the epoch bar, one log row per validation,
// and the best weights saved the moment they are found.
class TrainingRun : public FitObserver {
 public:
  TrainingRun(std::string log_path, std::string save_path)
      : log_path_(std::move(log_path)), save_path_(std::move(save_path)) {}
  void on_epoch(const EpochReport& r) override {
    if (!r.val_scores) {
      display::epoch_bar(r.epoch, r.epochs, r.train_loss);
      return;
    }
    const Scores& s = *r.val_scores;
    display::epoch_bar(r.epoch, r.epochs, r.train_loss, display::EpochScores{*r.val_loss, s.oa, s.miou, s.aa, s.kappa});
    // Rounds fall on validation epochs with the defaults: their line follows a lasting one.
    if (r.pseudo_pixels)
      std::cout << "  Pseudo-labels: " << thousands(*r.pseudo_pixels) << " unlabelled pixels join training"
                << std::endl;
    CsvWriter log(log_path_, /*append=*/true);
    std::vector<std::string> row = {std::to_string(r.epoch), f4(r.train_loss), f4(*r.val_loss)};
    for (auto& f : score_fields(s)) row.push_back(f);
    log.write_row(row);
    log.close();
  }
  void on_best(const EpochReport& /*report*/, const StateDict& best) override { save_state_dict(best, save_path_); }

 private:
  std::string log_path_, save_path_;
};

// What --resume compares: a checkpoint is only continued by the same run.
RunIdentity run_identity(const TrainOptions& o, const LabelledScene& scene, const HyperspectralDataset& train_ds,
                         const HyperspectralDataset& val_ds) {
  return {
      {"scene", cli::scene_identity(train_ds.data)},
      {"split", fmt::format("{} (pixels {}, {})", scene.protocol.describe(), cli::fingerprint(train_ds.split_mask),
                            cli::fingerprint(val_ds.split_mask))},
      {"network", fmt::format("base_filters {}, num_filters {}, num_blocks {}", o.sizes.base_filters,
                              o.sizes.num_filters, o.sizes.num_blocks)},
      {"--epochs", std::to_string(o.epochs)},
      {"--lr", py_float(o.lr)},
      {"--seed", std::to_string(o.seed)},
      {"--loss", loss_name(o.loss) + (o.loss == Loss::focal ? ", gamma " + py_float(o.focal_gamma) : "")},
      {"--fp16", o.fp16 ? "on" : "off"},
      {"few-labels training", few_label_summary(o.few_labels)},
  };
}

// The log as far as the checkpoint got, and the best weights it kept, in
// place of whatever a killed run left after it.
void restore_run_files(const StoredCheckpoint& stored, const std::string& log_path, const std::string& save_path) {
  write_text_file(log_path, stored.log);
  const FitState state = fit_state_from_ivalue(stored.fit);
  if (state.best_weights) save_state_dict(*state.best_weights, save_path);
  std::cout << "Resuming from epoch " << stored.epoch << " (checkpoint.pt)" << std::endl;
}

}  // namespace

void run_training(const TrainOptions& o, const torch::Device& device, const LabelledScene& scene,
                  HyperspectralDataset& train_ds, HyperspectralDataset& val_ds, HyperspectralDataset& test_ds) {
  check_trainable_size(train_ds.data.size(1), train_ds.data.size(2));
  const FitBatch train_batch = device_batch(train_ds.data, train_ds.split_mask, device);
  const FitBatch val_batch = device_batch(val_ds.data, val_ds.split_mask, device);
  const FitBatch test_batch = device_batch(test_ds.data, test_ds.split_mask, device);

  NetworkSizes sizes = o.sizes;
  sizes.num_bands = train_ds.num_bands;
  sizes.num_classes = train_ds.num_classes;
  HyperspectralNet net(HyperspectralNetOptions(sizes).use_fp16(o.fp16));
  net->to(device);
  if (!device.is_cpu()) use_channels_last_3d(*net);

  std::cout << "Training on " << (device.is_cuda() ? "cuda" : "cpu") << " | "
            << (o.fp16 ? "fp16 (mixed precision)" : "fp32 (full precision)") << "\n";
  std::cout << "Bands: " << train_ds.num_bands << " | Classes: " << train_ds.num_classes
            << " | Parameters: " << thousands(parameter_count(*net)) << "\n";
  std::cout << "Loss: " << loss_name(o.loss) << (o.loss == Loss::focal ? " | gamma=" + py_float(o.focal_gamma) : "")
            << "\n"
            << std::endl;

  auto criterion = build_criterion(o.loss, o.focal_gamma, 0);
  criterion->to(device);

  const std::string log_path = path_join(o.out_dir, o.log);
  const std::string save_path = path_join(o.out_dir, o.save);
  const std::string checkpoint_path = path_join(o.out_dir, kCheckpointFile);
  const RunIdentity identity = run_identity(o, scene, train_ds, val_ds);
  std::optional<StoredCheckpoint> stored = o.resume ? read_checkpoint(checkpoint_path) : std::nullopt;
  if (stored) cli::check_same_run(checkpoint_path, stored->identity, identity);
  if (stored && stored->finished) {
    std::cout << "Nothing to resume: the run in " << o.out_dir << " finished at epoch " << stored->epoch << std::endl;
    return;
  }
  if (o.resume && !stored) std::cout << "No checkpoint in " << o.out_dir << ": training starts at epoch 1" << std::endl;

  make_dirs(o.out_dir);
  // Nested names ("runs/best.pth") get their folders now, not at the first save.
  cli::make_parent_dirs(log_path);
  cli::make_parent_dirs(save_path);
  if (stored) {
    restore_run_files(*stored, log_path, save_path);
  } else {
    CsvWriter log(log_path);
    log.write_row({"epoch", "train_loss", "val_loss", "val_oa", "val_miou", "val_dice", "val_precision",
                   "val_recall", "val_aa", "val_kappa"});
    log.close();
  }
  save_split_map(o.out_dir, o.data, o.maps, scene);
  display::print_training_start();

  TrainingRun run(log_path, save_path);
  TrainCheckpointer checkpointer(checkpoint_path, log_path, identity);
  FitResult fit = fit_network(net, *criterion, train_batch, val_batch,
                              FitOptions()
                                  .epochs(o.epochs)
                                  .lr(o.lr)
                                  .val_interval(10)
                                  .mixed_precision(o.fp16)
                                  .observer(&run)
                                  .few_labels(FewLabelOptions(o.few_labels).seed(static_cast<uint64_t>(o.seed)))
                                  .checkpointer(&checkpointer)
                                  .resume_from(stored ? stored->fit : c10::IValue()));
  const int64_t best_epoch = fit.best_epoch;

  // A run only ever tests weights it wrote itself: without a best validation
  // epoch, the final weights stand in (and best_epoch stays 0).
  if (!fit.from_validation) {
    std::cout << display::YELLOW << "Warning: no validation epoch improved on mIoU 0; testing the final weights"
              << " (saved to " << save_path << ")" << display::RESET << std::endl;
    save_state_dict(fit.weights, save_path);
  }
  load_state_dict(*net, fit.weights);
  net->eval();
  Scores test;
  torch::Tensor test_pred;  // the best weights' class of every pixel, for the maps
  {
    torch::NoGradGuard no_grad;
    compat::Autocast autocast(o.fp16);
    // Only classes training saw may win: never 0, never an id the scene lacks.
    auto output = restrict_to_classes(net->forward(test_batch.input), scene.trained_classes());
    test = compute_metrics(output, test_batch.target, test_ds.num_classes);
    test_pred = output.argmax(1).squeeze(0).to(torch::kCPU, torch::kLong);
  }
  display::print_training_done();
  display::print_results_box(test.labelled());
  {
    CsvWriter results(path_join(o.out_dir, "test_results.csv"));
    results.write_row({"best_epoch", "test_oa", "test_miou", "test_dice", "test_precision", "test_recall", "test_aa",
                       "test_kappa"});
    std::vector<std::string> row = {std::to_string(best_epoch)};
    for (auto& f : score_fields(test)) row.push_back(f);
    results.write_row(row);
    results.close();
  }
  std::cout << "  " << display::BOLD << "Best epoch:" << display::RESET << " " << best_epoch << "  |  Logs: " << o.log
            << "  |  Test results: test_results.csv" << std::endl;
  display::print_save_and_next({o.out_dir, o.save, o.data, o.gt, o.split.train_ratio, o.split.val_ratio});
  write_network_outputs(o, scene, test_ds, best_epoch, net->options.spectral_support(), test_pred, save_path,
                        log_path);
  checkpointer.finish(o.epochs);
}

namespace {

// The scores of test_results.csv that repeated runs summarise.
const std::vector<ScoreColumn> kNetworkScores = {
    {"test_oa", "OA"},         {"test_miou", "mIoU"}, {"test_dice", "Dice"}, {"test_precision", "Precision"},
    {"test_recall", "Recall"}, {"test_aa", "AA"},     {"test_kappa", "kappa"}};

int train_once(const TrainOptions& o) {
  // Every output place is checked before the scene is read; the folders
  // themselves are made only when training starts.
  cli::check_output_folder("--out-dir", o.out_dir);
  cli::check_output_file("--save", path_join(o.out_dir, o.save));
  cli::check_output_file("--log", path_join(o.out_dir, o.log));
  check_map_inputs(o.maps);
  torch::manual_seed(static_cast<uint64_t>(o.seed));  // CPU and every CUDA device
  const torch::Device device = compat::default_device();
  SplitProtocol protocol = o.split;
  protocol.seed = o.seed;
  const LabelledScene scene(SceneOptions(o.data, o.gt).protocol(protocol).use_fp16(o.fp16));
  for (Split split : {Split::train, Split::val, Split::test}) print_split_summary(scene, split);
  print_split_notes(scene);
  cli::suggest_few_labels(scene, o.few_labels, std::cout);
  HyperspectralDataset train_ds(scene, Split::train);
  HyperspectralDataset val_ds(scene, Split::val);
  HyperspectralDataset test_ds(scene, Split::test);
  cli::check_test_pixels(test_ds.coords.size(0), scene.protocol, o.gt);
  class_names_of(o.maps, train_ds.num_classes - 1);  // a short names file fails before training, not after
  run_training(o, device, scene, train_ds, val_ds, test_ds);
  return 0;
}

}  // namespace

int run(int argc, char** argv) {
  prepare_process();
  TrainOptions o;
  auto app = cli::make_app("LUMORA — Hyperspectral Segmentation Training", "lumora-train");
  app->add_option("--data", o.data, "Path to hyperspectral data .mat file")->required();
  CLI::Option* gt = app->add_option("--gt", o.gt, "Path to ground truth labels .mat file")->required();
  cli::SplitArgs split;
  cli::add_split_options(*app, split, /*described=*/true, gt);
  app->add_option("--base_filters", o.sizes.base_filters, "Base filter count for encoder/decoder (default: 32)")
      ->check(cli::at_least(1));
  app->add_option("--num_filters", o.sizes.num_filters, "Filters in Spectral3DStack (default: 8)")->check(cli::at_least(1));
  app->add_option("--num_blocks", o.sizes.num_blocks, "Number of 3D conv blocks (default: 3)")->check(cli::at_least(0));
  app->add_option("--epochs", o.epochs, "Number of training epochs (default: 300)")->check(cli::at_least(0));
  CLI::Option* lr = app->add_option("--lr", o.lr, "Learning rate (default: 1e-4; 3e-4 with --few_labels)")
                        ->check(cli::positive_real());
  app->add_option("--seed", o.seed, "Random seed (default: 42)");
  std::string loss = "ce";
  app->add_option("--loss", loss,
                  "Loss function (default: ce). squared_ce: CE squared, amplifies hard-example penalty. focal: focal "
                  "loss with --focal_gamma. dice: combined CrossEntropy + Dice loss.")
      ->check(CLI::IsMember({"ce", "squared_ce", "focal", "dice"}))
      ->type_name("{ce,squared_ce,focal,dice}");
  app->add_option("--focal_gamma", o.focal_gamma,
                  "Focal loss gamma — higher values focus more on hard examples (default: 2.0)")
      ->check(cli::positive_real(/*or_zero=*/true));
  app->add_flag("--fp16", o.fp16, "Use mixed precision (float16) training");
  app->add_flag("--resume", o.resume,
                "Continue the run in OUT_DIR from its checkpoint.pt (with --runs: skip finished runs, continue the "
                "unfinished one); the same scene, split and options are required");
  app->add_option("--out-dir", o.out_dir, "Output directory");
  app->add_option("--save", o.save, "Path to save best model weights (default: best_model.pth)");
  app->add_option("--log", o.log, "Path to training log CSV (default: training_log.csv)");
  add_map_options(*app, o.maps, /*probs=*/false);
  cli::FewLabelArgs few;
  cli::add_few_label_options(*app, few);
  int64_t runs = 1;
  app->add_option("--runs", runs,
                  "Repeat with seeds seed, seed+1, ... (default: 1): each run in OUT_DIR/run_SEED/, then "
                  "runs_summary.csv")
      ->check(cli::at_least(1));
  if (auto status = cli::parse(*app, argc, argv)) return *status;

  o.loss = parse_loss(loss);  // one of the listed names: checked while parsing
  o.split = cli::parsed_protocol(split, o.seed);
  o.few_labels = cli::few_label_options(few);
  // With many more labels (the spectral seeds) from the first step, the
  // recipe trains best a little faster.
  if (few.recipe && lr->count() == 0) o.lr = kFewLabelsLr;

  return cli::guarded([&] {
    StopWindow stops;  // SIGTERM and SIGINT stop at the end of an epoch
    if (runs == 1) return train_once(o);
    const std::vector<int64_t> seeds = run_seeds(o.seed, runs);
    for (int64_t seed : seeds) {
      TrainOptions one = o;
      one.seed = seed;
      one.out_dir = run_folder(o.out_dir, seed);
      train_once(one);
      if (seed != seeds.back())
        stop_point("after the run of seed " + std::to_string(seed) + "; continue with --resume");
    }
    summarise_runs(o.out_dir, seeds, kNetworkScores);
    return 0;
  });
}

}  // namespace lumora::commands::train
