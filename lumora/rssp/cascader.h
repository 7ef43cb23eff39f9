// Cascade inference over a trained class tree: every internal node splits
// each pixel's weight between its children by a routing probability, leaves
// spread it over their classes, and the arg-max of the summed distribution
// is the predicted label map.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <torch/arg.h>
#include <torch/types.h>

#include "lumora/models/bandscan.h"
#include "lumora/models/cubeseg.h"
#include "lumora/models/tiled_forward.h"
#include "lumora/rssp/records.h"
#include "lumora/rssp/tree_metrics.h"

namespace lumora {

// How an internal node splits a pixel's weight between its children: by its
// ensemble's probabilities, by its trained router, or by the router where it
// is confident and the ensemble elsewhere.
enum class Routing { hybrid, forest, soft };

// "hybrid", "forest" or "soft"; any other name is a ValueError.
Routing parse_routing(const std::string& name);
// The name parse_routing reads.
std::string routing_name(Routing routing);

// What the cascade has to say while it runs.
class CascadeObserver {
 public:
  virtual ~CascadeObserver() = default;
  // A node without a trained router routes by its ensemble under every mode.
  virtual void on_untrained_router(const std::string& /*node_id*/) {}
  // Tile by tile: every member's scene-wide gate is ready.
  virtual void on_scene_gates(size_t /*networks*/, double /*seconds*/) {}
  // Tile by tile: `done` of `total` tiles are predicted.
  virtual void on_tile(size_t /*done*/, size_t /*total*/, double /*seconds*/) {}
};
using CascadeObserverPtr = CascadeObserver*;  // TORCH_ARG needs a one-word type

// Global class probabilities (B, G, H, W), CPU float32, of a node's ensemble
// on `data` (B, bands, H, W): the mean softmax of its forests, each local
// class placed in its global column (ids >= G dropped). One network on the
// device at a time; on CUDA, cached memory is released after each.
torch::Tensor get_global_soft_probs(const NodeEntry& node_info, const torch::Tensor& data,
                                    const torch::Device& device, int64_t num_global_classes);
// An ensemble member's network with its weights, on `device`, in evaluation mode.
HyperspectralNet member_network(const ForestEntry& member, const torch::Device& device);

// Each local class's column of `local` (B, K, H, W) placed in its global
// column of a (B, G, H, W) map (ids >= G dropped).
torch::Tensor in_global_columns(const torch::Tensor& local, const ForestEntry& first, int64_t num_global_classes);

// Probability mass on `left_classes` (ids >= C skipped), (B, 1, H, W),
// clamped to [1e-6, 1 - 1e-6].
torch::Tensor forest_routing_prob(const torch::Tensor& node_probs, const std::vector<int64_t>& left_classes);

// Global probabilities of every node already evaluated on one scene, so that
// several routing modes over the same scene run each ensemble once.
using NodeProbCache = std::map<std::string, torch::Tensor>;
using NodeProbCachePtr = NodeProbCache*;  // TORCH_ARG needs a one-word type

struct CascadeOptions {
  TORCH_ARG(std::string, node_id) = kRootId;
  TORCH_ARG(std::optional<torch::Tensor>, path_weight) = std::nullopt;   // (B, 1, H, W)
  TORCH_ARG(std::optional<torch::Tensor>, fingerprints) = std::nullopt;  // (B, d_model, H, W), CPU
  TORCH_ARG(Routing, routing) = Routing::hybrid;
  TORCH_ARG(NodeProbCachePtr, cache) = nullptr;
  TORCH_ARG(CascadeObserverPtr, observer) = nullptr;
};

// The number of class columns a tree's predictions need: its largest class
// id + 1. Scores use it too, so that a pixel predicted as a class the scene
// lacks counts as an error instead of falling outside the scores.
int64_t tree_class_count(const TreeNode& tree);

// Refuses, before any network runs, a scene that a trained tree cannot be
// applied to: a cube whose band count differs from the one the ensembles were
// trained on, labelled class ids (`scene_classes`, any order) the tree does
// not hold, or a trained node without ensemble members. The messages name the
// cube file (`data_path`), the label file (`gt_path`) and the bundle.
void check_scene_fits(const TreeNode& tree, const TrainedModels& trained_models, int64_t scene_bands,
                      const std::vector<int64_t>& scene_classes, const std::string& data_path,
                      const std::string& gt_path, const std::string& bundle_path);

// The weighted class distribution (B, G, H, W), CPU float32, contributed by
// the subtree `tree`. `ssm_encoder` may be null for "forest" routing or when
// fingerprints are given. A node whose router was never trained (its entry has
// no router_state) routes by its ensemble, as "forest" does, under "soft" and
// "hybrid" too, and tells the observer.
torch::Tensor cascade_soft_inference(const TreeNode& tree, const TrainedModels& trained_models,
                                     const torch::Tensor& data, SpectralSSMEncoder* ssm_encoder,
                                     const torch::Device& device, int64_t num_global_classes,
                                     const CascadeOptions& options = {});

// The predicted label map (H, W) int64 of one scene, (bands, H, W) or
// (1, bands, H, W).
torch::Tensor run_inference(const TreeNode& tree, const TrainedModels& trained_models, const torch::Tensor& data,
                            SpectralSSMEncoder* ssm_encoder, const torch::Device& device,
                            int64_t num_global_classes, Routing routing = Routing::hybrid,
                            NodeProbCache* cache = nullptr, CascadeObserver* observer = nullptr);

// The weighted class distribution (G, H, W), CPU float32, of one scene
// (bands, H, W) or (1, bands, H, W): the values whose arg-max over the
// classes is run_inference's label map, computed the same way; when `tiling`
// cuts the scene into several tiles, tile by tile (see tiled_cascade.h,
// `cache` unused).
torch::Tensor cascade_distribution(const TreeNode& tree, const TrainedModels& trained_models,
                                   const torch::Tensor& data, SpectralSSMEncoder* ssm_encoder,
                                   const torch::Device& device, int64_t num_global_classes,
                                   Routing routing, NodeProbCache* cache, const TileOptions& tiling,
                                   CascadeObserver* observer = nullptr);

}  // namespace lumora
