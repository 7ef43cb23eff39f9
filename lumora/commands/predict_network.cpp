#include "lumora/commands/predict_network.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <torch/torch.h>

#include <chrono>
#include <iostream>
#include <set>
#include <type_traits>

#include "lumora/commands/cli.h"
#include "lumora/commands/predict_scene.h"
#include "lumora/commands/run_outputs.h"
#include "lumora/commands/tree_reports.h"
#include "lumora/core/atomic_file.h"
#include "lumora/core/elapsed.h"
#include "lumora/core/errors.h"
#include "lumora/core/format.h"
#include "lumora/core/paths.h"
#include "lumora/core/state_dict.h"
#include "lumora/core/torch_compat.h"
#include "lumora/datasets/cubeset.h"
#include "lumora/models/cubeseg.h"
#include "lumora/models/network_record.h"
#include "lumora/rssp/tree_metrics.h"
#include "lumora/utils/display.h"

namespace lumora::commands {
namespace {

void check_scene(const PredictScene& scene, const NetworkRecord& r, const NetworkPredictOptions& o) {
  if (scene.bands != r.num_bands)
    throw ValueError(fmt::format("the cube in '{}' has {} bands but the network '{}' was trained on {} bands", o.data,
                                 scene.bands, o.model, r.num_bands));
  std::set<int64_t> unknown;
  for (int64_t id : scene.classes)
    if (id >= r.num_classes) unknown.insert(id);
  if (!unknown.empty())
    throw ValueError(fmt::format("the label map in '{}' holds class {} {} that the network '{}' does not know (its "
                                 "classes: 1 to {})",
                                 o.gt.value_or(""), unknown.size() == 1 ? "id" : "ids", fmt::join(unknown, ", "), o.model,
                                 r.num_classes - 1));
}

std::string f4(double v) { return fmt::format("{:.4f}", v); }

// The scores in lumora-train's own layout, so that both files compare.
void write_network_results(const std::string& path, int64_t best_epoch, const Scores& s) {
  std::string text = "best_epoch,test_oa,test_miou,test_dice,test_precision,test_recall,test_aa,test_kappa\r\n";
  text += std::to_string(best_epoch);
  for (double v : {s.oa, s.miou, s.dice, s.precision, s.recall, s.aa, s.kappa}) text += "," + f4(v);
  text += "\r\n";
  write_text_file(path, text);
}

}  // namespace

int predict_network(const NetworkPredictOptions& o) {
  const auto overall = std::chrono::steady_clock::now();
  cli::check_output_folder("--out-dir", o.out_dir);
  display::print_predict_start();
  const torch::Device device = compat::default_device();
  display::print_config_box("LUMORA Predict", {{"Device", device_description(device)},
                                               {"Model", o.model},
                                               {"Data", o.data},
                                               {"Routing", "not applicable (single network)"}});
  if (o.routing_given)
    std::cout << "Note: --routing applies to class trees only; this model is a single network." << std::endl;
  if (o.ssm_load_given)
    std::cout << "Note: --ssm_load applies to class trees only; this model is a single network." << std::endl;

  std::cout << "\nLoading network from " << o.model << " ..." << std::endl;
  const NetworkRecord r = load_network_record(o.record);
  HyperspectralNet net(HyperspectralNetOptions(r).use_fp16(r.fp16).spectral_support(r.spectral_support));
  load_state_dict_file_into(*net, o.model);
  net->to(device);
  net->eval();
  std::cout << "Network loaded (" << r.num_bands << " bands, classes 1 to " << r.num_classes - 1
            << ", side file " << o.record << ")." << std::endl;

  // The split recorded beside the network, with what the command line changes.
  const SplitProtocol split = cli::settle_protocol(r.split, *o.split_args, o.seed, o.seed_given, "beside the network",
                                                   "it was", std::cout);
  // A split of given maps scores on its own test map, --gt or not.
  const bool scored = o.gt || (split.mode == SplitMode::given && split.test_gt);
  PredictSceneOptions so;
  so.data = o.data;
  if (scored) so.gt = o.gt.value_or("");
  so.split = split;
  so.min_max = r.normalisation == "min_max";
  so.tiling = o.tiling;
  const PredictScene scene(so);
  check_scene(scene, r, o);
  if (scored) cli::check_test_pixels(scene.test_pixels, split, o.gt.value_or(""));
  std::vector<std::string> names = r.class_names;
  if (o.maps.class_names) names = class_names_of(o.maps, r.num_classes - 1);
  make_dirs(o.out_dir);
  std::optional<maps::MapSet> map_set =
      open_maps(o.maps, o.out_dir, o.data, r.num_classes, names, scene.bands, scene.height, scene.width);
  const std::string tiles = tiling_text(o.tiling, scene.height, scene.width, r.num_blocks);
  if (!tiles.empty()) std::cout << tiles << std::endl;

  const auto start = std::chrono::steady_clock::now();
  std::cout << "\n=== Running Network Inference ===" << std::endl;
  torch::Tensor logits;
  {
    torch::NoGradGuard no_grad;
    compat::Autocast autocast(r.fp16);  // as lumora-train tested it
    logits = network_logits(*net, scene.windows(), scene.height, scene.width, device, o.tiling);
    // Only classes training saw may win: never 0, never an id the scene lacks.
    logits = restrict_to_classes(logits, predictable_classes(r));
  }
  const torch::Tensor pred = logits.argmax(1).squeeze(0).to(torch::kInt64);
  std::cout << fmt::format("  Inference complete in {:.1f}s", seconds_since(start)) << std::endl;

  if (scored) {
    const torch::Tensor eval = eval_labels(scene.labels, scene.test_mask);
    const RsspMetrics m = compute_rssp_metrics(pred, eval, r.num_classes);
    display::print_results_box(m.scores.labelled());
    std::map<int64_t, int64_t> pixel_counts;
    for (const auto& [cls, iou] : m.per_class_ious) pixel_counts[cls] = eval.eq(cls).sum().item<int64_t>();
    display::print_per_class_iou(m.per_class_ious, pixel_counts);
    const std::string results_path = path_join(o.out_dir, "test_results.csv");
    const std::string report_path = path_join(o.out_dir, "class_report.csv");
    write_network_results(results_path, r.best_epoch, m.scores);
    write_class_report(report_path, pred, eval, r.num_classes, m.per_class_ious);
    print_saved(results_path);
    print_saved(report_path);
  } else {
    std::vector<int64_t> classes;
    for (int64_t k = 1; k < r.num_classes; ++k) classes.push_back(k);
    report_class_counts(path_join(o.out_dir, "class_counts.csv"), "Predicted pixels per class", pred, classes,
                        names);
  }
  if (map_set) {
    std::cout << std::endl;
    print_saved_paths(map_set->prediction("", pred));
    if (o.maps.probs) print_saved_paths(map_set->probabilities("", torch::softmax(logits, 1).squeeze(0)));
    if (scored) {
      print_saved_paths(map_set->errors("", pred, scene.labels, scene.test_mask));
      print_saved_paths(map_set->truth(scene.labels));
    }
    print_saved_paths(
        map_set->scene(scene.bands, [&](const std::vector<int64_t>& which) { return scene.band_planes(which); }));
    print_saved_paths(map_set->legend());
  }
  std::cout << "\n  " << display::GRAY << fmt::format("Total predict time: {:.1f}s", seconds_since(overall))
            << display::RESET << std::endl;
  display::print_training_done();
  return 0;
}

}  // namespace lumora::commands
