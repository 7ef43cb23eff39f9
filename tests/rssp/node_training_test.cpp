// Ensemble training of tree nodes and the tree walk, on tiny real networks
// and tiny scenes.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <regex>
#include <sstream>

#include "lumora/core/errors.h"
#include "lumora/core/state_dict.h"
#include "lumora/datasets/cubeset.h"
#include "lumora/models/cubeseg.h"
#include "lumora/commands/training_console.h"
#include "lumora/rssp/nodefit.h"
#include "lumora/rssp/sam_clustering.h"
#include "support/testing.h"

namespace lumora {
namespace {

using testing::TempDir;

// Standard output of a scope, without colour codes (present when the tests
// run on a terminal); released also when the scope throws.
class Capture {
 public:
  Capture() { ::testing::internal::CaptureStdout(); }
  ~Capture() {
    if (!taken_) ::testing::internal::GetCapturedStdout();
  }
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  std::string take() {
    taken_ = true;
    static const std::regex ansi("\x1b\\[[0-9;]*[A-Za-z]");
    return std::regex_replace(::testing::internal::GetCapturedStdout(), ansi, "");
  }

 private:
  bool taken_ = false;
};

struct Scene {
  torch::Tensor data;    // (C, H, W)
  torch::Tensor labels;  // (H, W), classes 1..4 in vertical stripes
  torch::Tensor train, val;
};

const Scene& scene() {
  static const Scene s = [] {
    auto tiny = testing::make_tiny_scene(32, 32, 8, 4);
    Scene out;
    out.data = tiny.cube.permute({2, 0, 1}).contiguous();
    out.labels = tiny.labels;
    PixelSplit split = split_pixels(tiny.labels, 5, 0.3, 0.2, 42);
    out.train = split.train;
    out.val = split.val;
    return out;
  }();
  return s;
}

TrainNodeOptions tiny() {
  NetworkSizes sizes;
  sizes.num_filters = 2;
  sizes.num_blocks = 1;
  sizes.base_filters = 4;
  return TrainNodeOptions().sizes(sizes).lr(0.01).ssm_d_model(8);
}

// One epoch of one member as node training reported it.
struct NodeEpochEvent : EpochReport {
  int64_t forest_idx = 0;
};

// The console's lines (what the tests read) plus every epoch, recorded.
class Recorder : public commands::NodeTrainingConsole {
 public:
  Recorder(const TrainNodeOptions& o, std::vector<NodeEpochEvent>* events)
      : NodeTrainingConsole(o.patience()), events_(events) {}
  void on_member_epoch(const MemberStart& member, const EpochReport& r) override {
    if (events_) {
      NodeEpochEvent e;
      static_cast<EpochReport&>(e) = r;
      e.forest_idx = member.forest_idx;
      events_->push_back(e);
    }
    NodeTrainingConsole::on_member_epoch(member, r);
  }

 private:
  std::vector<NodeEpochEvent>* events_;
};

TreeNode leaf(std::vector<int64_t> c) { return TreeNode(std::move(c)); }
TreeNode split(std::vector<int64_t> c, TreeNode l, TreeNode r) { return TreeNode(std::move(c), std::move(l), std::move(r)); }

struct NodeRun {
  NodeEntry entry;
  std::string out;
  std::vector<NodeEpochEvent> events;
};

NodeRun train(const TreeNode& node, TrainNodeOptions o, const std::optional<torch::Tensor>& fp_map = std::nullopt,
          int64_t total_classes = 4) {
  NodeRun r;
  Recorder recorder(o, &r.events);
  o.observer(&recorder);
  Capture cap;
  r.entry = train_node(node, scene().data, scene().labels, total_classes, scene().train, scene().val, fp_map, o);
  r.out = cap.take();
  return r;
}

std::vector<int64_t> validation_epochs(const std::vector<NodeEpochEvent>& events, int64_t forest_idx = 0) {
  std::vector<int64_t> out;
  for (const auto& e : events)
    if (e.forest_idx == forest_idx && e.val_scores) out.push_back(e.epoch);
  return out;
}

size_t count(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t pos = text.find(piece); pos != std::string::npos; pos = text.find(piece, pos + piece.size())) ++n;
  return n;
}

std::vector<std::string> lines_of(const std::string& text, const std::string& sep = "\r\n") {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t pos = text.find(sep); pos != std::string::npos; pos = text.find(sep, start)) {
    out.push_back(text.substr(start, pos - start));
    start = pos + sep.size();
  }
  EXPECT_EQ(start, text.size()) << "text does not end with a line break";
  return out;
}

