#include <gtest/gtest.h>

#include <torch/torch.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "lumora/core/errors.h"
#include "lumora/core/state_dict.h"
#include "support/testing.h"

namespace lumora {
namespace {

using testing::TempDir;

std::vector<std::string> keys_of(const StateDict& dict) {
  std::vector<std::string> keys;
  for (const auto& [k, v] : dict) keys.push_back(k);
  return keys;
}

// Registers, in this order: a child, a parameter, a buffer, a second child,
// a second parameter. PyTorch lists own parameters, then own buffers, then
// the children in registration order.
struct MixedImpl : torch::nn::Module {
  MixedImpl() {
    first = register_module("first", torch::nn::Linear(2, 3));
    scale = register_parameter("scale", torch::ones({3}));
    register_buffer("counter", torch::zeros({1}, torch::kInt64));
    second = register_module("second", torch::nn::Sequential(torch::nn::BatchNorm1d(3), torch::nn::ReLU(),
                                                             torch::nn::Linear(3, 1)));
    offset = register_parameter("offset", torch::zeros({1}));
  }
  torch::nn::Linear first{nullptr};
  torch::nn::Sequential second{nullptr};
  torch::Tensor scale, offset;
};
TORCH_MODULE(Mixed);

TEST(StateDict, OrderedAsPyTorchOrdersIt) {
  Mixed m;
  EXPECT_EQ(keys_of(state_dict(*m)),
            (std::vector<std::string>{"scale", "offset", "counter", "first.weight", "first.bias", "second.0.weight",
                                      "second.0.bias", "second.0.running_mean", "second.0.running_var",
                                      "second.0.num_batches_tracked", "second.2.weight", "second.2.bias"}));
  // The entries are the module's own tensors, not copies.
  EXPECT_TRUE(state_dict_at(state_dict(*m), "scale").is_same(m->scale));
}

TEST(StateDict, CpuCopyIsDetachedAndIndependent) {
  Mixed m;
  const auto copy = cpu_copy(state_dict(*m));
  ASSERT_EQ(keys_of(copy), keys_of(state_dict(*m)));
  const auto& scale = state_dict_at(copy, "scale");
  EXPECT_FALSE(scale.requires_grad());
  {
    torch::NoGradGuard no_grad;
    m->scale.fill_(5);
  }
  EXPECT_TRUE(torch::equal(scale, torch::ones({3})));
}

TEST(StateDict, MissingKeyIsAKeyError) {
  Mixed m;
  try {
    state_dict_at(state_dict(*m), "nope");
    FAIL();
  } catch (const KeyError& e) {
    EXPECT_STREQ(e.what(), "'nope'");
  }
}

TEST(StateDict, LoadCopiesValuesIntoTheModule) {
  torch::manual_seed(1);
  Mixed a, b;
  {
    torch::NoGradGuard no_grad;
    a->scale.uniform_();
    a->named_buffers()["counter"].fill_(7);
  }
  // Values of another floating type are converted, as copy_ does.
  StateDict given;
  for (const auto& [k, v] : state_dict(*a))
    given.emplace_back(k, v.is_floating_point() ? v.to(torch::kFloat64) : v);
  load_state_dict(*b, given);
  for (const auto& [k, v] : state_dict(*b)) {
    EXPECT_TRUE(torch::equal(v, state_dict_at(state_dict(*a), k))) << k;
    EXPECT_EQ(v.scalar_type(), state_dict_at(state_dict(*a), k).scalar_type()) << k;
  }
  // The module keeps its own tensors.
  EXPECT_TRUE(state_dict_at(state_dict(*b), "scale").is_same(b->scale));
}

TEST(StateDict, StrictLoadListsEveryProblemAndChangesNothing) {
  torch::nn::Linear target(3, 2);
  const auto before = cpu_copy(state_dict(*target));
  StateDict given{{"weight", torch::zeros({3, 2})}, {"extra", torch::zeros({1})}, {"other", torch::zeros({1})}};
  try {
    load_state_dict(*target, given);
    FAIL() << "loaded";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Error(s) in loading state_dict for Linear:\n"
              "\tMissing key(s) in state_dict: \"bias\".\n"
              "\tUnexpected key(s) in state_dict: \"extra\", \"other\".\n"
              "\tsize mismatch for weight: copying a param with shape torch.Size([3, 2]) from checkpoint, the shape "
              "in current model is torch.Size([2, 3]).");
  }
  for (const auto& [k, v] : state_dict(*target)) EXPECT_TRUE(torch::equal(v, state_dict_at(before, k))) << k;
  // Our own modules are named as Python names them.
  Mixed m;
  try {
    load_state_dict(*m, {});
    FAIL();
  } catch (const RuntimeError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Error(s) in loading state_dict for Mixed:\n\tMissing key(s)", 0), 0u)
        << e.what();
  }
}

TEST(StateDict, ValuesOfAnotherKindAreNotCopiedIntoWeights) {
  torch::nn::Linear target(2, 1);
  try {
    load_state_dict(*target, {{"weight", torch::ones({1, 2}, torch::kLong)}, {"bias", torch::zeros({1}, torch::kDouble)}});
    FAIL() << "loaded";
  } catch (const RuntimeError& e) {
    // Another float width converts safely; integers do not become weights.
    EXPECT_EQ(std::string(e.what()),
              "Error(s) in loading state_dict for Linear:\n"
              "\ttype mismatch for weight: copying a param of type Long from checkpoint, the type in current model "
              "is Float.");
  }
}

TEST(StateDict, FileRoundTripKeepsOrderValuesAndTypes) {
  TempDir dir;
  torch::manual_seed(2);
  Mixed m;
  const std::string path = dir.file("weights.pth");
  save_state_dict(state_dict(*m), path);
  EXPECT_FALSE(std::filesystem::exists(path + ".part"));
  const auto loaded = load_state_dict_file(path);
  ASSERT_EQ(keys_of(loaded), keys_of(state_dict(*m)));
  for (const auto& [k, v] : loaded) {
    const auto& own = state_dict_at(state_dict(*m), k);
    EXPECT_EQ(v.scalar_type(), own.scalar_type()) << k;
    EXPECT_EQ(v.sizes(), own.sizes()) << k;
    EXPECT_TRUE(torch::equal(v, own)) << k;
  }
  Mixed fresh;
  load_state_dict(*fresh, loaded);
  EXPECT_TRUE(torch::equal(fresh->first->weight, m->first->weight));
}

// Writes a pickled value the way save_state_dict writes a state dict.
void write_value(const std::string& path, const c10::IValue& value) {
  const auto bytes = torch::pickle_save(value);
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

template <typename Error>
std::string error_of(const std::string& path) {
  try {
    load_state_dict_file(path);
  } catch (const Error& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(StateDict, FilesHoldingAnythingElseAreRefused) {
  TempDir dir;
  const std::string list = dir.file("list.pt");
  write_value(list, c10::List<torch::Tensor>({torch::ones(1), torch::ones(2)}));
  EXPECT_EQ(error_of<TypeError>(list), "'" + list + "' holds a GenericList, not a mapping of names to tensors");

  const std::string number = dir.file("number.pt");
  c10::impl::GenericDict with_number(c10::StringType::get(), c10::AnyType::get());
  with_number.insert("a", torch::ones(1));
  with_number.insert("epoch", int64_t{3});
  write_value(number, with_number);
  EXPECT_EQ(error_of<TypeError>(number), "'" + number + "' entry 'epoch' is a Int, not a tensor");

  const std::string nested = dir.file("nested.pt");
  c10::impl::GenericDict inner(c10::StringType::get(), c10::AnyType::get());
  c10::impl::GenericDict outer(c10::StringType::get(), c10::AnyType::get());
  inner.insert("w", torch::ones(1));
  outer.insert("model", inner);
  outer.insert("b", torch::ones(1));
  write_value(nested, outer);
  EXPECT_EQ(error_of<TypeError>(nested), "'" + nested + "' entry 'model' is a GenericDict, not a tensor");

  const std::string int_keys = dir.file("int_keys.pt");
  c10::Dict<int64_t, torch::Tensor> by_number;
  by_number.insert(1, torch::ones(1));
  by_number.insert(2, torch::ones(1));
  write_value(int_keys, by_number);
  EXPECT_EQ(error_of<TypeError>(int_keys), "'" + int_keys + "' has a key that is not text (Int)");

  const std::string none = dir.file("none.pt");
  write_value(none, c10::IValue());
  EXPECT_EQ(error_of<TypeError>(none), "'" + none + "' holds a None, not a mapping of names to tensors");

  const std::string text = dir.file("notes.txt");
  std::ofstream(text) << "not a tensor file\n";
  EXPECT_EQ(error_of<RuntimeError>(text).rfind("cannot read '" + text +
                                                   "': not a mapping of names to tensors saved by torch.save or this "
                                                   "program",
                                               0),
            0u);

  const std::string missing = dir.file("absent.pth");
  EXPECT_EQ(error_of<FileNotFoundError>(missing), "No such file: '" + missing + "'");
}

TEST(StateDict, FailedWritesLeaveNoFile) {
  TempDir dir;
  const std::string path = dir.file("no/such/dir/w.pth");
  EXPECT_THROW(save_state_dict({{"a", torch::ones(1)}}, path), FileNotFoundError);
  EXPECT_FALSE(std::filesystem::exists(path));
  // Saving over an existing file replaces it whole.
  const std::string target = dir.file("w.pth");
  save_state_dict({{"a", torch::ones(1)}, {"b", torch::zeros(2)}}, target);
  save_state_dict({{"c", torch::ones(3)}, {"d", torch::zeros(1)}}, target);
  EXPECT_EQ(keys_of(load_state_dict_file(target)), (std::vector<std::string>{"c", "d"}));
}

}  // namespace
}  // namespace lumora
