#include "lumora/rssp/records.h"

#include <gtest/gtest.h>
#include <torch/serialize.h>

#include <cstdio>
#include <fstream>

#include "lumora/core/errors.h"
#include "lumora/test_paths.h"
#include "support/testing.h"

namespace lumora {
namespace {

TreeNode leaf(std::vector<int64_t> classes) { return TreeNode(std::move(classes)); }
TreeNode split(std::vector<int64_t> classes, TreeNode l, TreeNode r) {
  return TreeNode(std::move(classes), std::move(l), std::move(r));
}

// root -> ([1, 2] -> [1], [2]), ([3, 4, 5] -> [3], [4, 5] -> [4], [5])
TreeNode three_level_tree() {
  TreeNode t = split({1, 2, 3, 4, 5}, split({1, 2}, leaf({1}), leaf({2})),
                     split({3, 4, 5}, leaf({3}), split({4, 5}, leaf({4}), leaf({5}))));
  t.split_angle = 0.25;
  t.right->split_angle = 0.125;
  return t;
}

ForestEntry forest(const std::vector<int64_t>& classes, int64_t seed) {
  torch::manual_seed(seed);
  ClassMaps maps = class_maps(classes);
  ForestEntry f;
  f.state_dict = {{"stem.weight", torch::randn({4, 3})},
                  {"stem.bias", torch::randn({4}, torch::kFloat64)},
                  {"bn.num_batches_tracked", torch::tensor(int64_t{7})},
                  {"head.weight", torch::randn({maps.num_classes, 4})}};
  f.global_to_local = maps.global_to_local;
  f.local_to_global = maps.local_to_global;
  f.num_classes = maps.num_classes;
  f.num_bands = 6;
  f.num_filters = 2;
  f.num_blocks = 1;
  f.base_filters = 4;
  return f;
}

NodeEntry node_entry(const std::vector<int64_t>& classes, int64_t members, bool router) {
  NodeEntry e;
  for (int64_t i = 0; i < members; ++i) e.forests.push_back(forest(classes, 42 + i));
  if (router)
    e.router_state = StateDict{{"head.0.weight", torch::randn({32, 8})},
                               {"head.0.bias", torch::randn({32})},
                               {"head.2.weight", torch::randn({1, 32})},
                               {"head.2.bias", torch::randn({1})}};
  e.node_classes = classes;
  e.num_classes = static_cast<int64_t>(classes.size()) + 1;
  e.num_bands = 6;
  e.num_filters = 2;
  e.num_blocks = 1;
  e.base_filters = 4;
  e.d_model = 8;
  return e;
}

TrainedModels two_node_models() {
  TrainedModels m;
  m.insert("root", node_entry({3, 1, 2}, 2, true));
  m.insert("root_L", node_entry({1, 2}, 1, false));
  return m;
}

c10::IValue through_pickle(const c10::IValue& v) {
  const std::vector<char> bytes = torch::pickle_save(v);
  return torch::pickle_load(bytes);
}

using testing::error_of;

c10::impl::GenericDict as_dict(const c10::IValue& v) { return v.toGenericDict(); }

// ---------------------------------------------------------------------------

TEST(ClassMaps, NumbersClassesInIncreasingOrder) {
  for (const auto& classes : {std::vector<int64_t>{3, 7, 12}, std::vector<int64_t>{12, 3, 7}}) {
    ClassMaps m = class_maps(classes);
    EXPECT_EQ(m.global_to_local, (ClassMap{{3, 1}, {7, 2}, {12, 3}}));
    EXPECT_EQ(m.local_to_global, (ClassMap{{1, 3}, {2, 7}, {3, 12}}));
    EXPECT_EQ(m.num_classes, 4);
    EXPECT_EQ(global_to_local(classes), m.global_to_local);
    EXPECT_EQ(local_to_global(classes), m.local_to_global);
  }
}

TEST(ClassMaps, RejectsEmptyRepeatedAndNonPositiveIds) {
  EXPECT_EQ(error_of<ValueError>([] { class_maps({}); }), "a node needs at least one class");
  EXPECT_EQ(error_of<ValueError>([] { class_maps({3, 7, 3}); }), "class id 3 appears twice in node classes [3, 7, 3]");
  EXPECT_EQ(error_of<ValueError>([] { class_maps({0, 2}); }), "class id 0 is below 1 in node classes [0, 2]");
}

TEST(NodeIds, TwoSingleClassLeavesGiveOnlyTheRoot) {
  TreeNode t = split({1, 2}, leaf({1}), leaf({2}));
  EXPECT_EQ(trained_node_ids(t), std::vector<std::string>{"root"});
}

TEST(NodeIds, PreOrderWithSingleClassChildrenLeftOut) {
  // root -> ([1, 2], [3, 4, 5] -> ([3], [4, 5]))
  TreeNode t = split({1, 2, 3, 4, 5}, leaf({1, 2}), split({3, 4, 5}, leaf({3}), leaf({4, 5})));
  EXPECT_EQ(trained_node_ids(t), (std::vector<std::string>{"root", "root_L", "root_R", "root_R_R"}));
  TreeNode u = split({1, 2, 3, 4, 5}, leaf({1, 2}), split({3, 4, 5}, leaf({3, 4}), leaf({5})));
  EXPECT_EQ(trained_node_ids(u), (std::vector<std::string>{"root", "root_L", "root_R", "root_R_L"}));
  // A subtree is named from the identifier it is given.
  EXPECT_EQ(trained_node_ids(*t.right, "root_R"), (std::vector<std::string>{"root_R", "root_R_R"}));
  // A single leaf is still trained at the root.
  EXPECT_EQ(trained_node_ids(leaf({4})), std::vector<std::string>{"root"});
}

TEST(NodeIds, PreorderAndLookup) {
  TreeNode t = three_level_tree();
  std::vector<std::string> ids;
  for (const auto& [id, node] : preorder(t)) ids.push_back(id);
  EXPECT_EQ(ids, (std::vector<std::string>{"root", "root_L", "root_L_L", "root_L_R", "root_R", "root_R_L", "root_R_R",
                                           "root_R_R_L", "root_R_R_R"}));
  EXPECT_EQ(trained_node_ids(t), (std::vector<std::string>{"root", "root_L", "root_R", "root_R_R"}));
  ASSERT_NE(find_node(t, "root_R_R"), nullptr);
  EXPECT_EQ(find_node(t, "root_R_R")->classes, (std::vector<int64_t>{4, 5}));
  EXPECT_EQ(find_node(t, "root_R_L_L"), nullptr);
  EXPECT_EQ(find_node(t, "root_X"), nullptr);
  EXPECT_EQ(find_node(t, "rootless"), nullptr);
  EXPECT_EQ(find_node(t, "root"), &t);
  EXPECT_EQ(left_id("root_R"), "root_R_L");
  EXPECT_EQ(right_id("root"), "root_R");
}

TEST(TreeNode, CopiesDeeplyAndCompares) {
  TreeNode t = three_level_tree();
  TreeNode c = t;
  EXPECT_EQ(c, t);
  EXPECT_NE(c.right.get(), t.right.get());
  c.right->right->classes = {5, 4};
  EXPECT_NE(c, t);
  EXPECT_EQ(t.levels(), 4);
  EXPECT_TRUE(t.is_internal());
  EXPECT_TRUE(t.left->left->is_leaf());
}

TEST(ValidateTree, NamesTheBrokenNode) {
  EXPECT_NO_THROW(validate_tree(three_level_tree()));
  TreeNode overlap = split({1, 2, 3}, leaf({1, 2}), leaf({2, 3}));
  EXPECT_EQ(error_of<ValueError>([&] { validate_tree(overlap); }), "tree: class 2 is in both children");
  TreeNode missing = split({1, 2, 3}, leaf({1}), split({2, 4}, leaf({2}), leaf({4})));
  EXPECT_EQ(error_of<ValueError>([&] { validate_tree(missing); }),
            "tree: the children's classes [1] + [2, 4] do not make up the node's classes [1, 2, 3]");
  TreeNode one_child({1, 2});
  one_child.left = std::make_unique<TreeNode>(leaf({1}));
  EXPECT_EQ(error_of<ValueError>([&] { validate_tree(one_child); }),
            "tree: a node must have both children or neither (found only the left one)");
  TreeNode empty = split({1}, leaf({1}), leaf({}));
  EXPECT_EQ(error_of<ValueError>([&] { validate_tree(empty); }), "tree.right.classes: empty class list");
}

TEST(TrainedModels, KeepsInsertionOrderAndRejectsRepeats) {
  TrainedModels m;
  m.insert("root", node_entry({1, 2, 3}, 1, false));
  m.insert("root_R", node_entry({2, 3}, 1, false));
  TrainedModels more;
  more.insert("root_R_L", node_entry({2, 3}, 1, false));
  m.extend(std::move(more));
  EXPECT_EQ(m.keys(), (std::vector<std::string>{"root", "root_R", "root_R_L"}));
  EXPECT_TRUE(m.contains("root_R"));
  EXPECT_EQ(m.find("root_L"), nullptr);
  EXPECT_EQ(error_of<KeyError>([&] { m.at("root_L"); }), "'root_L'");
  EXPECT_EQ(error_of<ValueError>([&] { m.insert("root", node_entry({1}, 0, false)); }),
            "trained_models already holds node 'root'");
}

TEST(Records, EqualityLooksAtTensorValues) {
  NodeEntry a = node_entry({1, 2}, 2, true), b = node_entry({1, 2}, 2, true);
  EXPECT_EQ(a, b);
  b.forests[1].state_dict[0].second[0][0] += 1.0;
  EXPECT_NE(a, b);
  NodeEntry c = node_entry({1, 2}, 2, true);
  c.router_state.reset();
  EXPECT_NE(a, c);
  NodeEntry d = node_entry({1, 2}, 2, true);
  d.forests[0].state_dict[2].second = torch::tensor(7.0);  // same value, other dtype
  EXPECT_NE(a, d);
}

// ---------------------------------------------------------------------------
// IValue form

TEST(TreeIValue, HoldsTheFieldNamesAndRoundTrips) {
  const TreeNode t = three_level_tree();
  const c10::IValue v = tree_to_ivalue(t);
  auto root = as_dict(v);
  ASSERT_EQ(root.size(), 4u);
  std::vector<std::string> keys;
  for (const auto& item : root) keys.push_back(item.key().toStringRef());
  EXPECT_EQ(keys, (std::vector<std::string>{"classes", "left", "right", "split_angle"}));
  EXPECT_TRUE(as_dict(as_dict(root.at("left")).at("left")).at("left").isNone());
  EXPECT_EQ(tree_from_ivalue(v), t);
  EXPECT_EQ(tree_from_ivalue(through_pickle(v)), t);
}

TEST(TreeIValue, AcceptsExtraKeysAndEmptyChildren) {
  auto d = as_dict(tree_to_ivalue(split({1, 2}, leaf({1}), leaf({2}))));
  d.insert("builder_note", std::string("ignored"));
  auto l = as_dict(d.at("left"));
  l.insert_or_assign("left", c10::impl::GenericDict(c10::StringType::get(), c10::AnyType::get()));
  TreeNode t = tree_from_ivalue(d);
  EXPECT_EQ(t, split({1, 2}, leaf({1}), leaf({2})));
}

TEST(TreeIValue, ErrorsNameTheirPath) {
  auto d = as_dict(tree_to_ivalue(three_level_tree()));
  auto right = as_dict(d.at("right"));
  ASSERT_EQ(right.erase("left"), 1u);
  EXPECT_EQ(error_of<KeyError>([&] { tree_from_ivalue(d); }), "tree.right: missing key 'left'");

  auto e = as_dict(tree_to_ivalue(three_level_tree()));
  auto l = as_dict(e.at("left"));
  c10::impl::GenericList mixed(c10::AnyType::get());
  mixed.push_back(int64_t{1});
  mixed.push_back(std::string("two"));
  l.insert_or_assign("classes", mixed);
  EXPECT_EQ(error_of<TypeError>([&] { tree_from_ivalue(e); }), "tree.left.classes[1]: expected an integer, got a text");

  auto f = as_dict(tree_to_ivalue(three_level_tree()));
  as_dict(f.at("right")).insert_or_assign("right", c10::IValue(int64_t{3}));
  EXPECT_EQ(error_of<TypeError>([&] { tree_from_ivalue(f); }), "tree.right.right: expected a mapping, got an integer");

  EXPECT_EQ(error_of<TypeError>([&] { tree_from_ivalue(c10::IValue(c10::List<int64_t>({1, 2}))); }),
            "tree: expected a mapping, got a list");
}

TEST(TreeIValue, RefusesHostileDepthWithoutRecursingOn) {
  // A chain of nested left children far deeper than any real tree.
  c10::IValue chain = tree_to_ivalue(leaf({1}));
  for (int i = 0; i < 2000; ++i) {
    auto node = as_dict(tree_to_ivalue(leaf({1})));
    node.insert_or_assign("left", chain);
    node.insert_or_assign("right", tree_to_ivalue(leaf({2})));
    chain = node;
  }
  const std::string msg = error_of<ValueError>([&] { tree_from_ivalue(chain); });
  EXPECT_NE(msg.find("tree deeper than 512 levels"), std::string::npos) << msg;
}

TEST(TrainedModelsIValue, RoundTripsTwoNodes) {
  const TrainedModels m = two_node_models();
  const c10::IValue v = trained_models_to_ivalue(m);
  EXPECT_EQ(trained_models_from_ivalue(v), m);
  const TrainedModels back = trained_models_from_ivalue(through_pickle(v));
  EXPECT_EQ(back, m);
  EXPECT_EQ(back.keys(), (std::vector<std::string>{"root", "root_L"}));
  EXPECT_FALSE(back.at("root_L").router_state.has_value());
  EXPECT_EQ(back.at("root").forests[0].state_dict[2].second.scalar_type(), torch::kInt64);
  EXPECT_EQ(back.at("root").forests[0].state_dict[1].second.scalar_type(), torch::kFloat64);
}

TEST(TrainedModelsIValue, EntriesHoldExactlyTheFieldsInOrder) {
  const c10::IValue v = trained_models_to_ivalue(two_node_models());
  auto node = as_dict(as_dict(v).at("root"));
  std::vector<std::string> keys;
  for (const auto& item : node) keys.push_back(item.key().toStringRef());
  EXPECT_EQ(keys, kNodeEntryKeys);
  EXPECT_EQ(kNodeEntryKeys.size(), 9u);
  auto forest0 = as_dict(node.at("forests").toListRef()[0]);
  keys.clear();
  for (const auto& item : forest0) keys.push_back(item.key().toStringRef());
  EXPECT_EQ(keys, kForestEntryKeys);
  EXPECT_EQ(kForestEntryKeys.size(), 8u);
  auto g2l = as_dict(forest0.at("global_to_local"));
  EXPECT_EQ(g2l.at(int64_t{3}).toInt(), 3);
  EXPECT_EQ(g2l.at(int64_t{1}).toInt(), 1);
  EXPECT_TRUE(as_dict(as_dict(v).at("root_L")).at("router_state").isNone());
}

TEST(TrainedModelsIValue, WrongKindNamesItsPath) {
  auto v = as_dict(trained_models_to_ivalue(two_node_models()));
  auto forest0 = as_dict(as_dict(v.at("root_L")).at("forests").toListRef()[0]);
  forest0.insert_or_assign("num_bands", std::string("six"));
  EXPECT_EQ(error_of<TypeError>([&] { trained_models_from_ivalue(v); }),
            "trained_models.root_L.forests[0].num_bands: expected an integer, got a text");

  auto w = as_dict(trained_models_to_ivalue(two_node_models()));
  as_dict(w.at("root")).insert_or_assign("router_state", c10::IValue(c10::List<int64_t>({1})));
  EXPECT_EQ(error_of<TypeError>([&] { trained_models_from_ivalue(w); }),
            "trained_models.root.router_state: expected a mapping of names to tensors, got a list");

  auto x = as_dict(trained_models_to_ivalue(two_node_models()));
  auto sd = as_dict(as_dict(as_dict(x.at("root")).at("forests").toListRef()[1]).at("state_dict"));
  sd.insert_or_assign("stem.weight", 1.5);
  EXPECT_EQ(error_of<TypeError>([&] { trained_models_from_ivalue(x); }),
            "trained_models.root.forests[1].state_dict['stem.weight']: expected a tensor, got a real");

  auto y = as_dict(trained_models_to_ivalue(two_node_models()));
  as_dict(y.at("root")).insert_or_assign("forests", c10::IValue(int64_t{2}));
  EXPECT_EQ(error_of<TypeError>([&] { trained_models_from_ivalue(y); }),
            "trained_models.root.forests: expected a list of forest entries, got an integer");

  auto z = as_dict(trained_models_to_ivalue(two_node_models()));
  auto l2g = as_dict(as_dict(as_dict(z.at("root")).at("forests").toListRef()[0]).at("local_to_global"));
  l2g.insert_or_assign(int64_t{2}, std::string("x"));
  EXPECT_EQ(error_of<TypeError>([&] { trained_models_from_ivalue(z); }),
            "trained_models.root.forests[0].local_to_global[2]: expected an integer, got a text");

  EXPECT_EQ(error_of<TypeError>([&] { trained_models_from_ivalue(c10::IValue(std::string("models"))); }),
            "trained_models: expected a mapping, got a text");
}

TEST(TrainedModelsIValue, MissingAndUnknownKeysAreNamed) {
  auto v = as_dict(trained_models_to_ivalue(two_node_models()));
  ASSERT_EQ(as_dict(v.at("root")).erase("d_model"), 1u);
  EXPECT_EQ(error_of<KeyError>([&] { trained_models_from_ivalue(v); }), "trained_models.root: missing key 'd_model'");

  auto w = as_dict(trained_models_to_ivalue(two_node_models()));
  ASSERT_EQ(as_dict(as_dict(w.at("root_L")).at("forests").toListRef()[0]).erase("local_to_global"), 1u);
  EXPECT_EQ(error_of<KeyError>([&] { trained_models_from_ivalue(w); }),
            "trained_models.root_L.forests[0]: missing key 'local_to_global'");

  auto x = as_dict(trained_models_to_ivalue(two_node_models()));
  as_dict(x.at("root")).insert("num_band", int64_t{6});
  EXPECT_EQ(error_of<ValueError>([&] { trained_models_from_ivalue(x); }),
            "trained_models.root: unexpected key 'num_band'");
}

TEST(TrainedModelsIValue, InconsistentValuesAreRefused) {
  auto v = as_dict(trained_models_to_ivalue(two_node_models()));
  as_dict(as_dict(v.at("root")).at("forests").toListRef()[1]).insert_or_assign("num_bands", int64_t{7});
  EXPECT_EQ(error_of<ValueError>([&] { trained_models_from_ivalue(v); }),
            "trained_models.root.forests[1].num_bands: 7 differs from the node entry's 6");

  auto w = as_dict(trained_models_to_ivalue(two_node_models()));
  as_dict(w.at("root")).insert_or_assign("num_classes", int64_t{3});
  EXPECT_EQ(error_of<ValueError>([&] { trained_models_from_ivalue(w); }),
            "trained_models.root.num_classes: 3 does not match the 3 node classes (expected 4)");

  auto x = as_dict(trained_models_to_ivalue(two_node_models()));
  as_dict(x.at("root_L")).insert_or_assign("num_filters", int64_t{-2});
  EXPECT_EQ(error_of<ValueError>([&] { trained_models_from_ivalue(x); }),
            "trained_models.root_L.num_filters: -2 is below 1");

  // A local id past the network's channels would index outside its output.
  auto y = as_dict(trained_models_to_ivalue(two_node_models()));
  auto f = as_dict(as_dict(y.at("root_L")).at("forests").toListRef()[0]);
  c10::Dict<int64_t, int64_t> l2g;
  l2g.insert(1, 1);
  l2g.insert(5, 2);
  f.insert_or_assign("local_to_global", l2g);
  EXPECT_EQ(error_of<ValueError>([&] { trained_models_from_ivalue(y); }),
            "trained_models.root_L.forests[0].local_to_global: local ids must be 1..2, found 5");
}

// Python's torch.load reads the pickled records back with the same names.
TEST(TrainedModelsIValue, PythonTorchLoadReadsTheRecords) {
  const std::string python = LUMORA_TEST_PYTHON;
  if (python.empty()) GTEST_SKIP() << "no Python interpreter configured";
  if (std::system((python + " -c 'import torch' >/dev/null 2>&1").c_str()) != 0)
    GTEST_SKIP() << "Python without torch";
  testing::TempDir dir;
  auto bundle = c10::impl::GenericDict(c10::StringType::get(), c10::AnyType::get());
  bundle.insert("trained_models", trained_models_to_ivalue(two_node_models()));
  bundle.insert("tree", tree_to_ivalue(three_level_tree()));
  const std::vector<char> bytes = torch::pickle_save(bundle);
  {
    std::ofstream out(dir.file("bundle.pkl"), std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  const std::string script = dir.file("read.py");
  {
    std::ofstream out(script);
    out << "import sys, torch\n"
           "b = torch.load(sys.argv[1])\n"
           "tm, tree = b['trained_models'], b['tree']\n"
           "print(list(tm))\n"
           "r = tm['root']\n"
           "print(list(r))\n"
           "f = r['forests'][0]\n"
           "print(list(f))\n"
           "print(sorted(f['global_to_local'].items()), sorted(f['local_to_global'].items()))\n"
           "print(r['node_classes'], r['num_classes'], r['d_model'], tm['root_L']['router_state'])\n"
           "print(list(r['router_state']), tuple(r['router_state']['head.0.weight'].shape))\n"
           "print(f['state_dict']['bn.num_batches_tracked'].item(), f['state_dict']['stem.bias'].dtype)\n"
           "print(tree['classes'], tree['left']['classes'], tree['right']['right']['left']['classes'],\n"
           "      tree['left']['left']['left'])\n";
  }
  const std::string out_file = dir.file("out.txt");
  ASSERT_EQ(std::system((python + " " + script + " " + dir.file("bundle.pkl") + " > " + out_file + " 2>&1").c_str()), 0)
      << testing::read_file(out_file);
  EXPECT_EQ(testing::read_file(out_file),
            "['root', 'root_L']\n"
            "['forests', 'router_state', 'node_classes', 'num_classes', 'num_bands', 'num_filters', 'num_blocks', "
            "'base_filters', 'd_model']\n"
            "['state_dict', 'global_to_local', 'local_to_global', 'num_classes', 'num_bands', 'num_filters', "
            "'num_blocks', 'base_filters']\n"
            "[(1, 1), (2, 2), (3, 3)] [(1, 1), (2, 2), (3, 3)]\n"
            "[3, 1, 2] 4 8 None\n"
            "['head.0.weight', 'head.0.bias', 'head.2.weight', 'head.2.bias'] (32, 8)\n"
            "7 torch.float64\n"
            "[1, 2, 3, 4, 5] [1, 2] [4] None\n");
}

}  // namespace
}  // namespace lumora