std::vector<std::string> fields_of(const std::string& line) {
  std::vector<std::string> out;
  std::stringstream ss(line);
  for (std::string f; std::getline(ss, f, ',');) out.push_back(f);
  return out;
}

// ---------------------------------------------------------------------------

TEST(TrainNode, EnsembleSizeFollowsTheClassCount) {
  const NodeRun three = train(leaf({1, 2}), tiny().base_epochs(2));  // min(leaf_forests 3, num_forests 5)
  EXPECT_EQ(three.entry.forests.size(), 3u);
  EXPECT_EQ(count(three.out, "Early stops: 0/3"), 1u);
  const NodeRun five = train(leaf({1, 2}), tiny().base_epochs(2).leaf_forests(7));
  EXPECT_EQ(five.entry.forests.size(), 5u);
  const NodeRun big = train(leaf({1, 2, 3}), tiny().base_epochs(2).num_forests(2).leaf_forests(7));
  EXPECT_EQ(big.entry.forests.size(), 2u);
}

TEST(TrainNode, EntryCarriesTheNodeSizesAndEqualMapsInEveryMember) {
  const NodeRun r = train(leaf({4, 2}), tiny().base_epochs(2));
  const NodeEntry& e = r.entry;
  EXPECT_EQ(e.node_classes, (std::vector<int64_t>{4, 2}));
  EXPECT_EQ(e.num_classes, 3);
  EXPECT_EQ(e.num_bands, 8);
  EXPECT_EQ(e.num_filters, 2);
  EXPECT_EQ(e.num_blocks, 1);
  EXPECT_EQ(e.base_filters, 4);
  EXPECT_EQ(e.d_model, 8);
  EXPECT_FALSE(e.router_state.has_value());
  ASSERT_EQ(e.forests.size(), 3u);
  HyperspectralNet reference(HyperspectralNetOptions(8, 3).num_filters(2).num_blocks(1).base_filters(4));
  const StateDict keys = state_dict(*reference);
  for (const ForestEntry& f : e.forests) {
    EXPECT_EQ(f.global_to_local, (ClassMap{{2, 1}, {4, 2}}));
    EXPECT_EQ(f.local_to_global, (ClassMap{{1, 2}, {2, 4}}));
    EXPECT_EQ(f.num_classes, 3);
    EXPECT_EQ(f.num_bands, 8);
    EXPECT_EQ(f.num_filters, 2);
    EXPECT_EQ(f.num_blocks, 1);
    EXPECT_EQ(f.base_filters, 4);
    ASSERT_EQ(f.state_dict.size(), keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
      EXPECT_EQ(f.state_dict[i].first, keys[i].first);
      EXPECT_TRUE(f.state_dict[i].second.device().is_cpu());
      EXPECT_FALSE(f.state_dict[i].second.requires_grad());
    }
    // The weights load back into a network built from the entry's sizes.
    HyperspectralNet rebuilt(HyperspectralNetOptions(f.num_bands, f.num_classes)
                                 .num_filters(f.num_filters)
                                 .num_blocks(f.num_blocks)
                                 .base_filters(f.base_filters));
    EXPECT_NO_THROW(load_state_dict(*rebuilt, f.state_dict));
  }
  // Members are seeded 42, 43, 44: different weights, announced in order.
  EXPECT_FALSE(state_dicts_equal(e.forests[0].state_dict, e.forests[1].state_dict));
  const size_t s42 = r.out.find("seed 42"), s43 = r.out.find("seed 43"), s44 = r.out.find("seed 44");
  ASSERT_NE(s44, std::string::npos) << r.out;
  EXPECT_LT(s42, s43);
  EXPECT_LT(s43, s44);
  // Member i gets the same seed in every node, so an equal node trains alike.
  const NodeRun again = train(leaf({4, 2}), tiny().base_epochs(2).node_id("root_R"));
  EXPECT_TRUE(state_dicts_equal(again.entry.forests[2].state_dict, e.forests[2].state_dict));
}

