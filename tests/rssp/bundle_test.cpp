#include "lumora/rssp/bundle.h"

#include <gtest/gtest.h>
#include <torch/serialize.h>

#include <cmath>
#include <fstream>
#include <functional>

#include "lumora/core/atomic_file.h"
#include "lumora/core/errors.h"
#include "support/sample_bundle.h"
#include "support/testing.h"

namespace lumora {
namespace {

using testing::sample_bundle;


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

TEST(Bundle, SplitRecordRoundTripsAfterTheOtherEntries) {
  testing::TempDir dir;
  Bundle b = sample_bundle();
  b.split = SplitProtocol();
  b.split->train_ratio = 0.3, b.split->val_ratio = 0.15, b.split->seed = 4294967295;
  save_bundle(b, dir.file("b.pkl"));
  auto dict = bundle_dict(dir.file("b.pkl"));
  std::vector<std::string> keys;
  for (const auto& item : dict) keys.push_back(item.key().toStringRef());
  EXPECT_EQ(keys, (std::vector<std::string>{"trained_models", "tree", "ssm_state", "d_model", "d_state", "split"}));
  auto split = dict.at("split").toGenericDict();
  EXPECT_TRUE(split.at("train_ratio").isDouble());
  EXPECT_TRUE(split.at("seed").isInt());
  const Bundle back = load_bundle(dir.file("b.pkl"));
  ASSERT_TRUE(back.split.has_value());
  EXPECT_EQ(*back.split, *b.split);
  EXPECT_EQ(back.trained_models, b.trained_models);

  // Absent (older bundles) or none: no record.
  dict.insert_or_assign("split", c10::IValue());
  write_dict(dir.file("none.pkl"), dict);
  EXPECT_FALSE(load_bundle(dir.file("none.pkl")).split.has_value());
  save_bundle(sample_bundle(), dir.file("old.pkl"));
  EXPECT_FALSE(load_bundle(dir.file("old.pkl")).split.has_value());
}

TEST(Bundle, SplitRecordIsValidatedNamingTheEntry) {
  testing::TempDir dir;
  Bundle b = sample_bundle();
  b.split = SplitProtocol();
  const std::string path = dir.file("b.pkl");
  save_bundle(b, path);
  auto with_split = [&](const std::function<void(c10::impl::GenericDict&)>& edit) {
    auto dict = bundle_dict(path);
    auto split = dict.at("split").toGenericDict();
    edit(split);
    write_dict(dir.file("edited.pkl"), dict);
    return error_of([&] { load_bundle(dir.file("edited.pkl")); });
  };
  const std::string head = "bundle '" + dir.file("edited.pkl") + "': split";
  EXPECT_EQ(with_split([](auto& s) { s.insert_or_assign("train_ratio", c10::IValue(std::nan(""))); }),
            head + ".train_ratio must be a number from 0 to 1, got nan");
  EXPECT_EQ(with_split([](auto& s) { s.insert_or_assign("val_ratio", c10::IValue(1.5)); }),
            head + ".val_ratio must be a number from 0 to 1, got 1.5");
  EXPECT_EQ(with_split([](auto& s) { s.insert_or_assign("val_ratio", c10::IValue(std::string("0.1"))); }),
            head + ".val_ratio is a string, not a number");
  EXPECT_EQ(with_split([](auto& s) { s.insert_or_assign("seed", c10::IValue(int64_t{-1})); }),
            head + ".seed must be from 0 to 2**32 - 1, got -1");
  EXPECT_EQ(with_split([](auto& s) { s.insert_or_assign("seed", c10::IValue(7.0)); }),
            head + ".seed must be an integer from 0 to 2**32 - 1, got 7.0");
  EXPECT_EQ(with_split([](auto& s) { EXPECT_EQ(s.erase("seed"), 1u); }), head + " has no 'seed' entry");
  EXPECT_EQ(with_split([](auto& s) { s.insert("shuffle", c10::IValue(true)); }),
            head + " has an unexpected key 'shuffle'");
  // A whole ratio written as an integer is still a ratio.
  EXPECT_EQ(with_split([](auto& s) { s.insert_or_assign("train_ratio", c10::IValue(int64_t{1})); }), "no error");

  auto dict = bundle_dict(path);
  dict.insert_or_assign("split", c10::IValue(int64_t{3}));
  write_dict(dir.file("flat.pkl"), dict);
  EXPECT_EQ(error_of<TypeError>([&] { load_bundle(dir.file("flat.pkl")); }),
            "bundle '" + dir.file("flat.pkl") + "': split is a Int, not a mapping");
}

}  // namespace lumora
