#include "lumora/commands/tree_reports.h"
#include "lumora/rssp/cascader.h"
#include "lumora/rssp/tiled_cascade.h"

#include <gtest/gtest.h>
#include <torch/torch.h>

#include "lumora/core/errors.h"
#include "lumora/core/state_dict.h"
#include "lumora/models/cubeseg.h"

namespace lumora {
namespace {

constexpr int64_t kBands = 8, kSide = 16;

ForestEntry tiny_forest(const std::vector<int64_t>& classes, int64_t seed) {
  torch::manual_seed(seed);
  ClassMaps maps = class_maps(classes);
  HyperspectralNet net(HyperspectralNetOptions(kBands, maps.num_classes).num_filters(2).base_filters(4));
  ForestEntry f;
  f.state_dict = cpu_copy(state_dict(*net));
  f.global_to_local = maps.global_to_local;
  f.local_to_global = maps.local_to_global;
  f.num_classes = maps.num_classes;
  f.num_bands = kBands;
  f.num_filters = 2;
  f.num_blocks = 3;
  f.base_filters = 4;
  return f;
}

NodeEntry tiny_node(const std::vector<int64_t>& classes, int64_t members) {
  NodeEntry e;
  for (int64_t i = 0; i < members; ++i) e.forests.push_back(tiny_forest(classes, 42 + i));
  e.node_classes = classes;
  e.num_classes = static_cast<int64_t>(classes.size()) + 1;
  e.num_bands = kBands;
  e.num_filters = 2;
  e.num_blocks = 3;
  e.base_filters = 4;
  e.d_model = 8;
  return e;
}

// Router weights whose output is sigmoid(bias) everywhere.
StateDict constant_router(double bias) {
  return {{"head.0.weight", torch::zeros({32, 8})},
          {"head.0.bias", torch::zeros({32})},
          {"head.2.weight", torch::zeros({1, 32})},
          {"head.2.bias", torch::full({1}, bias)}};
}

torch::Tensor scene() {
  torch::manual_seed(5);
  return torch::rand({1, kBands, kSide, kSide});
}

// The ensemble's softmax mean, computed independently of the cascade.
torch::Tensor mean_softmax(const NodeEntry& e, const torch::Tensor& data) {
  torch::NoGradGuard no_grad;
  torch::Tensor sum;
  for (const auto& f : e.forests) {
    HyperspectralNet net(HyperspectralNetOptions(f.num_bands, f.num_classes).num_filters(2).base_filters(4));
    load_state_dict(*net, f.state_dict);
    net->eval();
    auto p = torch::softmax(net->forward(data), 1);
    sum = sum.defined() ? sum + p : p;
  }
  return sum / static_cast<double>(e.forests.size());
}

TreeNode two_leaf_tree() { return TreeNode({2, 5}, TreeNode({2}), TreeNode({5})); }

}  // namespace

TEST(GlobalSoftProbs, MeanOfForestsInGlobalColumns) {
  const NodeEntry node = tiny_node({5, 2}, 3);
  const auto data = scene();
  auto global = get_global_soft_probs(node, data, torch::kCPU, 6);
  ASSERT_EQ(global.sizes(), (std::vector<int64_t>{1, 6, kSide, kSide}));
  auto expected = mean_softmax(node, data);
  EXPECT_TRUE(torch::allclose(global.select(1, 2), expected.select(1, 1), 1e-5, 1e-6));
  EXPECT_TRUE(torch::allclose(global.select(1, 5), expected.select(1, 2), 1e-5, 1e-6));
  for (int64_t c : {0, 1, 3, 4}) EXPECT_EQ(global.select(1, c).abs().max().item<float>(), 0.0f);
  // Columns sum to 1 minus the dropped local-0 mass.
  EXPECT_TRUE(torch::allclose(global.sum(1), 1.0 - expected.select(1, 0), 1e-5, 1e-6));
  // A device value gives the same as its name.
  EXPECT_TRUE(torch::equal(get_global_soft_probs(node, data, torch::Device(torch::kCPU), 6), global));
}

TEST(GlobalSoftProbs, GlobalIdsOutOfRangeAreDropped) {
  const NodeEntry node = tiny_node({2, 5}, 1);
  auto global = get_global_soft_probs(node, scene(), torch::kCPU, 5);  // class 5 has no column
  auto expected = mean_softmax(node, scene());
  EXPECT_TRUE(torch::allclose(global.sum(1), expected.select(1, 1), 1e-5, 1e-6));
}

TEST(ForestRoutingProb, ClampsAndSkipsIdsOutOfRange) {
  auto probs = torch::zeros({1, 4, 2, 2});
  probs.select(1, 1).fill_(0.3);
  probs.select(1, 2).fill_(0.7);
  EXPECT_TRUE(torch::allclose(forest_routing_prob(probs, {}), torch::full({1, 1, 2, 2}, 1e-6)));
  EXPECT_TRUE(torch::allclose(forest_routing_prob(probs, {1}), torch::full({1, 1, 2, 2}, 0.3)));
  EXPECT_TRUE(torch::allclose(forest_routing_prob(probs, {1, 2}), torch::full({1, 1, 2, 2}, 0.999999)));
  EXPECT_TRUE(torch::allclose(forest_routing_prob(probs, {1, 4}), torch::full({1, 1, 2, 2}, 0.3)));  // 4 == C
}

TEST(Cascade, SingleClassLeafWithoutModelLabelsEverything) {
  TrainedModels none;
  auto pred = run_inference(TreeNode({3}), none, scene(), nullptr, torch::kCPU, 5, Routing::forest);
  EXPECT_EQ(pred.sizes(), (std::vector<int64_t>{kSide, kSide}));
  EXPECT_TRUE(pred.eq(3).all().item<bool>());
}

TEST(Cascade, MultiClassLeafWithModelTakesTheEnsembleArgMax) {
  TrainedModels models;
  models.insert("root", tiny_node({1, 3}, 2));
  const auto data = scene();
  auto pred = run_inference(TreeNode({1, 3}), models, data, nullptr, torch::kCPU, 4, Routing::soft);  // leaf: mode unused
  auto expected = get_global_soft_probs(models.at("root"), data, torch::kCPU, 4).squeeze(0).argmax(0);
  EXPECT_TRUE(torch::equal(pred, expected));
}

TEST(Cascade, RoutingModesAtTheRoot) {
  TrainedModels models;
  NodeEntry root = tiny_node({2, 5}, 1);
  root.router_state = constant_router(0.0);  // outputs exactly 0.5
  models.insert("root", root);
  const TreeNode tree = two_leaf_tree();
  const auto data = scene();
  auto fingerprints = torch::zeros({1, 8, kSide, kSide});
  auto cascade = [&](const std::string& routing) {
    torch::NoGradGuard no_grad;
    return cascade_soft_inference(tree, models, data, nullptr, torch::kCPU, 6,
                                  CascadeOptions().routing(parse_routing(routing)).fingerprints(fingerprints));
  };
  // Soft at 0.5: each leaf receives half of the weight.
  auto soft = cascade("soft");
  EXPECT_TRUE(torch::allclose(soft.select(1, 2), torch::full({1, kSide, kSide}, 0.5)));
  EXPECT_TRUE(torch::allclose(soft.select(1, 5), torch::full({1, kSide, kSide}, 0.5)));
  // Hybrid at 0.5 has no router confidence: equals forest routing.
  EXPECT_TRUE(torch::allclose(cascade("hybrid"), cascade("forest")));
  auto forest = cascade("forest");
  auto p_left = forest_routing_prob(get_global_soft_probs(root, data, torch::kCPU, 6), {2});
  EXPECT_TRUE(torch::allclose(forest.select(1, 2), p_left.squeeze(1)));

  // A confident router wins in hybrid mode, clamped.
  models.at("root").router_state = constant_router(50.0);
  auto confident = cascade("hybrid");
  EXPECT_TRUE(torch::allclose(confident.select(1, 2), torch::full({1, kSide, kSide}, 0.999999), 0, 1e-7));

  // No stored router: the fresh router still routes.
  models.at("root").router_state = std::nullopt;
  auto fresh = cascade("soft");
  EXPECT_TRUE(torch::allclose(fresh.sum(1), torch::ones({1, kSide, kSide}), 1e-5, 1e-6));

  try {
    cascade("Forest");
    FAIL() << "no error";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "Unknown routing mode: 'Forest'. Use 'hybrid', 'forest', or 'soft'.");
  }
}