TEST(TrainNode, ValidatesEveryIntervalAndAtTheLastEpoch) {
  TempDir dir;
  const NodeRun r = train(leaf({1, 2, 3, 4}),
                      tiny().base_epochs(150).num_forests(1).patience(1000).min_epochs(1000).out_dir(dir.path()));
  EXPECT_EQ(validation_epochs(r.events), (std::vector<int64_t>{20, 40, 60, 80, 100, 120, 140, 150}));
  EXPECT_EQ(r.events.size(), 150u);
  const auto lines = lines_of(testing::read_file(dir.file("training_history.csv")));
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[0], "node_id,forest_idx,epoch,loss,val_loss,OA,mIoU,Dice,Precision,Recall,AA,kappa");
  size_t row = 1;
  for (const auto& e : r.events) {
    if (!e.val_scores) continue;
    const Scores& s = *e.val_scores;
    EXPECT_EQ(lines[row++], fmt::format("root,1,{},{:.6f},{:.6f},{:.6f},{:.6f},{:.6f},{:.6f},{:.6f},{:.6f},{:.6f}",
                                        e.epoch, e.train_loss, *e.val_loss, s.oa, s.miou, s.dice, s.precision,
                                        s.recall, s.aa, s.kappa));
  }
  EXPECT_EQ(count(r.out, "Early stop:"), 0u);
}

TEST(TrainNode, NoImprovementStopEndsTheMemberAndKeepsItsFinalWeights) {
  // A validation split without pixels of the node's classes scores zeros, so
  // no validation ever improves: 20, 40, 60 without improvement >= 50.
  TempDir dir;
  TreeNode node = leaf({1, 2});
  auto o = tiny().base_epochs(300).leaf_forests(1).patience(50).min_epochs(40).out_dir(dir.path());
  std::vector<NodeEpochEvent> events;
  Recorder recorder(o, &events);
  o.observer(&recorder);
  auto no_val = torch::empty({0, 2}, torch::kInt64);
  Capture cap;
  NodeEntry e = train_node(node, scene().data, scene().labels, 4, scene().train, no_val, std::nullopt, o);
  const std::string out = cap.take();
  EXPECT_EQ(validation_epochs(events), (std::vector<int64_t>{20, 40, 60}));
  EXPECT_NE(out.find("  ⚡ Early stop: no improvement for 50 epochs at epoch 60\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Early stops: 1/1"), std::string::npos);
  EXPECT_NE(out.find("best mIoU 0.0000 @ epoch 0"), std::string::npos) << out;
  ASSERT_EQ(e.forests.size(), 1u);
  EXPECT_FALSE(e.forests[0].state_dict.empty());
  EXPECT_EQ(lines_of(testing::read_file(dir.file("training_history.csv"))).size(), 4u);
}

TEST(TrainNode, StopsWhereTheBookkeepingSays) {
  // Whatever the real scores, the member ends exactly where the bookkeeping,
  // fed the same validations, first asks to stop.
  const NodeRun r = train(leaf({1, 2}), tiny().base_epochs(120).leaf_forests(1).lr(0.02).val_interval(5).patience(10)
                                        .min_epochs(20));
  ValidationProgress p(5, EarlyStopping{10, 20});
  std::optional<int64_t> stop;
  for (const auto& e : r.events) {
    if (!e.val_scores) continue;
    p.observe(e.epoch, *e.val_scores);
    if (p.early_stop(e.epoch)) {
      stop = e.epoch;
      break;
    }
  }
  const int64_t last = r.events.back().epoch;
  if (stop) {
    EXPECT_EQ(last, *stop);
    EXPECT_GE(*stop, 20);
    EXPECT_NE(r.out.find(commands::early_stop_line(*p.early_stop(*stop), 10, *stop) + "\n"), std::string::npos)
        << r.out;
  } else {
    EXPECT_EQ(last, 120);
  }
  EXPECT_NE(r.out.find(fmt::format("best mIoU {:.4f} @ epoch {}", p.best_score, p.best_epoch)), std::string::npos)
      << r.out;
}

TEST(TrainNode, HighMiouStopWaitsForMinEpochs) {
  // Two well separated classes at a high rate reach mIoU >= 0.99 well before
  // epoch 60 (LibTorch 2.11 at 40); validating every 5, the stop still waits
  // for epoch 60.
  const NodeRun r = train(leaf({1, 2}), tiny().base_epochs(240).leaf_forests(1).lr(0.02).val_interval(5)
                                            .patience(1000).min_epochs(60));
  std::optional<int64_t> first_high;
  for (const auto& e : r.events)
    if (e.val_scores && e.val_scores->miou >= 0.99 && !first_high) first_high = e.epoch;
  ASSERT_TRUE(first_high.has_value());
  ASSERT_LT(*first_high, 60) << "the scene no longer separates early enough to test the wait";
  const NodeEpochEvent& last = r.events.back();
  EXPECT_EQ(last.epoch, 60);
  ASSERT_TRUE(last.val_scores.has_value());
  EXPECT_GE(last.val_scores->miou, 0.99);
  EXPECT_EQ(count(r.out, "  ⚡ Early stop: mIoU ≥ 0.99 at epoch 60\n"), 1u) << r.out;
  EXPECT_EQ(count(r.out, "Early stop:"), 1u);
  EXPECT_NE(r.out.find("Early stops: 1/1"), std::string::npos);
}

