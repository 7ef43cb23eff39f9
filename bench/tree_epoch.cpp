// The class tree of a scene and the cost of one ensemble member's epoch.
//
// Loads a scene with the dataset loader (default: the bundled sample), builds
// and prints its class tree ("auto" depth unless --depth says otherwise), then
// trains one member of the root node with train_node and the given network
// sizes (treefit's defaults: base_filters 32, num_filters 8, num_blocks 3) and
// reports the median seconds between consecutive training epochs (validation
// epochs left out) as one JSON line.
//
//   tree_epoch [--data PATH] [--gt PATH] [--depth auto] [--epochs 8]
//              [--base_filters 32] [--num_filters 8] [--num_blocks 3] [--verbose 1]
#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <torch/torch.h>

#include "lumora/commands/training_console.h"
#include "lumora/core/process.h"
#include "lumora/core/torch_compat.h"
#include "lumora/datasets/cubeset.h"
#include "lumora/rssp/nodefit.h"
#include "lumora/rssp/sam_clustering.h"

int main(int argc, char** argv) {
  lumora::prepare_process();
  std::string data = "data/sample/data.mat";  // run from the repository root
  std::string gt = "data/sample/gt.mat";
  std::string depth = "auto";
  int64_t epochs = 8, base_filters = 32, num_filters = 8, num_blocks = 3, verbose = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i], v = argv[i + 1];
    if (a == "--data") data = v;
    else if (a == "--gt") gt = v;
    else if (a == "--depth") depth = v;
    else if (a == "--epochs") epochs = std::stoll(v);
    else if (a == "--base_filters") base_filters = std::stoll(v);
    else if (a == "--num_filters") num_filters = std::stoll(v);
    else if (a == "--num_blocks") num_blocks = std::stoll(v);
    else if (a == "--verbose") verbose = std::stoll(v);
    else if (a == "--threads") torch::set_num_threads(static_cast<int>(std::stoll(v)));
    else if (a == "--flush_denormal") torch::globalContext().setFlushDenormal(std::stoll(v) != 0);
  }
  const torch::Device device = lumora::compat::default_device();

  const lumora::LabelledScene scene(lumora::SceneOptions(data, gt));
  const lumora::RsspTree built = lumora::build_rssp_tree(scene.data, scene.labels, scene.num_classes, depth);
  std::cout << lumora::tree_text(built.tree);

  lumora::NetworkSizes sizes;
  sizes.base_filters = base_filters;
  sizes.num_filters = num_filters;
  sizes.num_blocks = num_blocks;
  // The end of every epoch, and node training's lines only when asked for.
  struct Stamps : lumora::commands::NodeTrainingConsole {
    using NodeTrainingConsole::NodeTrainingConsole;
    bool verbose = false;
    std::vector<double> at;
    void on_node_start(const lumora::NodeStart& n) override {
      if (verbose) NodeTrainingConsole::on_node_start(n);
    }
    void on_member_start(const lumora::MemberStart& m) override {
      if (verbose) NodeTrainingConsole::on_member_start(m);
    }
    void on_member_epoch(const lumora::MemberStart& m, const lumora::EpochReport& r) override {
      at.push_back(lumora::wall_time());
      if (verbose) NodeTrainingConsole::on_member_epoch(m, r);
    }
    void on_member_done(const lumora::MemberDone& d) override {
      if (verbose) NodeTrainingConsole::on_member_done(d);
    }
    void on_node_done(const lumora::NodeDone& d) override {
      if (verbose) NodeTrainingConsole::on_node_done(d);
    }
  } stamps_seen(50);
  stamps_seen.verbose = verbose != 0;
  auto options = lumora::TrainNodeOptions()
                     .device(device)
                     .base_epochs(epochs)
                     .num_forests(1)
                     .leaf_forests(1)
                     .sizes(sizes)
                     .val_interval(epochs + 1)  // only the last epoch validates
                     .observer(&stamps_seen);
  const double t0 = lumora::wall_time();
  lumora::train_node(built.tree, scene.data, scene.labels, scene.num_classes - 1, scene.train_coords,
                     scene.val_coords, std::nullopt, options);
  const std::vector<double>& stamps = stamps_seen.at;
  std::vector<double> per_epoch;
  // stamps[i] ends epoch i + 1; epoch 1 (allocator warm-up) and the last
  // (validation) are left out.
  for (size_t i = 1; i + 1 < stamps.size(); ++i) per_epoch.push_back(stamps[i] - stamps[i - 1]);
  std::string listed;
  for (double t : per_epoch) listed += (listed.empty() ? "" : ", ") + fmt::format("{:.3f}", t);
  std::sort(per_epoch.begin(), per_epoch.end());
  const double median = per_epoch.empty() ? 0.0 : per_epoch[per_epoch.size() / 2];
  std::cout << fmt::format(
                   "{{\"device\": \"{}\", \"threads\": {}, \"bands\": {}, \"height\": {}, \"width\": {}, "
                   "\"base_filters\": {}, \"num_filters\": {}, \"num_blocks\": {}, \"epoch_seconds_median\": {:.4f}, "
                   "\"epoch_seconds\": [{}], \"first_epoch_seconds\": {:.4f}, \"total_seconds\": {:.2f}}}",
                   device.is_cuda() ? "cuda" : "cpu", torch::get_num_threads(), scene.data.size(0), scene.data.size(1),
                   scene.data.size(2), base_filters, num_filters, num_blocks, median, listed,
                   stamps.empty() ? 0.0 : stamps[0] - t0, lumora::wall_time() - t0)
            << std::endl;
  return 0;
}