TEST(Cascade, BatchedAndUnbatchedSceneAgreeAndCacheReusesProbabilities) {
  TrainedModels models;
  models.insert("root", tiny_node({2, 5}, 2));
  const TreeNode tree = two_leaf_tree();
  const auto data = scene();
  auto a = run_inference(tree, models, data, nullptr, torch::kCPU, 6, Routing::forest);
  auto b = run_inference(tree, models, data.squeeze(0), nullptr, torch::kCPU, 6, Routing::forest);
  EXPECT_TRUE(torch::equal(a, b));
  NodeProbCache cache;
  auto c = run_inference(tree, models, data, nullptr, torch::kCPU, 6, Routing::forest, &cache);
  EXPECT_EQ(cache.size(), 1u);
  auto d = run_inference(tree, models, data, nullptr, torch::kCPU, 6, Routing::forest, &cache);
  EXPECT_TRUE(torch::equal(a, c));
  EXPECT_TRUE(torch::equal(a, d));
}

TEST(Cascade, DistributionIsWhatRunInferenceTakesTheArgMaxOf) {
  TrainedModels models;
  models.insert("root", tiny_node({2, 5}, 2));
  const TreeNode tree = two_leaf_tree();
  const auto data = scene();
  const auto dist = cascade_distribution(tree, models, data, nullptr, torch::kCPU, 6, Routing::forest, nullptr, TileOptions());
  ASSERT_EQ(dist.sizes(), (std::vector<int64_t>{6, kSide, kSide}));
  EXPECT_TRUE(torch::equal(dist.argmax(0), run_inference(tree, models, data, nullptr, torch::kCPU, 6, Routing::forest)));
  EXPECT_TRUE(torch::allclose(dist.sum(0), torch::ones({kSide, kSide}), 1e-5, 1e-6));
  EXPECT_TRUE(torch::equal(dist, cascade_distribution(tree, models, data.squeeze(0), nullptr, torch::kCPU, 6, Routing::forest,
                                                      nullptr, TileOptions())));
}

