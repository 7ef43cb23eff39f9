// Quality check of the fingerprint encoder on the bundled sample scene:
// pre-trains it for 100 epochs (seed 42, the default 20 % / 10 % split),
// encodes the scene, and trains a router for a root split of the classes
// into two groups of spectrally similar classes (the exact 2-means grouping
// of the class mean spectra). Prints the operations' own lines, then one
// JSON line with both validation accuracies.
//
//   ssm_sample [DATA_MAT GT_MAT] [--epochs N]     (default: data/sample/*.mat under the current folder)
#include <chrono>
#include <cstdio>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#include <torch/torch.h>

#include "lumora/commands/training_console.h"
#include "lumora/core/process.h"
#include "lumora/core/torch_compat.h"
#include "lumora/datasets/cubeset.h"
#include "lumora/models/bandscan.h"
#include "lumora/rssp/gatehead.h"
#include "lumora/rssp/warmstart.h"

namespace {

// The split of classes 1..K into two non-empty groups with the least
// within-group scatter of the class mean spectra.
std::pair<std::vector<int64_t>, std::vector<int64_t>> root_split(const torch::Tensor& data,
                                                                 const torch::Tensor& labels, int64_t k) {
  const auto flat = data.view({data.size(0), -1}).t();  // (H*W, C)
  const auto lab = labels.view(-1);
  std::vector<torch::Tensor> means;
  for (int64_t c = 1; c <= k; ++c) means.push_back(flat.index({lab == c}).mean(0));
  const auto m = torch::stack(means);
  double best = std::numeric_limits<double>::infinity();
  std::pair<std::vector<int64_t>, std::vector<int64_t>> out;
  for (int64_t mask = 1; mask < (int64_t{1} << (k - 1)); ++mask) {  // class k stays right: each split once
    std::vector<int64_t> left, right;
    for (int64_t c = 1; c <= k; ++c) ((mask >> (c - 1)) & 1 ? left : right).push_back(c);
    double scatter = 0.0;
    for (const auto* g : {&left, &right}) {
      const auto idx = torch::tensor(*g) - 1;
      const auto gm = m.index_select(0, idx);
      scatter += (gm - gm.mean(0, true)).pow(2).sum().item<double>();
    }
    if (scatter < best) {
      best = scatter;
      out = {left, right};
    }
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  lumora::prepare_process();
  std::string data_path = "data/sample/data.mat";  // run from the checkout's root, or pass both paths
  std::string gt_path = "data/sample/gt.mat";
  int64_t epochs = 100;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--epochs" && i + 1 < argc) epochs = std::stoll(argv[++i]);
    else positional.push_back(a);
  }
  if (positional.size() == 2) {
    data_path = positional[0];
    gt_path = positional[1];
  }
  const torch::Device device = lumora::compat::default_device();

  torch::manual_seed(42);
  const lumora::LabelledScene ds(lumora::SceneOptions(data_path, gt_path));
  lumora::commands::PretrainConsole console;
  const auto t0 = std::chrono::steady_clock::now();
  const std::string save = "/tmp/lumora_ssm_sample.pt";
  auto encoder = lumora::pretrain_ssm(ds.data, ds.labels, ds.train_coords, ds.val_coords,
                                      lumora::PretrainSSMOptions().epochs(epochs).device(device).save_path(save).observer(
                                          &console));
  const double pretrain_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::remove(save.c_str());

  // The pre-training's best validation accuracy is in its closing line above.
  for (auto& p : encoder->parameters()) p.requires_grad_(false);
  const auto fp_map = lumora::fingerprint_map(encoder, ds.data, device);

  const int64_t k = ds.num_classes - 1;
  const auto [left, right] = root_split(ds.data, ds.labels, k);
  std::vector<int64_t> all_classes = left;
  all_classes.insert(all_classes.end(), right.begin(), right.end());
  const lumora::TreeNode root(all_classes, lumora::TreeNode(left), lumora::TreeNode(right));
  auto list = [](const std::vector<int64_t>& v) {
    std::string s;
    for (int64_t c : v) s += (s.empty() ? "" : ", ") + std::to_string(c);
    return "[" + s + "]";
  };
  std::cout << "\nRoot split: left " << list(left) << " | right " << list(right) << std::endl;
  auto router = lumora::train_router(root, ds.labels, ds.train_coords, ds.val_coords, fp_map,
                                     lumora::TrainRouterOptions().device(device));
  const double router_val = router ? router->summary.val_acc.value_or(0.0) : 0.0;
  std::cout << "{\"pretrain_epochs\": " << epochs << ", \"pretrain_s\": " << pretrain_s
            << ", \"router_trained\": " << (router ? "true" : "false") << ", \"router_best_val_acc\": " << router_val
            << "}" << std::endl;
  return 0;
}
