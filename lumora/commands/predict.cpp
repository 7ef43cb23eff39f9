#include "lumora/commands/predict.h"

#include <fmt/format.h>
#include <torch/torch.h>

#include <chrono>
#include <iostream>

#include "lumora/commands/cli.h"
#include "lumora/commands/tree_reports.h"
#include "lumora/core/errors.h"
#include "lumora/core/format.h"
#include "lumora/core/paths.h"
#include "lumora/core/process.h"
#include "lumora/core/state_dict.h"
#include "lumora/core/torch_compat.h"
#include "lumora/datasets/cubeset.h"
#include "lumora/models/bandscan.h"
#include "lumora/rssp/bundle.h"
#include "lumora/rssp/cascader.h"
#include "lumora/utils/display.h"

namespace lumora::commands::predict {
namespace {

struct Options {
  std::string data, gt, model;
  std::optional<std::string> ssm_load;
  double train_ratio = 0.2, val_ratio = 0.1;
  int64_t seed = 42;
  // The three as typed, when given: a bundle's recorded split fills the others.
  std::optional<std::string> given_train_ratio, given_val_ratio, given_seed;
  std::string routing = "all";
  std::string out_dir = ".";
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The encoder for hybrid and soft runs, or nothing when no weights exist.
// Built, and its weights read, before anything is written: a broken
// weights file then leaves nothing behind.
std::optional<SpectralSSMEncoder> build_encoder(const Options& o, const Bundle& bundle, const torch::Device& device) {
  if (!o.ssm_load && !bundle.ssm_state) return std::nullopt;
  SpectralSSMEncoder encoder(SpectralSSMEncoderOptions().d_model(bundle.d_model).d_state(bundle.d_state));
  encoder->to(device);
  if (o.ssm_load)
    load_state_dict_file_into(*encoder, *o.ssm_load);
  else
    load_state_dict(*encoder, *bundle.ssm_state);
  encoder->eval();
  for (auto& p : encoder->parameters()) p.set_requires_grad(false);
  return encoder;
}

// Says where a hybrid or soft run's encoder comes from, or that the run
// falls back to forest routing (false).
bool announce_encoder(const Options& o, const Bundle& bundle) {
  if (o.ssm_load) {
    std::cout << "Loading SSM encoder from " << *o.ssm_load << " ..." << std::endl;
  } else if (bundle.ssm_state) {
    std::cout << "Loading SSM encoder from checkpoint ..." << std::endl;
  } else {
    std::cout << "WARNING: No SSM weights found. Falling back to ensemble routing." << std::endl;
    return false;
  }
  return true;
}

// The split to score: each value given on the command line wins, the
// bundle's record fills the rest, the defaults stand in for bundles without one.
// A given value that differs from the record is warned about: the tree may
// have been trained on pixels that are then scored.
void resolve_split(Options& o, const SplitRecord& r) {
  auto settle = [&](const char* option, const std::optional<std::string>& given, double& value, double recorded) {
    if (!given) {
      value = recorded;
    } else if (value != recorded) {
      std::cout << "WARNING: " << option << " " << *given << " differs from the " << py_float(recorded)
                << " recorded in the bundle; the test pixels may include pixels the tree was trained on." << std::endl;
    }
  };
  settle("--train_ratio", o.given_train_ratio, o.train_ratio, r.train_ratio);
  settle("--val_ratio", o.given_val_ratio, o.val_ratio, r.val_ratio);
  if (!o.given_seed) {
    o.seed = r.seed;
  } else if (o.seed != r.seed) {
    std::cout << "WARNING: --seed " << *o.given_seed << " differs from the " << r.seed
              << " recorded in the bundle; the test pixels may include pixels the tree was trained on." << std::endl;
  }
}

// The labelled class ids of the whole label map.
std::vector<int64_t> labelled_classes(const torch::Tensor& labels) {
  const torch::Tensor ids = std::get<0>(torch::_unique(labels.masked_select(labels.gt(0))));
  const torch::Tensor cpu = ids.to(torch::kCPU, torch::kLong).contiguous();
  return std::vector<int64_t>(cpu.data_ptr<int64_t>(), cpu.data_ptr<int64_t>() + cpu.numel());
}

int main_flow(Options o) {
  // Paths are checked before anything is read: a folder given as the bundle
  // would otherwise fail only after the cube has been loaded.
  cli::check_input_file("--model", o.model);
  if (o.ssm_load) cli::check_input_file("--ssm_load", *o.ssm_load);
  cli::check_output_folder("--out-dir", o.out_dir);
  display::print_predict_start();
  const torch::Device device = compat::default_device();
  display::print_config_box("LUMORA Predict", {{"Device", device_description(device)},
                                               {"Model", o.model},
                                               {"Data", o.data},
                                               {"Routing", o.routing}});
  // The bundle comes first: it records the split to score.
  std::cout << "\nLoading models from " << o.model << " ..." << std::endl;
  const Bundle bundle = load_bundle(o.model);
  std::cout << "Models loaded." << std::endl;
  if (bundle.split) resolve_split(o, *bundle.split);

  HyperspectralDataset test_ds(HyperspectralDatasetOptions(o.data, o.gt)
                                   .split("test")
                                   .train_ratio(o.train_ratio)
                                   .val_ratio(o.val_ratio)
                                   .seed(o.seed));
  check_scene_fits(bundle.tree, bundle.trained_models, test_ds.num_bands, labelled_classes(test_ds.labels), o.data,
                   o.gt, o.model);
  cli::check_test_pixels(test_ds.coords.size(0), o.train_ratio, o.val_ratio, o.gt);
  // Scored over the bundle's classes: a prediction of a class this scene
  // lacks is an error, not a pixel outside the scores.
  const int64_t num_classes = tree_class_count(bundle.tree);
  std::optional<SpectralSSMEncoder> encoder =
      o.routing == "forest" ? std::nullopt : build_encoder(o, bundle, device);
  make_dirs(o.out_dir);

  const std::vector<std::string> routings =
      o.routing == "all" ? std::vector<std::string>{"forest", "hybrid", "soft"} : std::vector<std::string>{o.routing};
  const auto overall = std::chrono::steady_clock::now();
  // Every run evaluates the same ensembles on the same scene: evaluate each
  // node once and let later runs reuse its probabilities.
  NodeProbCache node_probs;
  const torch::Tensor eval = eval_labels(test_ds.labels, test_ds.split_mask);

  for (std::string routing : routings) {
    std::cout << "\n=== Running Cascade Inference (routing=" << routing << ") ===" << std::endl;
    bool with_encoder = false;
    if (routing == "hybrid" || routing == "soft") {
      with_encoder = announce_encoder(o, bundle);
      if (!with_encoder) routing = "forest";
    } else {
      std::cout << "Forest-only routing — SSM encoder not needed." << std::endl;
    }
    const auto start = std::chrono::steady_clock::now();
    const torch::Tensor final_pred = run_inference(bundle.tree, bundle.trained_models, test_ds.data,
                                                   with_encoder ? &*encoder : nullptr, device, num_classes, routing,
                                                   &node_probs);
    std::cout << fmt::format("  Inference complete in {:.1f}s", seconds_since(start)) << std::endl;

    const RsspMetrics m = compute_rssp_metrics(final_pred, eval, num_classes);
    display::print_results_box(m.scores.labelled(), routing);
    std::map<int64_t, int64_t> pixel_counts;
    for (const auto& [cls, iou] : m.per_class_ious) pixel_counts[cls] = eval.eq(cls).sum().item<int64_t>();
    display::print_per_class_iou(m.per_class_ious, pixel_counts);

    const std::string results_path = path_join(o.out_dir, "test_results_" + routing + ".csv");
    const std::string report_path = path_join(o.out_dir, "class_report_" + routing + ".csv");
    write_scores_csv(results_path,
                     {"routing", "test_oa", "test_miou", "test_dice", "test_precision", "test_recall", "test_aa",
                      "test_kappa"},
                     routing, m.scores);
    write_class_report(report_path, final_pred, eval, num_classes, m.per_class_ious);
    print_saved(results_path);
    print_saved(report_path);
  }
  std::cout << "\n  " << display::GRAY << fmt::format("Total predict time: {:.1f}s", seconds_since(overall))
            << display::RESET << std::endl;
  display::print_training_done();
  return 0;
}

}  // namespace

int run(int argc, char** argv) {
  prepare_process();
  Options o;
  auto app = cli::make_app("LUMORA — Standalone Inference", "lumora-predict");
  app->add_option("--data", o.data)->required();
  app->add_option("--gt", o.gt)->required();
  app->add_option("--model", o.model, "Path to spt_models.pkl")->required();
  app->add_option("--ssm_load", o.ssm_load);
  CLI::Option* train_ratio = app->add_option("--train_ratio", o.train_ratio)->check(cli::fraction());
  CLI::Option* val_ratio = app->add_option("--val_ratio", o.val_ratio)->check(cli::fraction());
  CLI::Option* seed = app->add_option("--seed", o.seed);
  app->add_option("--routing", o.routing)
      ->check(CLI::IsMember({"hybrid", "forest", "soft", "all"}))
      ->type_name("{hybrid,forest,soft,all}");
  app->add_option("--out-dir", o.out_dir);
  if (auto status = cli::parse(*app, argc, argv)) return *status;
  if (train_ratio->count() > 0) o.given_train_ratio = train_ratio->as<std::string>();
  if (val_ratio->count() > 0) o.given_val_ratio = val_ratio->as<std::string>();
  if (seed->count() > 0) o.given_seed = seed->as<std::string>();
  return cli::guarded([&] { return main_flow(o); });
}

}  // namespace lumora::commands::predict
