#include "lumora/commands/predict.h"

#include <fmt/format.h>
#include <torch/torch.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>

#include "lumora/commands/cli.h"
#include "lumora/commands/split_options.h"
#include "lumora/commands/predict_network.h"
#include "lumora/commands/predict_scene.h"
#include "lumora/commands/run_outputs.h"
#include "lumora/commands/tree_reports.h"
#include "lumora/core/elapsed.h"
#include "lumora/core/errors.h"
#include "lumora/core/format.h"
#include "lumora/core/paths.h"
#include "lumora/core/stop_signal.h"
#include "lumora/core/process.h"
#include "lumora/core/state_dict.h"
#include "lumora/core/torch_compat.h"
#include "lumora/datasets/cubeset.h"
#include "lumora/maps/class_names.h"
#include "lumora/models/bandscan.h"
#include "lumora/models/network_record.h"
#include "lumora/rssp/bundle.h"
#include "lumora/rssp/cascader.h"
#include "lumora/rssp/tiled_cascade.h"
#include "lumora/utils/display.h"

namespace lumora::commands::predict {
namespace {

struct Options {
  std::string data, gt, model;
  bool has_gt = false;  // without a label map nothing is scored
  std::optional<std::string> ssm_load;
  // The split options as typed: a bundle's recorded split fills the others.
  cli::SplitArgs split_args;
  int64_t seed = 42;
  bool seed_given = false;
  SplitProtocol split;  // the split to score
  std::string routing = "all";
  bool routing_given = false;
  std::string out_dir = ".";
  MapRequest maps;
  TileOptions tiling;
};

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
// bundle's record fills the rest, the defaults stand in for bundles without
// one. A given value that differs from the record is warned about: the tree
// may have been trained on pixels that are then scored.
void resolve_split(Options& o, const std::optional<SplitProtocol>& recorded) {
  if (!recorded) return;
  o.split = cli::settle_protocol(*recorded, o.split_args, o.seed, o.seed_given, "in the bundle", "the tree was",
                                 std::cout);
}

// The bundle at `path`. A file of network weights whose side file is
// missing fails saying so, instead of as a malformed bundle.
Bundle load_bundle_or_explain(const std::string& path) {
  try {
    return load_bundle(path);
  } catch (const Error&) {
    bool weights = false;
    try {
      weights = !load_state_dict_file(path).empty();
    } catch (const std::exception&) {
    }
    if (!weights) throw;
    throw ValueError("'" + path + "' holds the weights of a single network, but its side file '" +
                     network_record_path(path) + "' (written by lumora-train beside them) is missing");
  }
}

// The maps of one routing mode's prediction.
void write_routing_maps(maps::MapSet& map_set, const Options& o, const std::string& routing,
                        const PredictScene& scene, const torch::Tensor& pred, const torch::Tensor& distribution) {
  const std::string suffix = "_" + routing;
  print_saved_paths(map_set.prediction(suffix, pred));
  if (o.maps.probs) print_saved_paths(map_set.probabilities(suffix, distribution));
  if (scene.labels.defined()) print_saved_paths(map_set.errors(suffix, pred, scene.labels, scene.test_mask));
}

std::vector<Routing> modes_asked(const Options& o) {
  return o.routing == "all" ? std::vector<Routing>{Routing::forest, Routing::hybrid, Routing::soft}
                            : std::vector<Routing>{parse_routing(o.routing)};
}

// Prints a mode's heading and where its encoder comes from; the mode that
// runs: "forest" in place of one that needs an encoder the bundle lacks.
Routing announce_mode(const Options& o, const Bundle& bundle, Routing routing) {
  std::cout << "\n=== Running Cascade Inference (routing=" << routing_name(routing) << ") ===" << std::endl;
  if (routing == Routing::forest) {
    std::cout << "Forest-only routing — SSM encoder not needed." << std::endl;
    return routing;
  }
  return announce_encoder(o, bundle) ? routing : Routing::forest;
}

// Scores (with a label map) or pixel counts (without) of one mode's
// prediction, and its maps.
void report_mode(const Options& o, const Bundle& bundle, const PredictScene& scene, const torch::Tensor& eval,
                 std::optional<maps::MapSet>& map_set, Routing routing, const torch::Tensor& final_pred,
                 const torch::Tensor& distribution, const std::vector<std::string>& names) {
  const std::string name = routing_name(routing);
  const int64_t num_classes = tree_class_count(bundle.tree);
  if (!o.has_gt) {
    std::vector<int64_t> classes = bundle.tree.classes;
    std::sort(classes.begin(), classes.end());
    report_class_counts(path_join(o.out_dir, "class_counts_" + name + ".csv"),
                        "Predicted pixels per class (routing=" + name + ")", final_pred, classes, names);
    if (map_set) write_routing_maps(*map_set, o, name, scene, final_pred, distribution);
    return;
  }
  const RsspMetrics m = compute_rssp_metrics(final_pred, eval, num_classes);
  display::print_results_box(m.scores.labelled(), name);
  std::map<int64_t, int64_t> pixel_counts;
  for (const auto& [cls, iou] : m.per_class_ious) pixel_counts[cls] = eval.eq(cls).sum().item<int64_t>();
  display::print_per_class_iou(m.per_class_ious, pixel_counts);

  const std::string results_path = path_join(o.out_dir, "test_results_" + name + ".csv");
  const std::string report_path = path_join(o.out_dir, "class_report_" + name + ".csv");
  write_scores_csv(results_path,
                   {"routing", "test_oa", "test_miou", "test_dice", "test_precision", "test_recall", "test_aa",
                    "test_kappa"},
                   name, m.scores);
  write_class_report(report_path, final_pred, eval, num_classes, m.per_class_ious);
  print_saved(results_path);
  print_saved(report_path);
  if (map_set) write_routing_maps(*map_set, o, name, scene, final_pred, distribution);
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
  const Bundle bundle = load_bundle_or_explain(o.model);
  std::cout << "Models loaded." << std::endl;
  resolve_split(o, bundle.split);
  // A split of given maps scores on its own test map, --gt or not.
  o.has_gt = o.has_gt || (o.split.mode == SplitMode::given && o.split.test_gt);

  PredictSceneOptions so;
  so.data = o.data;
  if (o.has_gt) so.gt = o.gt;
  so.split = o.split;
  so.tiling = o.tiling;
  const PredictScene scene(so);
  check_scene_fits(bundle.tree, bundle.trained_models, scene.bands, scene.classes, o.data, o.gt, o.model);
  if (o.has_gt) cli::check_test_pixels(scene.test_pixels, o.split, o.gt);
  // Scored over the bundle's classes: a prediction of a class this scene
  // lacks is an error, not a pixel outside the scores.
  const int64_t num_classes = tree_class_count(bundle.tree);
  std::optional<SpectralSSMEncoder> encoder =
      o.routing == "forest" ? std::nullopt : build_encoder(o, bundle, device);
  const std::vector<std::string> names = class_names_of(o.maps, num_classes - 1);
  make_dirs(o.out_dir);
  std::optional<maps::MapSet> map_set =
      open_maps(o.maps, o.out_dir, o.data, num_classes, names, scene.bands, scene.height, scene.width);
  const NodeEntry* root = bundle.trained_models.find(kRootId);
  const std::string tiles = tiling_text(o.tiling, scene.height, scene.width,
                                        root && !root->forests.empty() ? root->forests.front().num_blocks : 3);
  if (!tiles.empty()) std::cout << tiles << std::endl;

  CascadeConsole console;
  const auto overall = std::chrono::steady_clock::now();
  const torch::Tensor eval = o.has_gt ? eval_labels(scene.labels, scene.test_mask) : torch::Tensor();
  SpectralSSMEncoder* encoder_ptr = encoder ? &*encoder : nullptr;
  if (scene.tiled()) {
    // Tile by tile, every mode at once: each window is read and each
    // ensemble run on it once.
    std::vector<Routing> modes;
    for (Routing asked : modes_asked(o)) modes.push_back(announce_mode(o, bundle, asked));
    const auto start = std::chrono::steady_clock::now();
    std::cout << "\n=== Predicting tile by tile ===" << std::endl;
    const std::vector<RoutedPrediction> results =
        tiled_cascade(bundle.tree, bundle.trained_models, scene.windows(), scene.height, scene.width, encoder_ptr,
                      device, num_classes, modes,
                      TiledCascadeOptions().tiling(o.tiling).keep_distributions(o.maps.probs).observer(&console));
    std::cout << fmt::format("  Inference complete in {:.1f}s", seconds_since(start)) << std::endl;
    for (size_t i = 0; i < modes.size(); ++i) {
      std::cout << "\n=== Results (routing=" << routing_name(modes[i]) << ") ===" << std::endl;
      report_mode(o, bundle, scene, eval, map_set, modes[i], results[i].labels.to(torch::kInt64),
                  results[i].distribution, names);
    }
  } else {
    // Every run evaluates the same ensembles on the same scene: evaluate each
    // node once and let later runs reuse its probabilities.
    NodeProbCache node_probs;
    for (Routing asked : modes_asked(o)) {
      const Routing routing = announce_mode(o, bundle, asked);
      const auto start = std::chrono::steady_clock::now();
      // The arg-max of the distribution is run_inference's label map.
      const torch::Tensor distribution =
          cascade_distribution(bundle.tree, bundle.trained_models, scene.cube(),
                               routing == Routing::forest ? nullptr : encoder_ptr,
                               device, num_classes, routing, &node_probs, TileOptions(), &console);
      const torch::Tensor final_pred = distribution.argmax(0).to(torch::kInt64);
      std::cout << fmt::format("  Inference complete in {:.1f}s", seconds_since(start)) << std::endl;
      report_mode(o, bundle, scene, eval, map_set, routing, final_pred, distribution, names);
    }
  }
  if (map_set) {
    std::cout << std::endl;
    if (scene.labels.defined()) print_saved_paths(map_set->truth(scene.labels));
    print_saved_paths(
        map_set->scene(scene.bands, [&](const std::vector<int64_t>& which) { return scene.band_planes(which); }));
    print_saved_paths(map_set->legend());
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
  CLI::Option* gt = app->add_option("--gt", o.gt);
  app->add_option("--model", o.model, "Path to spt_models.pkl")->required();
  app->add_option("--ssm_load", o.ssm_load);
  cli::add_split_options(*app, o.split_args, /*described=*/false, nullptr);
  CLI::Option* seed = app->add_option("--seed", o.seed);
  CLI::Option* routing = app->add_option("--routing", o.routing)
                             ->check(CLI::IsMember({"hybrid", "forest", "soft", "all"}))
                             ->type_name("{hybrid,forest,soft,all}");
  app->add_option("--out-dir", o.out_dir);
  add_map_options(*app, o.maps, /*probs=*/true);
  int64_t tile = 0, overlap = -1;
  app->add_option("--tile", tile,
                  "Predict tile by tile, N x N pixels each (rounded up to a multiple of 16); default: the whole "
                  "scene at once")
      ->check(cli::at_least(16));
  app->add_option("--tile-overlap", overlap,
                  "Margin read around each tile, in pixels (rounded up to a multiple of 16); default: the "
                  "network's receptive field, 112 pixels for 3 spectral blocks")
      ->check(cli::at_least(0));
  if (auto status = cli::parse(*app, argc, argv)) return *status;
  o.has_gt = gt->count() > 0;
  o.routing_given = routing->count() > 0;
  o.tiling = TileOptions().tile(tile).overlap(overlap);
  o.seed_given = seed->count() > 0;
  o.split = cli::parsed_protocol(o.split_args, o.seed);
  return cli::guarded([&] {
    StopWindow stops;  // SIGTERM and SIGINT stop between tiles
    // A single network is recognised by the side file lumora-train writes beside its weights.
    const std::string record = network_record_path(o.model);
    if (file_exists(record) && !std::filesystem::is_directory(o.model)) {
      NetworkPredictOptions n;
      n.data = o.data;
      if (o.has_gt) n.gt = o.gt;
      n.model = o.model;
      n.record = record;
      n.split_args = &o.split_args;
      n.seed = o.seed;
      n.seed_given = o.seed_given;
      n.routing_given = o.routing_given;
      n.ssm_load_given = o.ssm_load.has_value();
      n.out_dir = o.out_dir;
      n.maps = o.maps;
      n.tiling = o.tiling;
      return predict_network(n);
    }
    return main_flow(o);
  });
}

}  // namespace lumora::commands::predict
