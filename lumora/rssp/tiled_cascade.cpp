#include "lumora/rssp/tiled_cascade.h"

#include <torch/torch.h>

#include <algorithm>
#include <set>
#include <string>

#include "lumora/core/elapsed.h"
#include "lumora/core/errors.h"
#include "lumora/core/stop_signal.h"
#include "lumora/core/torch_compat.h"
#include "lumora/models/cubeseg.h"

namespace lumora {
namespace {

// One ensemble member, loaded once for the whole scene, with its scene gate.
struct Member {
  HyperspectralNet net;
  torch::Tensor gate;
};

struct NodeNetworks {
  std::string id;
  const NodeEntry* entry;
  std::vector<Member> members;
};

std::vector<NodeNetworks> load_networks(const TrainedModels& trained_models, const torch::Device& device) {
  std::vector<NodeNetworks> nodes;
  for (const auto& [id, entry] : trained_models) {
    if (entry.forests.empty()) throw ValueError("node entry has no forests");
    NodeNetworks node{id, &entry, {}};
    for (const ForestEntry& fi : entry.forests) node.members.push_back({member_network(fi, device), torch::Tensor()});
    nodes.push_back(std::move(node));
  }
  return nodes;
}

int64_t deepest_stack(const TrainedModels& trained_models) {
  int64_t blocks = 0;
  for (const auto& [id, entry] : trained_models)
    for (const ForestEntry& fi : entry.forests) blocks = std::max(blocks, fi.num_blocks);
  return blocks;
}

// A node's global probabilities on one window, as get_global_soft_probs
// gives them for the whole scene.
torch::Tensor window_probs(NodeNetworks& node, const torch::Tensor& window, int64_t num_global_classes) {
  torch::Tensor sum;
  for (Member& m : node.members) {
    const torch::Tensor probs = torch::softmax(gated_logits(*m.net, window, m.gate).to(torch::kCPU, torch::kFloat32), 1);
    sum = sum.defined() ? sum + probs : probs;
  }
  return in_global_columns(sum / static_cast<double>(node.members.size()), node.entry->forests.front(),
                           num_global_classes);
}

// Tells the observer of each node without a router once, not once per tile.
class OncePerNode : public CascadeObserver {
 public:
  explicit OncePerNode(CascadeObserver* inner) : inner_(inner) {}
  void on_untrained_router(const std::string& node_id) override {
    if (inner_ && seen_.insert(node_id).second) inner_->on_untrained_router(node_id);
  }

 private:
  CascadeObserver* inner_;
  std::set<std::string> seen_;
};

}  // namespace

std::vector<RoutedPrediction> tiled_cascade(const TreeNode& tree, const TrainedModels& trained_models,
                                            const WindowReader& read, int64_t height, int64_t width,
                                            SpectralSSMEncoder* encoder, const torch::Device& device,
                                            int64_t num_global_classes, const std::vector<Routing>& routings,
                                            const TiledCascadeOptions& options) {
  torch::NoGradGuard no_grad;
  const TileOptions& tiling = options.tiling();
  const int64_t step = tiling.tile() > 0 ? tiling.tile() : std::max(height, width);
  const std::vector<TileWindow> tiles =
      tile_windows(height, width, step, tile_margin(tiling, deepest_stack(trained_models)));
  std::vector<NodeNetworks> nodes = load_networks(trained_models, device);

  const auto gates_start = std::chrono::steady_clock::now();
  size_t networks = 0;
  for (NodeNetworks& node : nodes)
    for (Member& m : node.members) {
      m.gate = scene_gate(*m.net, read, height, width, tiles, device);
      ++networks;
    }
  if (options.observer()) options.observer()->on_scene_gates(networks, seconds_since(gates_start));

  const torch::ScalarType label_type = num_global_classes <= 32767 ? torch::kInt16 : torch::kInt32;
  std::vector<RoutedPrediction> out(routings.size());
  for (RoutedPrediction& r : out) {
    r.labels = torch::zeros({height, width}, label_type);
    if (options.keep_distributions()) r.distribution = torch::zeros({num_global_classes, height, width});
  }
  std::vector<OncePerNode> observers(routings.size(), OncePerNode(options.observer()));

  const auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < tiles.size(); ++i) {
    stop_point("during tiled prediction; nothing was written");
    const TileWindow& t = tiles[i];
    const torch::Tensor window = read(t.y0, t.y1, t.x0, t.x1);
    NodeProbCache probs;
    {
      const torch::Tensor on_device = window.to(device);
      for (NodeNetworks& node : nodes) probs[node.id] = window_probs(node, on_device, num_global_classes);
    }
    for (size_t r = 0; r < routings.size(); ++r) {
      const torch::Tensor distribution = cascade_distribution(tree, trained_models, window, encoder, device,
                                                              num_global_classes, routings[r], &probs, TileOptions(),
                                                              &observers[r]);
      const torch::Tensor centre = tile_centre(distribution, t);
      out[r].labels.slice(0, t.cy0, t.cy1).slice(1, t.cx0, t.cx1).copy_(centre.argmax(0));
      if (options.keep_distributions())
        out[r].distribution.slice(1, t.cy0, t.cy1).slice(2, t.cx0, t.cx1).copy_(centre);
    }
    compat::empty_cuda_cache();
    if (options.observer()) options.observer()->on_tile(i + 1, tiles.size(), seconds_since(start));
  }
  return out;
}

}  // namespace lumora
