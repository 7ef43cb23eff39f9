#include "lumora/rssp/bundle.h"

#include <gtest/gtest.h>
#include <torch/serialize.h>

#include <fstream>

#include "lumora/core/errors.h"
#include "support/testing.h"

namespace lumora {
namespace {

Bundle sample_bundle() {
  Bundle b;
  b.tree = TreeNode({1, 2, 3}, TreeNode({1}), TreeNode({2, 3}));
  for (const auto& [id, classes] : std::vector<std::pair<std::string, std::vector<int64_t>>>{
           {"root", {1, 2, 3}}, {"root_R", {2, 3}}}) {
    NodeEntry e;
    ClassMaps maps = class_maps(classes);
    ForestEntry f;
    f.state_dict = {{"w", torch::randn({2, 3})}, {"n", torch::tensor(int64_t{4})}};
    f.global_to_local = maps.global_to_local;
    f.local_to_global = maps.local_to_global;
    f.num_classes = maps.num_classes;
    f.num_bands = 5;
    f.num_filters = 2;
    f.num_blocks = 1;
    f.base_filters = 4;
    e.forests = {f};
    e.node_classes = classes;
    e.num_classes = maps.num_classes;
    e.num_bands = 5;
    e.num_filters = 2;
    e.num_blocks = 1;
    e.base_filters = 4;
    e.d_model = 8;
    if (id == "root")
      e.router_state = StateDict{{"head.0.weight", torch::randn({32, 8})}, {"head.0.bias", torch::randn({32})},
                                 {"head.2.weight", torch::randn({1, 32})}, {"head.2.bias", torch::randn({1})}};
    b.trained_models.insert(id, e);
  }
  b.ssm_state = StateDict{{"ssm.out_proj.weight", torch::randn({8, 4})}};
  b.d_model = 8;
  b.d_state = 4;
  return b;
}

void write_dict(const std::string& path, const c10::impl::GenericDict& dict) {
  const auto bytes = torch::pickle_save(dict);
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

c10::impl::GenericDict bundle_dict(const std::string& path) {
  return torch::pickle_load(read_binary_file(path)).toGenericDict();
}

using testing::error_of;

}  // namespace

TEST(Bundle, RoundTripKeepsEveryRecord) {
  testing::TempDir dir;
  const Bundle b = sample_bundle();
  save_bundle(b, dir.file("spt_models.pkl"));
  std::vector<std::string> keys;
  for (const auto& item : bundle_dict(dir.file("spt_models.pkl"))) keys.push_back(item.key().toStringRef());
  EXPECT_EQ(keys, (std::vector<std::string>{"trained_models", "tree", "ssm_state", "d_model", "d_state"}));
  const Bundle back = load_bundle(dir.file("spt_models.pkl"));
  EXPECT_EQ(back.trained_models, b.trained_models);
  EXPECT_EQ(back.tree, b.tree);
  ASSERT_TRUE(back.ssm_state.has_value());
  EXPECT_TRUE(state_dicts_equal(*back.ssm_state, *b.ssm_state));
  EXPECT_EQ(back.d_model, 8);
  EXPECT_EQ(back.d_state, 4);
}

TEST(Bundle, OptionalEntriesDefault) {
  testing::TempDir dir;
  save_bundle(sample_bundle(), dir.file("b.pkl"));
  auto dict = bundle_dict(dir.file("b.pkl"));
  for (const char* key : {"ssm_state", "d_model", "d_state"}) ASSERT_EQ(dict.erase(key), 1u) << key;
  write_dict(dir.file("lean.pkl"), dict);
  const Bundle back = load_bundle(dir.file("lean.pkl"));
  EXPECT_FALSE(back.ssm_state.has_value());
  EXPECT_EQ(back.d_model, 64);
  EXPECT_EQ(back.d_state, 16);
}

TEST(Bundle, StructuralErrorsNameTheKeyOrPath) {
  testing::TempDir dir;
  const std::string path = dir.file("b.pkl");
  save_bundle(sample_bundle(), path);
  auto dict = bundle_dict(path);
  EXPECT_EQ(dict.erase("tree"), 1u);
  write_dict(dir.file("no-tree.pkl"), dict);
  EXPECT_THROW(load_bundle(dir.file("no-tree.pkl")), KeyError);
  EXPECT_NE(error_of([&] { load_bundle(dir.file("no-tree.pkl")); }).find("'tree'"), std::string::npos);

  // A size of the wrong kind deep inside the records.
  dict = bundle_dict(path);
  auto models = dict.at("trained_models").toGenericDict();
  auto entry = models.at("root").toGenericDict();
  auto forest = entry.at("forests").toList().get(0).toGenericDict();
  forest.insert_or_assign("num_bands", c10::IValue(std::string("five")));
  write_dict(dir.file("bad-kind.pkl"), dict);
  const std::string msg = error_of([&] { load_bundle(dir.file("bad-kind.pkl")); });
  EXPECT_NE(msg.find("trained_models.root.forests[0].num_bands"), std::string::npos) << msg;
  EXPECT_NE(msg.find(dir.file("bad-kind.pkl")), std::string::npos) << msg;

  dict = bundle_dict(path);
  dict.insert_or_assign("d_model", c10::IValue(2.5));
  write_dict(dir.file("bad-dmodel.pkl"), dict);
  EXPECT_THROW(load_bundle(dir.file("bad-dmodel.pkl")), TypeError);
}

TEST(Bundle, TruncatedAndForeignFilesNameTheFile) {
  testing::TempDir dir;
  save_bundle(sample_bundle(), dir.file("b.pkl"));
  auto bytes = read_binary_file(dir.file("b.pkl"));
  bytes.resize(bytes.size() / 2);
  write_binary_file(dir.file("cut.pkl"), bytes);
  EXPECT_EQ(error_of([&] { load_bundle(dir.file("cut.pkl")); }),
            "cannot read bundle '" + dir.file("cut.pkl") +
                "': truncated, or not a tensor file");
  std::ofstream(dir.file("text.pkl")) << "not a bundle";
  EXPECT_NE(error_of([&] { load_bundle(dir.file("text.pkl")); }).find(dir.file("text.pkl")), std::string::npos);
  save_state_dict({{"w", torch::ones({2})}}, dir.file("weights.pt"));
  EXPECT_EQ(error_of([&] { load_bundle(dir.file("weights.pt")); }),
            "bundle '" + dir.file("weights.pt") + "' has no 'trained_models' entry");
  EXPECT_THROW(load_bundle(dir.file("absent.pkl")), FileNotFoundError);
}

}  // namespace lumora
