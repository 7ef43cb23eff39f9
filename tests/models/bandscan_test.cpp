#include <gtest/gtest.h>

#include <torch/torch.h>

#include <string>
#include <vector>

#include "lumora/core/errors.h"
#include "lumora/core/state_dict.h"
#include "lumora/core/torch_compat.h"
#include "lumora/models/bandscan.h"
#include "lumora/preprocessing/continuum_removal.h"

namespace lumora {
namespace {

int64_t count_parameters(const torch::nn::Module& m) {
  int64_t n = 0;
  for (const auto& p : m.parameters()) n += p.numel();
  return n;
}

std::vector<std::string> keys_of(const StateDict& dict) {
  std::vector<std::string> keys;
  for (const auto& [k, v] : dict) keys.push_back(k);
  return keys;
}

// Keys and shapes as the checkpoint format fixes them (F filters, T = 3F, D).
std::vector<std::pair<std::string, std::vector<int64_t>>> expected_ssm_entries(int64_t f, int64_t d) {
  std::vector<std::pair<std::string, std::vector<int64_t>>> out;
  const int64_t t = 3 * f;
  for (const auto& [name, k] : std::vector<std::pair<std::string, int64_t>>{
           {"narrow_branch", 7}, {"mid_branch", 15}, {"wide_branch", 31}}) {
    const std::string p = name + ".";
    out.push_back({p + "0.weight", {f, 1, k}});
    out.push_back({p + "0.bias", {f}});
    for (const std::string bn : {"1.", "4."}) {
      if (bn == "4.") {
        out.push_back({p + "3.weight", {f, f, k}});
        out.push_back({p + "3.bias", {f}});
      }
      out.push_back({p + bn + "weight", {f}});
      out.push_back({p + bn + "bias", {f}});
      out.push_back({p + bn + "running_mean", {f}});
      out.push_back({p + bn + "running_var", {f}});
      out.push_back({p + bn + "num_batches_tracked", {}});
    }
  }
  out.push_back({"se_gate.2.weight", {t / 2, t}});
  out.push_back({"se_gate.2.bias", {t / 2}});
  out.push_back({"se_gate.4.weight", {t, t / 2}});
  out.push_back({"se_gate.4.bias", {t}});
  out.push_back({"out_proj.0.weight", {d, t}});
  out.push_back({"out_proj.0.bias", {d}});
  out.push_back({"out_proj.1.weight", {d}});
  out.push_back({"out_proj.1.bias", {d}});
  return out;
}

void expect_entries(const StateDict& dict, const std::vector<std::pair<std::string, std::vector<int64_t>>>& expected,
                    const std::string& prefix) {
  ASSERT_EQ(dict.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(dict[i].first, prefix + expected[i].first);
    EXPECT_EQ(dict[i].second.sizes().vec(), expected[i].second) << dict[i].first;
  }
}

}  // namespace

TEST(SpectralSSM, DefaultsHave20344ParametersAndCheckpointKeys) {
  SpectralSSM ssm;
  EXPECT_EQ(ssm->d_model, 64);
  EXPECT_EQ(ssm->filters, 16);
  EXPECT_EQ(ssm->total_filters, 48);
  EXPECT_EQ(count_parameters(*ssm), 20344);
  expect_entries(state_dict(*ssm), expected_ssm_entries(16, 64), "");
  const auto& gate_hidden = state_dict_at(state_dict(*ssm), "se_gate.2.weight");
  EXPECT_EQ(gate_hidden.size(0), 24);
}

TEST(SpectralSSM, OtherSizesAndFloorOfGateWidth) {
  SpectralSSM ssm(SpectralSSMOptions().d_model(10).d_state(3));  // T = 9, hidden 4
  expect_entries(state_dict(*ssm), expected_ssm_entries(3, 10), "");
  EXPECT_EQ(ssm->forward(torch::randn({4, 20})).sizes().vec(), (std::vector<int64_t>{4, 10}));
  EXPECT_THROW(SpectralSSM(SpectralSSMOptions().d_model(0)), ValueError);
  EXPECT_THROW(SpectralSSM(SpectralSSMOptions().d_state(0)), ValueError);
}

TEST(SpectralSSM, ForwardShapesIncludingOneBand) {
  SpectralSSM ssm;
  EXPECT_EQ(ssm->forward(torch::randn({5, 200})).sizes().vec(), (std::vector<int64_t>{5, 64}));
  EXPECT_EQ(ssm->forward(torch::randn({5, 1})).sizes().vec(), (std::vector<int64_t>{5, 64}));
  EXPECT_THROW(ssm->forward(torch::randn({5, 1, 3})), ValueError);
}

TEST(SpectralSSM, BranchesKeepTheBandLength) {
  SpectralSSM ssm(SpectralSSMOptions().d_state(2));
  for (int64_t c : {1, 2, 6, 7, 15, 16, 31, 40}) {
    const auto x = torch::randn({3, 1, c});
    for (auto* branch : {&ssm->narrow_branch, &ssm->mid_branch, &ssm->wide_branch})
      EXPECT_EQ((*branch)->forward(x).sizes().vec(), (std::vector<int64_t>{3, 2, c})) << c;
  }
}

TEST(SpectralSSM, UsesExactGelu) {
  SpectralSSM ssm(SpectralSSMOptions().d_state(2));
  const auto x = torch::linspace(-3, 3, 13);
  const auto exact = 0.5 * x * (1 + torch::erf(x / std::sqrt(2.0)));
  const auto y = ssm->narrow_branch[2]->as<torch::nn::GELU>()->forward(x);
  EXPECT_LT((y - exact).abs().max().item<double>(), 1e-6);
  // The tanh approximation is off by up to ~1e-3 on this range.
  const auto approx = torch::gelu(x, "tanh");
  EXPECT_GT((y - approx).abs().max().item<double>(), 1e-4);
  EXPECT_EQ(ssm->se_gate[3]->as<torch::nn::GELU>()->options.approximate(), "none");
}

TEST(SpectralSSM, FingerprintsAreLayerNormalised) {
  torch::manual_seed(1);
  SpectralSSM ssm(SpectralSSMOptions().d_state(4));
  for (bool training : {true, false}) {
    ssm->train(training);
    torch::NoGradGuard no_grad;
    const auto fp = ssm->forward(torch::rand({8, 30}));
    const auto mean = fp.mean(1);
    const auto var = fp.var(1, /*unbiased=*/false);
    EXPECT_LT(mean.abs().max().item<double>(), 1e-5);
    EXPECT_LT(var.max().item<double>(), 1.0);   // var / (var + eps)
    EXPECT_GT(var.min().item<double>(), 0.99);
  }
}

TEST(SpectralSSM, EvaluationIsPerPixelTrainingUsesBatchStatistics) {
  torch::manual_seed(2);
  SpectralSSM ssm(SpectralSSMOptions().d_state(4));
  const auto x = torch::rand({6, 25});
  torch::NoGradGuard no_grad;
  ssm->eval();
  EXPECT_TRUE(torch::allclose(ssm->forward(x).narrow(0, 0, 1), ssm->forward(x.narrow(0, 0, 1)), 1e-5, 1e-6));
  ssm->train();
  const auto together = ssm->forward(x).narrow(0, 0, 2);
  const auto apart = ssm->forward(x.narrow(0, 0, 2));
  EXPECT_FALSE(torch::allclose(together, apart, 1e-3, 1e-4));
}

TEST(SpectralSSMEncoder, KeysAreContinuumThenSsm) {
  SpectralSSMEncoder enc;
  EXPECT_EQ(enc->d_model, 64);
  // Continuum removal registers nothing, so the checkpoint holds ssm.* only.
  EXPECT_TRUE(state_dict(*enc->continuum).empty());
  expect_entries(state_dict(*enc), expected_ssm_entries(16, 64), "ssm.");
  std::vector<std::string> children;
  for (const auto& c : enc->named_children()) children.push_back(c.key());
  EXPECT_EQ(children, (std::vector<std::string>{"continuum", "ssm"}));
  SpectralSSMEncoder small(SpectralSSMEncoderOptions().d_model(8).d_state(2));
  expect_entries(state_dict(*small), expected_ssm_entries(2, 8), "ssm.");
}

TEST(SpectralSSMEncoder, EachFingerprintIsTheSsmOfItsOwnPixel) {
  torch::manual_seed(3);
  SpectralSSMEncoder enc;
  // Non-trivial running statistics, so evaluation mode is really exercised.
  enc->train();
  enc->forward(torch::randn({2, 103, 4, 6}) * 3 + 1);
  enc->eval();
  torch::NoGradGuard no_grad;
  const auto x = torch::randn({2, 103, 4, 6});
  const auto out = enc->forward(x);
  EXPECT_EQ(out.sizes().vec(), (std::vector<int64_t>{2, 64, 4, 6}));
  EXPECT_FALSE(out.is_contiguous());  // a permuted view of the fingerprint rows
  EXPECT_EQ(out.scalar_type(), torch::kFloat32);
  for (int64_t b = 0; b < 2; ++b)
    for (int64_t h = 0; h < 4; ++h)
      for (int64_t w = 0; w < 6; ++w) {
        const auto spectrum = x.index({b, torch::indexing::Slice(), h, w}).unsqueeze(0).contiguous();
        const auto alone = enc->ssm->forward(continuum_remove_rows(spectrum, false)).squeeze(0);
        const auto got = out.index({b, torch::indexing::Slice(), h, w});
        ASSERT_TRUE(torch::allclose(got, alone, 1e-5, 1e-5)) << b << "," << h << "," << w;
      }
}

TEST(SpectralSSMEncoder, AcceptsIntegerInputRejectsOtherRanksRestoresAutocast) {
  SpectralSSMEncoder enc(SpectralSSMEncoderOptions().d_model(8).d_state(2));
  enc->eval();
  torch::NoGradGuard no_grad;
  const auto ints = torch::randint(0, 100, {1, 12, 3, 2}, torch::kInt32);
  const auto a = enc->forward(ints);
  const auto b = enc->forward(ints.to(torch::kFloat32));
  EXPECT_TRUE(torch::equal(a, b));
  EXPECT_THROW(enc->forward(torch::randn({12, 3, 2})), ValueError);

  compat::set_autocast_enabled(true);
  enc->forward(torch::randn({1, 12, 3, 2}));
  EXPECT_TRUE(compat::autocast_enabled());
  compat::set_autocast_enabled(false);
}

TEST(SpectralSSMEncoder, CloneCopiesWeights) {
  SpectralSSMEncoder enc(SpectralSSMEncoderOptions().d_model(8).d_state(2));
  auto copy = std::dynamic_pointer_cast<SpectralSSMEncoderImpl>(enc->clone());
  ASSERT_TRUE(copy);
  const auto a = state_dict(*enc), b = state_dict(*copy);
  ASSERT_EQ(keys_of(a), keys_of(b));
  for (size_t i = 0; i < a.size(); ++i) EXPECT_TRUE(torch::equal(a[i].second, b[i].second)) << a[i].first;
}

TEST(FingerprintMap, BandedMapEqualsOnePassMap) {
  torch::manual_seed(4);
  SpectralSSMEncoder enc(SpectralSSMEncoderOptions().d_model(16).d_state(4));
  enc->train();
  enc->forward(torch::randn({1, 10, 8, 8}));  // move the running statistics off their start
  const auto data = torch::randn({10, 70, 5});
  const auto fp_map = fingerprint_map(enc, data, torch::kCPU);  // bands of 32, 32 and 6 rows
  EXPECT_FALSE(enc->is_training());
  EXPECT_EQ(fp_map.sizes().vec(), (std::vector<int64_t>{70, 5, 16}));
  EXPECT_EQ(fp_map.scalar_type(), torch::kFloat32);
  EXPECT_TRUE(fp_map.device().is_cpu());
  EXPECT_FALSE(fp_map.requires_grad());
  torch::Tensor one_pass;
  {
    torch::NoGradGuard no_grad;
    one_pass = enc->forward(data.unsqueeze(0)).squeeze(0).permute({1, 2, 0});
  }
  EXPECT_TRUE(torch::allclose(fp_map, one_pass, 1e-5, 1e-6));
  // Every row was written (no band left at zero).
  EXPECT_GT(fp_map.abs().sum({1, 2}).min().item<double>(), 0.0);

  const auto odd = fingerprint_map(enc, data, torch::kCPU, FingerprintMapOptions().chunk_rows(7));
  EXPECT_TRUE(torch::allclose(odd, one_pass, 1e-5, 1e-6));
  EXPECT_THROW(fingerprint_map(enc, data, torch::kCPU, FingerprintMapOptions().chunk_rows(0)), ValueError);
  EXPECT_THROW(fingerprint_map(enc, data.unsqueeze(0), torch::kCPU), ValueError);
}

}  // namespace lumora
