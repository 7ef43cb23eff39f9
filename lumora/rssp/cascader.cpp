#include "lumora/rssp/cascader.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <torch/torch.h>

#include <algorithm>
#include <set>

#include "lumora/core/errors.h"
#include "lumora/core/state_dict.h"
#include "lumora/core/torch_compat.h"
#include "lumora/models/cubeseg.h"
#include "lumora/rssp/gatehead.h"
#include "lumora/rssp/tiled_cascade.h"

namespace lumora {
namespace {

torch::Tensor router_p_left(const NodeEntry& entry, const torch::Tensor& fingerprints) {
  SSSRRouter router(SSSRRouterOptions().d_model(entry.d_model));
  load_state_dict(*router, *entry.router_state);
  router->eval();
  torch::NoGradGuard no_grad;
  return router->forward(fingerprints).unsqueeze(1);
}

// The scene's fingerprints (B, d_model, H, W) on the CPU, encoded in bands of
// rows: the same values as one pass in evaluation mode, a fraction of the memory.
torch::Tensor scene_fingerprints(SpectralSSMEncoder* encoder, const torch::Tensor& data, const torch::Device& device) {
  if (encoder == nullptr) throw ValueError("soft and hybrid routing need a fingerprint encoder");
  std::vector<torch::Tensor> maps;
  for (int64_t b = 0; b < data.size(0); ++b)
    maps.push_back(fingerprint_map(*encoder, data[b], device).permute({2, 0, 1}));
  return torch::stack(maps);
}

}  // namespace

torch::Tensor in_global_columns(const torch::Tensor& local, const ForestEntry& first, int64_t num_global_classes) {
  auto global = torch::zeros({local.size(0), num_global_classes, local.size(2), local.size(3)});
  for (const auto& [local_id, global_id] : first.local_to_global)
    if (global_id < num_global_classes) global.select(1, global_id).copy_(local.select(1, local_id));
  return global;
}

HyperspectralNet member_network(const ForestEntry& member, const torch::Device& device) {
  // A member trained with a spectral head holds its spectra among its weights;
  // their count sizes the head (the strict load checks the rest).
  int64_t support = 0;
  for (const auto& [key, tensor] : member.state_dict)
    if (key == "spectral_head.support" && tensor.dim() == 2) support = tensor.size(0);
  HyperspectralNet net{HyperspectralNetOptions(member).spectral_support(support)};
  net->to(device);
  load_state_dict(*net, member.state_dict);
  net->eval();
  return net;
}

Routing parse_routing(const std::string& name) {
  if (name == "hybrid") return Routing::hybrid;
  if (name == "forest") return Routing::forest;
  if (name == "soft") return Routing::soft;
  throw ValueError("Unknown routing mode: '" + name + "'. Use 'hybrid', 'forest', or 'soft'.");
}

std::string routing_name(Routing routing) {
  switch (routing) {
    case Routing::hybrid: return "hybrid";
    case Routing::forest: return "forest";
    case Routing::soft: return "soft";
  }
  return "hybrid";
}

torch::Tensor get_global_soft_probs(const NodeEntry& node_info, const torch::Tensor& data,
                                    const torch::Device& device, int64_t num_global_classes) {
  if (node_info.forests.empty()) throw ValueError("node entry has no forests");
  const ForestEntry& first = node_info.forests.front();
  const int64_t b = data.size(0), h = data.size(2), w = data.size(3);
  torch::NoGradGuard no_grad;
  auto prob_sum = torch::zeros({b, first.num_classes, h, w}, torch::TensorOptions().device(device));
  const auto input = data.to(device);
  for (const ForestEntry& fi : node_info.forests) {
    {
      HyperspectralNet net = member_network(fi, device);
      prob_sum += torch::softmax(net->forward(input).to(torch::kFloat32), 1);
    }
    if (device.is_cuda()) compat::empty_cuda_cache();
  }
  auto prob_avg = (prob_sum / static_cast<double>(node_info.forests.size())).to(torch::kCPU);
  return in_global_columns(prob_avg, first, num_global_classes);
}

torch::Tensor forest_routing_prob(const torch::Tensor& node_probs, const std::vector<int64_t>& left_classes) {
  const int64_t b = node_probs.size(0), c = node_probs.size(1), h = node_probs.size(2), w = node_probs.size(3);
  auto p_left = torch::zeros({b, 1, h, w});
  for (int64_t cls : left_classes)
    if (cls >= 0 && cls < c) p_left += node_probs.slice(1, cls, cls + 1);
  return p_left.clamp(1e-6, 1 - 1e-6);
}

int64_t tree_class_count(const TreeNode& tree) {
  return tree.classes.empty() ? 1 : *std::max_element(tree.classes.begin(), tree.classes.end()) + 1;
}

void check_scene_fits(const TreeNode& tree, const TrainedModels& trained_models, int64_t scene_bands,
                      const std::vector<int64_t>& scene_classes, const std::string& data_path,
                      const std::string& gt_path, const std::string& bundle_path) {
  for (const auto& [node_id, entry] : trained_models) {
    if (entry.forests.empty())
      throw ValueError(fmt::format("bundle '{}': node '{}' has no ensemble members to predict with", bundle_path,
                                   node_id));
    if (entry.num_bands != scene_bands)
      throw ValueError(fmt::format("the cube in '{}' has {} bands but the bundle '{}' was trained on {} bands",
                                   data_path, scene_bands, bundle_path, entry.num_bands));
  }
  const std::set<int64_t> known(tree.classes.begin(), tree.classes.end());
  std::set<int64_t> unknown;
  for (int64_t c : scene_classes)
    if (!known.count(c)) unknown.insert(c);
  if (!unknown.empty())
    throw ValueError(fmt::format("the label map in '{}' holds class {} {} that the bundle '{}' does not know (its "
                                 "classes: {})",
                                 gt_path, unknown.size() == 1 ? "id" : "ids", fmt::join(unknown, ", "), bundle_path,
                                 fmt::join(known, ", ")));
}

torch::Tensor cascade_soft_inference(const TreeNode& tree, const TrainedModels& trained_models,
                                     const torch::Tensor& data, SpectralSSMEncoder* ssm_encoder,
                                     const torch::Device& device, int64_t num_global_classes,
                                     const CascadeOptions& options) {
  const Routing routing = options.routing();
  const int64_t b = data.size(0), h = data.size(2), w = data.size(3);
  const torch::Tensor path_weight = options.path_weight().value_or(torch::ones({b, 1, h, w}));

  const NodeEntry* entry = trained_models.find(options.node_id());
  if (entry == nullptr) {
    auto result = torch::zeros({b, num_global_classes, h, w});
    if (tree.classes.size() == 1 && tree.classes[0] >= 0 && tree.classes[0] < num_global_classes)
      result.select(1, tree.classes[0]).fill_(1.0);
    return result * path_weight;
  }

  torch::Tensor node_probs;
  NodeProbCache* cache = options.cache();
  if (cache && cache->count(options.node_id())) {
    node_probs = cache->at(options.node_id());
  } else {
    node_probs = get_global_soft_probs(*entry, data, device, num_global_classes);
    if (cache) (*cache)[options.node_id()] = node_probs;
  }
  if (tree.is_leaf()) return node_probs * path_weight;
  if (!tree.left || !tree.right)
    throw ValueError("tree node '" + options.node_id() + "' has only one child");

  // Encoded once, at the first internal node, and handed down: a tree without
  // one needs no encoder.
  torch::Tensor fingerprints = options.fingerprints().value_or(torch::Tensor());
  if (!fingerprints.defined() && routing != Routing::forest)
    fingerprints = scene_fingerprints(ssm_encoder, data, device);

  const std::vector<int64_t>& left_classes = tree.left->classes;
  torch::Tensor p_left;
  if (routing != Routing::forest && !entry->router_state) {
    // Training skipped this node's router (too few pixels): a freshly made
    // head would route by its random weights, so the ensemble routes here.
    if (options.observer()) options.observer()->on_untrained_router(options.node_id());
    p_left = forest_routing_prob(node_probs, left_classes);
  } else if (routing == Routing::forest) {
    p_left = forest_routing_prob(node_probs, left_classes);
  } else if (routing == Routing::soft) {
    p_left = router_p_left(*entry, fingerprints);
  } else {
    auto f_p_left = forest_routing_prob(node_probs, left_classes);
    auto ssm_p_left = router_p_left(*entry, fingerprints);
    auto confidence = (2.0 * (ssm_p_left - 0.5).abs()).clamp(0.0, 1.0);
    p_left = (f_p_left + confidence * (ssm_p_left - f_p_left)).clamp(1e-6, 1 - 1e-6);
  }
  const auto p_right = 1.0 - p_left;

  auto child = [&](const TreeNode& node, const std::string& id, const torch::Tensor& weight) {
    CascadeOptions o = options;
    o.node_id(id).path_weight(weight);
    if (fingerprints.defined()) o.fingerprints(fingerprints);
    return cascade_soft_inference(node, trained_models, data, ssm_encoder, device, num_global_classes, o);
  };
  auto result = torch::zeros({b, num_global_classes, h, w});
  result += child(*tree.left, left_id(options.node_id()), path_weight * p_left);
  result += child(*tree.right, right_id(options.node_id()), path_weight * p_right);
  return result;
}

torch::Tensor run_inference(const TreeNode& tree, const TrainedModels& trained_models, const torch::Tensor& data,
                            SpectralSSMEncoder* ssm_encoder, const torch::Device& device,
                            int64_t num_global_classes, Routing routing, NodeProbCache* cache,
                            CascadeObserver* observer) {
  torch::NoGradGuard no_grad;
  const torch::Tensor batch = data.dim() == 3 ? data.unsqueeze(0) : data;
  auto weighted = cascade_soft_inference(tree, trained_models, batch, ssm_encoder, device, num_global_classes,
                                         CascadeOptions().routing(routing).cache(cache).observer(observer));
  return weighted.squeeze(0).argmax(0).to(torch::kInt64);
}

torch::Tensor cascade_distribution(const TreeNode& tree, const TrainedModels& trained_models,
                                   const torch::Tensor& data, SpectralSSMEncoder* ssm_encoder,
                                   const torch::Device& device, int64_t num_global_classes,
                                   Routing routing, NodeProbCache* cache, const TileOptions& tiling,
                                   CascadeObserver* observer) {
  torch::NoGradGuard no_grad;
  const torch::Tensor batch = data.dim() == 3 ? data.unsqueeze(0) : data;
  const int64_t h = batch.size(2), w = batch.size(3);
  if (needs_tiles(h, w, tiling))
    return tiled_cascade(tree, trained_models, tensor_windows(batch), h, w, ssm_encoder, device, num_global_classes,
                         {routing}, TiledCascadeOptions().tiling(tiling).keep_distributions(true).observer(observer))
        .front()
        .distribution;
  return cascade_soft_inference(tree, trained_models, batch, ssm_encoder, device, num_global_classes,
                                CascadeOptions().routing(routing).cache(cache).observer(observer))
      .squeeze(0);
}

}  // namespace lumora