TEST(TrainNode, WarmUpRampsTheRateAndHoldsTheScheduler) {
  const NodeRun r = train(leaf({1, 2, 3, 4}), tiny().base_epochs(8).num_forests(1).lr(0.001).warmup_epochs(5));
  ASSERT_EQ(r.events.size(), 8u);
  const double expected[] = {0.0002, 0.0004, 0.0006, 0.0008, 0.001, 0.001, 0.001, 0.001};
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_NEAR(r.events[i].lr, expected[i], 1e-15) << "epoch " << i + 1;
    EXPECT_EQ(r.events[i].scheduler_stepped, i >= 5) << "epoch " << i + 1;
  }
}

TEST(TrainNode, TwoNodesShareOneHeaderAcrossNodesAndRuns) {
  TempDir dir;
  auto o = tiny().base_epochs(8).val_interval(2).leaf_forests(1).out_dir(dir.path());  // 4 epochs at 2 of 4 classes
  train(leaf({1, 2}), TrainNodeOptions(o).node_id("root_L"));
  train(leaf({3, 4}), TrainNodeOptions(o).node_id("root_R"));
  auto lines = lines_of(testing::read_file(dir.file("training_history.csv")));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "node_id,forest_idx,epoch,loss,val_loss,OA,mIoU,Dice,Precision,Recall,AA,kappa");
  std::vector<std::string> ids;
  for (size_t i = 1; i < lines.size(); ++i) {
    auto f = fields_of(lines[i]);
    ASSERT_EQ(f.size(), 12u);
    ids.push_back(f[0] + "/" + f[1] + "/" + f[2]);
    for (size_t k = 3; k < 12; ++k) EXPECT_TRUE(std::regex_match(f[k], std::regex("-?[0-9]+\\.[0-9]{6}"))) << f[k];
  }
  EXPECT_EQ(ids, (std::vector<std::string>{"root_L/1/2", "root_L/1/4", "root_R/1/2", "root_R/1/4"}));
  // A later run appends without a second header.
  train(leaf({1, 2}), TrainNodeOptions(o).node_id("root_L"));
  lines = lines_of(testing::read_file(dir.file("training_history.csv")));
  EXPECT_EQ(lines.size(), 7u);
  EXPECT_EQ(count(testing::read_file(dir.file("training_history.csv")), "node_id"), 1u);
}

TEST(TrainNode, RouterOnlyForInternalNodesWithFingerprints) {
  torch::manual_seed(5);
  const auto fp_map = torch::randn({32, 32, 8});
  const TreeNode internal = split({1, 2, 3, 4}, leaf({1, 2}), leaf({3, 4}));

  const NodeRun with = train(internal, tiny().base_epochs(2).num_forests(1), fp_map);
  EXPECT_NE(with.out.find("\n\n  Training SSSR router for node 'root' ...\n"), std::string::npos) << with.out;
  EXPECT_NE(with.out.find("  Router trained.\n"), std::string::npos);
  ASSERT_TRUE(with.entry.router_state.has_value());
  const StateDict& rs = *with.entry.router_state;
  ASSERT_EQ(rs.size(), 4u);
  EXPECT_EQ(rs[0].first, "head.0.weight");
  EXPECT_EQ(rs[0].second.sizes(), (std::vector<int64_t>{32, 8}));
  EXPECT_EQ(rs[3].first, "head.2.bias");

  const NodeRun no_map = train(internal, tiny().base_epochs(2).num_forests(1));
  EXPECT_EQ(no_map.out.find("router"), std::string::npos);
  EXPECT_FALSE(no_map.entry.router_state.has_value());

  const NodeRun a_leaf = train(leaf({1, 2}), tiny().base_epochs(2).leaf_forests(1), fp_map);
  EXPECT_EQ(a_leaf.out.find("router"), std::string::npos);
  EXPECT_FALSE(a_leaf.entry.router_state.has_value());
}