TEST(Cascade, EnsemblesRunTileByTileMatchTheWholeScene) {
  TrainedModels models;
  models.insert("root", tiny_node({2, 5}, 2));
  const TreeNode tree = two_leaf_tree();
  torch::manual_seed(8);
  const auto data = torch::rand({1, kBands, 48, 64});
  const auto whole = cascade_distribution(tree, models, data, nullptr, torch::kCPU, 6, Routing::forest, nullptr, TileOptions());
  // A tile that covers the scene is the whole-scene computation itself.
  EXPECT_TRUE(torch::equal(
      whole, cascade_distribution(tree, models, data, nullptr, torch::kCPU, 6, Routing::forest, nullptr, TileOptions().tile(64))));
  const auto tiled =
      cascade_distribution(tree, models, data, nullptr, torch::kCPU, 6, Routing::forest, nullptr, TileOptions().tile(16));
  EXPECT_TRUE(torch::allclose(tiled, whole, 1e-4, 1e-6)) << (tiled - whole).abs().max().item<double>();
  const auto bare = cascade_distribution(tree, models, data, nullptr, torch::kCPU, 6, Routing::forest, nullptr,
                                         TileOptions().tile(16).overlap(0));
  EXPECT_GT((bare - whole).abs().max().item<double>(), 1e-4);
}

TEST(Cascade, NodesWithoutATrainedRouterRouteByTheirEnsemble) {
  TrainedModels models;
  models.insert("root", tiny_node({1, 2, 3}, 1));
  NodeEntry inner = tiny_node({2, 3}, 1);
  inner.router_state = constant_router(50.0);  // sends everything left, to class 2
  models.insert("root_R", inner);
  const TreeNode tree({1, 2, 3}, TreeNode({1}), TreeNode({2, 3}, TreeNode({2}), TreeNode({3})));
  const auto data = scene();
  auto fingerprints = torch::zeros({1, 8, kSide, kSide});
  auto cascade = [&](const std::string& routing, std::string* printed) {
    torch::NoGradGuard no_grad;
    ::testing::internal::CaptureStdout();
    commands::CascadeConsole console;
    auto out = cascade_soft_inference(
        tree, models, data, nullptr, torch::kCPU, 4,
        CascadeOptions().routing(parse_routing(routing)).fingerprints(fingerprints).observer(&console));
    *printed = ::testing::internal::GetCapturedStdout();
    return out;
  };
  std::string printed;
  const auto forest = cascade("forest", &printed);
  EXPECT_EQ(printed, "");
  const auto root_probs = get_global_soft_probs(models.at("root"), data, torch::kCPU, 4);
  const auto root_left = forest_routing_prob(root_probs, {1});
  for (const char* mode : {"soft", "hybrid"}) {
    const auto routed = cascade(mode, &printed);
    // One notice, for the node without a router; its split is the ensemble's.
    EXPECT_EQ(printed, "  Node 'root' has no trained router: routing by its ensemble there.\n") << mode;
    EXPECT_TRUE(torch::allclose(routed.select(1, 1), root_left.squeeze(1), 1e-6, 1e-7)) << mode;
    // The trained router below still decides: class 2 takes the whole right share.
    EXPECT_TRUE(torch::allclose(routed.select(1, 2), 1.0 - root_left.squeeze(1), 1e-5, 1e-6)) << mode;
  }
  // Without routers anywhere, soft routing is forest routing.
  models.at("root_R").router_state = std::nullopt;
  const auto soft = cascade("soft", &printed);
  EXPECT_TRUE(torch::allclose(soft, forest));
  EXPECT_EQ(printed,
            "  Node 'root' has no trained router: routing by its ensemble there.\n"
            "  Node 'root_R' has no trained router: routing by its ensemble there.\n");
}

