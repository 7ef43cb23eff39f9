#include <gtest/gtest.h>

#include <torch/torch.h>

#include "lumora/core/errors.h"
#include "lumora/core/state_dict.h"
#include "lumora/core/torch_compat.h"
#include "lumora/models/cubeseg.h"
#include "network_support.h"
#include "support/testing.h"

namespace lumora {
namespace {

using testing::add_batch_norm;
using testing::add_conv_block;
using testing::count_parameters;
using testing::entries_of;
using testing::Entries;

// The checkpoint layout of a network, written out from the layer tables.
Entries expected_entries(int64_t bands, int64_t classes, int64_t filters = 8, int64_t blocks = 3, int64_t f = 32) {
  Entries out;
  for (int64_t i = 0; i < blocks; ++i) {
    const std::string p = "spectral_3d.stack." + std::to_string(i) + ".block.";
    out.push_back({p + "0.weight", {filters, i == 0 ? 1 : filters, 7, 3, 3}});
    out.push_back({p + "0.bias", {filters}});
    add_batch_norm(out, p + "1.", filters);
  }
  const int64_t so = filters * bands, h = so / 16;
  out.push_back({"chanweight.fc.0.weight", {h, so}});
  out.push_back({"chanweight.fc.0.bias", {h}});
  out.push_back({"chanweight.fc.2.weight", {so, h}});
  out.push_back({"chanweight.fc.2.bias", {so}});
  add_conv_block(out, "encoder.enc1.", so, f);
  add_conv_block(out, "encoder.enc2.", f, 2 * f);
  add_conv_block(out, "encoder.enc3.", 2 * f, 4 * f);
  add_conv_block(out, "encoder.enc4.", 4 * f, 8 * f);
  add_conv_block(out, "encoder.bottleneck.", 8 * f, 16 * f);
  for (int64_t level = 4; level >= 1; --level) {
    const std::string n = std::to_string(level);
    const int64_t in = f << level, o = f << (level - 1);
    out.push_back({"decoder.up" + n + ".weight", {in, o, 2, 2}});
    out.push_back({"decoder.up" + n + ".bias", {o}});
    add_conv_block(out, "decoder.dec" + n + ".", in, o);
  }
  out.push_back({"decoder.final.weight", {classes, f, 1, 1}});
  out.push_back({"decoder.final.bias", {classes}});
  return out;
}

TEST(HyperspectralNet, ParameterCounts) {
  HyperspectralNet net(HyperspectralNetOptions(200, 17));
  EXPECT_EQ(count_parameters(*net), 8556789);
  EXPECT_EQ(count_parameters(*net->spectral_3d), 8640);
  EXPECT_EQ(count_parameters(*net->chanweight), 321700);
  EXPECT_EQ(count_parameters(*net->encoder), 5176128);
  EXPECT_EQ(count_parameters(*net->decoder), 3050321);
  EXPECT_EQ(count_parameters(*net->continuum_removal), 0);
  EXPECT_EQ(count_parameters(*HyperspectralNet(HyperspectralNetOptions(103, 10))), 8096293);
}

TEST(HyperspectralNet, StateDictMatchesTheCheckpointLayout) {
  HyperspectralNet net(HyperspectralNetOptions(200, 17));
  const auto dict = state_dict(*net);
  EXPECT_EQ(entries_of(dict), expected_entries(200, 17));
  for (const auto& [k, v] : dict) EXPECT_NE(k.rfind("continuum_removal.", 0), 0u) << k;
  std::vector<std::string> children;
  for (const auto& c : net->named_children()) children.push_back(c.key());
  EXPECT_EQ(children, (std::vector<std::string>{"continuum_removal", "spectral_3d", "chanweight", "encoder", "decoder"}));
  EXPECT_EQ(entries_of(state_dict(*HyperspectralNet(HyperspectralNetOptions(103, 10).num_filters(4).num_blocks(2).base_filters(8)))),
            expected_entries(103, 10, 4, 2, 8));
}

TEST(HyperspectralNet, SmallSceneShapes) {
  torch::manual_seed(1);
  HyperspectralNet net(HyperspectralNetOptions(103, 10));
  net->eval();
  torch::NoGradGuard no_grad;
  const auto y = net->forward(torch::rand({2, 103, 20, 20}));
  EXPECT_EQ(y.sizes(), (std::vector<int64_t>{2, 10, 20, 20}));
  EXPECT_EQ(y.scalar_type(), torch::kFloat32);
  EXPECT_TRUE(torch::isfinite(y).all().item<bool>());
}

// A small configuration keeps the forward passes below cheap.
HyperspectralNet small_net(bool fp16 = false) {
  return HyperspectralNet(
      HyperspectralNetOptions(6, 4).num_filters(4).num_blocks(2).base_filters(4).use_fp16(fp16));
}

TEST(HyperspectralNet, StagesRunInOrder) {
  torch::manual_seed(2);
  auto net = small_net();
  net->eval();
  torch::NoGradGuard no_grad;
  const auto x = torch::randn({1, 6, 17, 19});
  auto h = net->continuum_removal->forward(x);
  h = net->chanweight->forward(net->spectral_3d->forward(h));
  const auto expected = net->decoder->forward(net->encoder->forward(h));
  const auto y = net->forward(x);
  EXPECT_EQ(y.sizes(), (std::vector<int64_t>{1, 4, 17, 19}));
  EXPECT_TRUE(torch::equal(y, expected));
}

TEST(HyperspectralNet, IntegerInputIsConvertedToFloat) {
  torch::manual_seed(3);
  auto net = small_net(true);
  net->eval();
  torch::NoGradGuard no_grad;
  const auto counts = torch::randint(0, 1000, {1, 6, 16, 16}, torch::kInt64);
  const auto y = net->forward(counts);
  EXPECT_EQ(y.scalar_type(), torch::kFloat32);
  EXPECT_TRUE(torch::equal(y, net->forward(counts.to(torch::kFloat32))));
  EXPECT_TRUE(torch::equal(net->forward(counts.to(torch::kInt16)), y));
}

TEST(HyperspectralNet, EvaluationIsRepeatableTrainingIsNot) {
  torch::manual_seed(4);
  auto net = small_net();
  // 32 pixels: batch normalisation in training mode needs a bottleneck of
  // more than one value per channel.
  const auto x = torch::randn({1, 6, 32, 32});
  net->eval();
  {
    torch::NoGradGuard no_grad;
    EXPECT_TRUE(torch::equal(net->forward(x), net->forward(x)));
  }
  net->train();
  EXPECT_FALSE(torch::equal(net->forward(x), net->forward(x)));
}

TEST(HyperspectralNet, ChannelsLastStackGivesTheSameOutput) {
  torch::manual_seed(5);
  auto net = small_net();
  auto converted = small_net();
  load_state_dict(*converted, state_dict(*net));
  use_channels_last_3d(*converted);
  for (const auto& p : converted->spectral_3d->stack->parameters()) {
    if (p.dim() == 5) {
      EXPECT_TRUE(compat::is_channels_last_3d(p));
    }
  }
  // Only the stack is converted.
  EXPECT_TRUE(converted->encoder->enc1->block[0]->as<torch::nn::Conv2d>()->weight.is_contiguous());
  EXPECT_EQ(testing::keys_of(state_dict(*converted)), testing::keys_of(state_dict(*net)));
  net->eval();
  converted->eval();
  torch::NoGradGuard no_grad;
  const auto x = torch::randn({1, 6, 16, 18});
  EXPECT_TRUE(torch::allclose(net->forward(x), converted->forward(x), 1e-5, 1e-5));
}

TEST(HyperspectralNet, TrainsThroughEveryStage) {
  torch::manual_seed(6);
  // 64 channels into the gate, so its bottleneck has more than one unit.
  HyperspectralNet net(HyperspectralNetOptions(16, 4).num_filters(4).num_blocks(2).base_filters(4));
  net->train();
  const auto x = torch::randn({1, 16, 32, 32});
  const auto target = torch::randint(0, 4, {1, 32, 32});
  const auto loss = torch::nn::functional::cross_entropy(
      net->forward(x), target, torch::nn::functional::CrossEntropyFuncOptions().ignore_index(0));
  loss.backward();
  for (const auto& p : net->named_parameters()) {
    ASSERT_TRUE(p.value().grad().defined()) << p.key();
    EXPECT_GT(p.value().grad().abs().sum().item<float>(), 0.0f) << p.key();
  }
}

TEST(HyperspectralNet, RejectsOtherRanksBeforeAnyLayer) {
  auto net = small_net();
  try {
    net->forward(torch::randn({6, 16, 16}));
    FAIL() << "3-D input accepted";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "HyperspectralNet expects a 4-D input (B, C, H, W), got a 3-D tensor of shape [6, 16, 16]");
  }
}

TEST(HyperspectralNet, LayerChecksStayWithTheLayers) {
  auto net = small_net();
  net->eval();
  torch::NoGradGuard no_grad;
  // Wrong band count: passes the stack, fails in the squeeze-and-excitation block.
  EXPECT_THROW(net->forward(torch::randn({1, 7, 16, 16})), c10::Error);
  // Below 16 pixels one of the poolings meets a 1-pixel map.
  EXPECT_ANY_THROW(net->forward(torch::randn({1, 6, 15, 16})));
}

TEST(HyperspectralNet, LeavesTheCallersAutocastStateAsItWas) {
  auto net = small_net();
  net->eval();
  torch::NoGradGuard no_grad;
  const auto x = torch::randn({1, 6, 16, 16});
  const bool before = compat::autocast_enabled();
  compat::set_autocast_enabled(true);
  const auto y = net->forward(x);
  EXPECT_TRUE(compat::autocast_enabled());
  compat::set_autocast_enabled(false);
  EXPECT_TRUE(torch::equal(y, net->forward(x)));
  EXPECT_FALSE(compat::autocast_enabled());
  // The guard restores the state also when the guarded call throws.
  compat::set_autocast_enabled(true);
  try {
    compat::AutocastOff off;
    EXPECT_FALSE(compat::autocast_enabled());
    throw RuntimeError("inside");
  } catch (const RuntimeError&) {
  }
  EXPECT_TRUE(compat::autocast_enabled());
  compat::set_autocast_enabled(before);
}

TEST(HyperspectralNet, StateDictRoundTripRebuildsTheSameNetwork) {
  torch::manual_seed(7);
  auto a = small_net();
  auto b = small_net();
  a->train();
  a->forward(torch::randn({1, 6, 32, 32}));  // moves the running statistics
  load_state_dict(*b, cpu_copy(state_dict(*a)));
  a->eval();
  b->eval();
  torch::NoGradGuard no_grad;
  const auto x = torch::randn({1, 6, 16, 16});
  EXPECT_TRUE(torch::equal(a->forward(x), b->forward(x)));
  // A network of another configuration refuses the checkpoint.
  auto other = HyperspectralNet(HyperspectralNetOptions(6, 5).num_filters(4).num_blocks(2).base_filters(4));
  EXPECT_THROW(load_state_dict(*other, state_dict(*a)), RuntimeError);
}

// The deepest batch normalisation needs two or more values: a training
// step at the smallest accepted size proves the bound, one below it fails.
TEST(HyperspectralNet, TrainableSizeIsTheDeepestLevelHoldingTwoPixels) {
  EXPECT_NO_THROW(check_trainable_size(16, 32));
  EXPECT_NO_THROW(check_trainable_size(32, 16));
  EXPECT_THROW(check_trainable_size(31, 31), ValueError);
  EXPECT_EQ(testing::error_of<ValueError>([] { check_trainable_size(20, 20); }),
            "a scene of 20 x 20 pixels is too small to train on: the network's deepest level would hold a single "
            "pixel (it needs at least 16 x 32 or 32 x 16 pixels)");
  HyperspectralNet net(HyperspectralNetOptions(8, 3).num_filters(2).base_filters(4));
  net->train();
  EXPECT_NO_THROW(net->forward(torch::rand({1, 8, 16, 32})).sum().backward());
  EXPECT_THROW(net->forward(torch::rand({1, 8, 31, 31})), c10::Error);
}

}  // namespace
}  // namespace lumora