TEST(TrainNode, RouterSkippedForTooFewPixels) {
  const auto fp_map = torch::randn({32, 32, 8});
  const TreeNode internal = split({1, 2}, leaf({1}), leaf({2}));
  auto o = tiny().base_epochs(1).leaf_forests(1);
  Recorder console(o, nullptr);
  o.observer(&console);
  Capture cap;
  // Two training pixels only.
  NodeEntry e = train_node(internal, scene().data, scene().labels, 4, scene().train.narrow(0, 0, 2), scene().val,
                           fp_map, o);
  const std::string out = cap.take();
  EXPECT_NE(out.find("  Router skipped (too few pixels).\n"), std::string::npos) << out;
  EXPECT_FALSE(e.router_state.has_value());
}

TEST(TrainNode, NoMembersMeansNoSummary) {
  const NodeRun r = train(leaf({1, 2, 3}), tiny().base_epochs(2).num_forests(0));
  EXPECT_TRUE(r.entry.forests.empty());
  EXPECT_TRUE(r.events.empty());
  EXPECT_EQ(r.out.find("ensembles trained"), std::string::npos);
  EXPECT_EQ(r.out.find("Early stops"), std::string::npos);
  EXPECT_EQ(r.entry.num_classes, 4);
}

TEST(TrainNode, SummaryLines) {
  const NodeRun r = train(leaf({1, 2}), tiny().base_epochs(4).val_interval(2).leaf_forests(2));
  ASSERT_EQ(r.entry.forests.size(), 2u);
  // Best mIoU per member from the validations each member saw.
  std::vector<double> best(2, 0.0);
  for (const auto& e : r.events)
    if (e.val_scores) best[e.forest_idx] = std::max(best[e.forest_idx], e.val_scores->miou);
  const double mean = (best[0] + best[1]) / 2, sd = std::abs(best[0] - best[1]) / 2;
  const std::regex node_line("\n\n  Node 'root' — 2 ensembles trained in [0-9]+s\n");
  EXPECT_TRUE(std::regex_search(r.out, node_line)) << r.out;
  EXPECT_NE(r.out.find(fmt::format("  mIoU  {:.4f}  {:.4f}   mean {:.4f} ± {:.4f}\n", best[0], best[1], mean, sd)),
            std::string::npos)
      << r.out;
  const size_t b = best[1] > best[0] ? 1 : 0, w = best[1] < best[0] ? 1 : 0;
  EXPECT_NE(r.out.find(fmt::format("  Best: Ensemble {} ({:.4f})  Worst: Ensemble {} ({:.4f})  Early stops: 0/2\n\n",
                                   b + 1, best[b], w + 1, best[w])),
            std::string::npos)
      << r.out;
}

TEST(TrainNode, RefusesANodeWithoutTrainingPixels) {
  auto o = tiny().base_epochs(2).leaf_forests(1);
  Capture cap;
  try {
    train_node(leaf({3, 4}), scene().data, scene().labels, 4, torch::empty({0, 2}, torch::kInt64), scene().val,
               std::nullopt, o);
    ADD_FAILURE() << "no error";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "node 'root' has no training pixels of its classes [3, 4]");
  }
}

TEST(TrainNode, RejectsBadSettings) {
  EXPECT_THROW(train(leaf({1, 2}), tiny().val_interval(0)), ValueError);
  EXPECT_THROW(train(leaf({1, 2}), tiny().num_forests(-1)), ValueError);
}

// ---------------------------------------------------------------------------