TEST(TiledCascade, EveryModeAtOnceIsEachModeTiledAloneAndMatchesTheWholeScene) {
  TrainedModels models;
  NodeEntry root = tiny_node({1, 2, 3}, 2);
  root.router_state = constant_router(0.4);
  models.insert("root", root);
  models.insert("root_R", tiny_node({2, 3}, 1));  // no router: routed by its ensemble, said once per mode
  const TreeNode tree({1, 2, 3}, TreeNode({1}), TreeNode({2, 3}, TreeNode({2}), TreeNode({3})));
  torch::manual_seed(9);
  SpectralSSMEncoder encoder(SpectralSSMEncoderOptions().d_model(8).d_state(4));
  encoder->eval();
  const auto data = torch::rand({1, kBands, 48, 64});
  const std::vector<Routing> modes{Routing::forest, Routing::hybrid, Routing::soft};
  const TileOptions tiles = TileOptions().tile(16);

  ::testing::internal::CaptureStdout();
  commands::CascadeConsole console;
  const auto results =
      tiled_cascade(tree, models, tensor_windows(data), 48, 64, &encoder, torch::kCPU, 4, modes,
                    TiledCascadeOptions().tiling(tiles).keep_distributions(true).observer(&console));
  const std::string printed = ::testing::internal::GetCapturedStdout();
  const std::string notice = "  Node 'root_R' has no trained router: routing by its ensemble there.\n";
  size_t notices = 0;
  for (size_t at = printed.find(notice); at != std::string::npos; at = printed.find(notice, at + 1)) ++notices;
  EXPECT_EQ(notices, 2u) << printed;  // hybrid and soft, not once per tile
  EXPECT_NE(printed.find("  Scene-wide channel gates of 3 networks in "), std::string::npos) << printed;
  EXPECT_NE(printed.find("  Tile 12/12 done ("), std::string::npos) << printed;
  EXPECT_EQ(printed.find("  Tile 13/"), std::string::npos) << printed;

  ASSERT_EQ(results.size(), modes.size());
  for (size_t i = 0; i < modes.size(); ++i) {
    const std::string mode = routing_name(modes[i]);
    const RoutedPrediction& r = results[i];
    EXPECT_EQ(r.labels.scalar_type(), torch::kInt16) << mode;
    EXPECT_TRUE(torch::equal(r.labels.to(torch::kLong), r.distribution.argmax(0))) << mode;
    const auto alone = cascade_distribution(tree, models, data, &encoder, torch::kCPU, 4, modes[i], nullptr, tiles);
    EXPECT_TRUE(torch::equal(r.distribution, alone)) << mode;
    const auto whole = cascade_distribution(tree, models, data, &encoder, torch::kCPU, 4, modes[i], nullptr, TileOptions());
    const double off = (r.distribution - whole).abs().max().template item<double>();
    EXPECT_LT(off, 1e-4) << mode;
  }
  // Without the distributions only the labels are kept, the same ones.
  ::testing::internal::CaptureStdout();
  const auto labels_only = tiled_cascade(tree, models, tensor_windows(data), 48, 64, &encoder, torch::kCPU, 4,
                                         {Routing::soft}, TiledCascadeOptions().tiling(tiles));
  ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(labels_only.front().distribution.defined());
  EXPECT_TRUE(torch::equal(labels_only.front().labels, results[2].labels));
}

TEST(SceneFit, ClassCountIsTheLargestTreeIdPlusOne) {
  EXPECT_EQ(tree_class_count(two_leaf_tree()), 6);
  EXPECT_EQ(tree_class_count(TreeNode({3})), 4);
}

TEST(SceneFit, BandsClassesAndEmptyNodesAreRefusedNamingTheFiles) {
  TrainedModels models;
  models.insert("root", tiny_node({2, 5}, 1));
  const TreeNode tree = two_leaf_tree();
  auto message = [&](int64_t bands, const std::vector<int64_t>& classes) {
    try {
      check_scene_fits(tree, models, bands, classes, "d.mat", "g.mat", "m.pkl");
    } catch (const ValueError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message(kBands, {2, 5}), "no error");
  EXPECT_EQ(message(kBands, {5}), "no error");  // a class the scene lacks is fine
  EXPECT_EQ(message(4, {2, 5}), "the cube in 'd.mat' has 4 bands but the bundle 'm.pkl' was trained on 8 bands");
  EXPECT_EQ(message(kBands, {2, 3}),
            "the label map in 'g.mat' holds class id 3 that the bundle 'm.pkl' does not know (its classes: 2, 5)");
  EXPECT_EQ(message(kBands, {9, 1, 2}),
            "the label map in 'g.mat' holds class ids 1, 9 that the bundle 'm.pkl' does not know (its classes: 2, 5)");
  models.at("root").forests.clear();
  EXPECT_EQ(message(kBands, {2, 5}), "bundle 'm.pkl': node 'root' has no ensemble members to predict with");
}

}  // namespace lumora