TEST(TrainTree, PreOrderKeysAndHistoryRowsMatchThePrintedValidations) {
  TempDir dir;
  const RsspTree built = build_rssp_tree(scene().data, scene().labels, 5, DepthMode::full());
  const TreeNode& tree = built.tree;
  const std::vector<std::string> expected = trained_node_ids(tree);
  ASSERT_GE(expected.size(), 2u) << tree_text(tree);

  auto o = tiny().base_epochs(6).val_interval(3).num_forests(1).leaf_forests(1).out_dir(dir.path());
  Recorder console(o, nullptr);
  o.observer(&console);
  Capture cap;
  TrainedModels models = train_tree(tree, scene().data, scene().labels, 4, scene().train, scene().val, std::nullopt, o);
  const std::string out = cap.take();
  EXPECT_EQ(models.keys(), expected);
  for (const auto& [id, entry] : models) {
    EXPECT_EQ(entry.node_classes, find_node(tree, id)->classes) << id;
    EXPECT_EQ(entry.forests.size(), 1u);
  }

  // Every lasting epoch line printed is one history row, in order.
  const std::regex printed(
      "Epoch +([0-9]+)/([0-9]+) \\| loss ([-0-9.na]+) \\| val_loss ([-0-9.na]+) \\| OA ([0-9.]+) \\| mIoU ([0-9.]+) \\| "
      "AA ([0-9.]+) \\| kappa ([-0-9.]+)");
  std::vector<std::vector<std::string>> shown;
  for (auto it = std::sregex_iterator(out.begin(), out.end(), printed); it != std::sregex_iterator(); ++it)
    shown.push_back({(*it)[1], (*it)[3], (*it)[4], (*it)[5], (*it)[6], (*it)[7], (*it)[8]});
  const auto lines = lines_of(testing::read_file(dir.file("training_history.csv")));
  ASSERT_EQ(lines.size(), shown.size() + 1) << out;
  std::vector<std::string> row_nodes;
  auto four = [](const std::string& six) { return fmt::format("{:.4f}", std::stod(six)); };
  for (size_t i = 0; i < shown.size(); ++i) {
    auto f = fields_of(lines[i + 1]);
    ASSERT_EQ(f.size(), 12u);
    row_nodes.push_back(f[0]);
    EXPECT_EQ(f[2], shown[i][0]);
    EXPECT_EQ(four(f[3]), shown[i][1]);
    EXPECT_EQ(four(f[4]), shown[i][2]);
    EXPECT_EQ(four(f[5]), shown[i][3]);   // OA
    EXPECT_EQ(four(f[6]), shown[i][4]);   // mIoU
    EXPECT_EQ(four(f[10]), shown[i][5]);  // AA
    EXPECT_EQ(four(f[11]), shown[i][6]);  // kappa
  }
  // Rows come node by node in training order.
  std::vector<std::string> order;
  for (const auto& n : row_nodes)
    if (order.empty() || order.back() != n) order.push_back(n);
  EXPECT_EQ(order, expected);
}

TEST(TrainTree, SkipsSingleClassChildrenAndNamesSubtrees) {
  const TreeNode tree = split({1, 2, 3}, leaf({1}), split({2, 3}, leaf({2}), leaf({3})));
  auto o = tiny().base_epochs(1).leaf_forests(1);
  Capture cap;
  TrainedModels models = train_tree(tree, scene().data, scene().labels, 4, scene().train, scene().val, std::nullopt, o);
  TrainedModels sub = train_tree(*tree.right, scene().data, scene().labels, 4, scene().train, scene().val,
                                 std::nullopt, TrainNodeOptions(o).node_id("root_R"));
  TrainedModels single = train_tree(leaf({1, 2, 3, 4}), scene().data, scene().labels, 4, scene().train, scene().val,
                                    std::nullopt, TrainNodeOptions(o).num_forests(1));
  cap.take();
  EXPECT_EQ(models.keys(), (std::vector<std::string>{"root", "root_R"}));
  EXPECT_EQ(sub.keys(), std::vector<std::string>{"root_R"});
  EXPECT_EQ(single.keys(), std::vector<std::string>{"root"});
  EXPECT_FALSE(single.at("root").router_state.has_value());
}

TEST(TrainTree, RouterAtInternalNodesOnlyAndOneClockForAllNodes) {
  torch::manual_seed(9);
  const auto fp_map = torch::randn({32, 32, 8});
  const TreeNode tree = split({1, 2, 3, 4}, leaf({1, 2}), leaf({3, 4}));
  // A start an hour ago: every member line counts from it, in every node.
  auto o = tiny().base_epochs(1).num_forests(1).leaf_forests(1).global_start(wall_time() - 3725.0);
  Recorder console(o, nullptr);
  o.observer(&console);
  Capture cap;
  TrainedModels models = train_tree(tree, scene().data, scene().labels, 4, scene().train, scene().val, fp_map, o);
  const std::string out = cap.take();
  EXPECT_EQ(models.keys(), (std::vector<std::string>{"root", "root_L", "root_R"}));
  EXPECT_TRUE(models.at("root").router_state.has_value());
  EXPECT_FALSE(models.at("root_L").router_state.has_value());
  EXPECT_FALSE(models.at("root_R").router_state.has_value());
  EXPECT_EQ(count(out, "[1h 2m "), 3u) << out;
  // Without a start, the walk starts its own clock: no hour-long times.
  Capture again;
  train_tree(tree, scene().data, scene().labels, 4, scene().train, scene().val, std::nullopt,
             TrainNodeOptions(o).global_start(std::nullopt));
  EXPECT_EQ(count(again.take(), "[1h"), 0u);
}

}  // namespace
}  // namespace lumora
