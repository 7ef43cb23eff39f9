#include <gtest/gtest.h>

#include <ATen/Parallel.h>
#include <torch/torch.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "lumora/core/errors.h"
#include "lumora/core/state_dict.h"
#include "lumora/core/torch_compat.h"
#include "lumora/preprocessing/continuum_removal.h"

namespace lumora {
namespace {

// The lift each mode applies before the ratio (see continuum_removal.h).
std::vector<double> lifted(const std::vector<double>& s, bool use_fp16) {
  std::vector<double> out(s.size());
  const double lo = *std::min_element(s.begin(), s.end());
  for (size_t i = 0; i < s.size(); ++i) out[i] = use_fp16 ? std::max(s[i], 1e-3) : s[i] - lo + 1.0;
  return out;
}

// The upper hull at band i by brute force: the highest chord between two
// points on either side of i (a point on its own counts as a chord).
std::vector<double> brute_force(const std::vector<double>& s, bool use_fp16) {
  const auto y = lifted(s, use_fp16);
  const int64_t n = static_cast<int64_t>(y.size());
  std::vector<double> out(n);
  for (int64_t i = 0; i < n; ++i) {
    double hull = y[i];
    for (int64_t a = 0; a <= i; ++a)
      for (int64_t b = i; b < n; ++b)
        if (a < b) hull = std::max(hull, y[a] + (y[b] - y[a]) * static_cast<double>(i - a) / static_cast<double>(b - a));
    out[i] = y[i] / hull;
  }
  return out;
}

torch::Tensor one_pixel(const std::vector<double>& s) {
  return torch::tensor(s, torch::kFloat64).to(torch::kFloat32).view({1, -1, 1, 1});
}

std::vector<double> values(const torch::Tensor& t) {
  const auto flat = t.to(torch::kFloat64).contiguous().view(-1);
  return std::vector<double>(flat.data_ptr<double>(), flat.data_ptr<double>() + flat.numel());
}

TEST(ContinuumRemoval, RegistersNothing) {
  ContinuumRemoval cr;
  EXPECT_TRUE(cr->parameters().empty());
  EXPECT_TRUE(cr->buffers().empty());
  EXPECT_TRUE(state_dict(*cr).empty());
  EXPECT_FALSE(cr->options.use_fp16());
  EXPECT_TRUE(ContinuumRemoval(ContinuumRemovalOptions().use_fp16(true))->options.use_fp16());
}

TEST(ContinuumRemoval, KnownSpectra) {
  ContinuumRemoval cr;
  ContinuumRemoval cr16(ContinuumRemovalOptions().use_fp16(true));
  // A dip between two equal shoulders: lifted (2, 1, 2) against a flat hull.
  EXPECT_EQ(values(cr->forward(one_pixel({1, 0, 1}))), (std::vector<double>{1, 0.5, 1}));
  EXPECT_EQ(values(cr16->forward(one_pixel({1, 0.5, 1}))), (std::vector<double>{1, 0.5, 1}));
  // A sloping hull: from 0.2 to 0.8 over four steps, the middle at 0.25.
  const auto r = values(cr16->forward(one_pixel({0.2, 0.35, 0.25, 0.65, 0.8})));
  const std::vector<double> expected{1, 1, 0.25 / 0.5, 1, 1};
  for (size_t i = 0; i < r.size(); ++i) EXPECT_NEAR(r[i], expected[i], 1e-6) << i;
  // A concave spectrum is its own hull.
  EXPECT_EQ(values(cr16->forward(one_pixel({0.1, 0.5, 0.7, 0.5, 0.1}))), (std::vector<double>(5, 1.0)));
}

TEST(ContinuumRemoval, MatchesABruteForceHullOnRandomSpectra) {
  torch::manual_seed(123);
  for (bool use_fp16 : {false, true}) {
    ContinuumRemoval cr(ContinuumRemovalOptions().use_fp16(use_fp16));
    for (int64_t bands : {3, 7, 30, 200}) {
      // Standardised cubes for the default mode, [0, 1] scaled ones for the
      // other; some spectra with plateaus (repeated values) and steps.
      auto x = use_fp16 ? torch::rand({2, bands, 3, 4}) : torch::randn({2, bands, 3, 4}) * 2.5;
      x.select(3, 3).copy_(torch::round(x.select(3, 3) * 4) / 4);
      const auto y = cr->forward(x);
      ASSERT_EQ(y.sizes(), x.sizes());
      ASSERT_EQ(y.scalar_type(), torch::kFloat32);
      for (int64_t b = 0; b < 2; ++b)
        for (int64_t h = 0; h < 3; ++h)
          for (int64_t w = 0; w < 4; ++w) {
            const auto spectrum = values(x.index({b, torch::indexing::Slice(), h, w}));
            const auto expected = brute_force(spectrum, use_fp16);
            const auto got = values(y.index({b, torch::indexing::Slice(), h, w}));
            for (int64_t i = 0; i < bands; ++i)
              ASSERT_NEAR(got[i], expected[i], 2e-6) << "fp16=" << use_fp16 << " bands=" << bands << " i=" << i;
          }
    }
  }
}

TEST(ContinuumRemoval, HullPointsAreOneAndEverythingLiesInZeroOne) {
  torch::manual_seed(5);
  ContinuumRemoval cr;
  const auto y = cr->forward(torch::randn({1, 50, 6, 6}));
  EXPECT_GT(y.min().item<float>(), 0.0f);
  EXPECT_LE(y.max().item<float>(), 1.0f);
  // The first and last bands are always on the hull; so is the maximum.
  EXPECT_TRUE(torch::all(y.select(1, 0) == 1).item<bool>());
  EXPECT_TRUE(torch::all(y.select(1, 49) == 1).item<bool>());
}

TEST(ContinuumRemoval, DegenerateSpectraAreFiniteAndBounded) {
  for (bool use_fp16 : {false, true}) {
    ContinuumRemoval cr(ContinuumRemovalOptions().use_fp16(use_fp16));
    const float big = std::numeric_limits<float>::max();
    const std::vector<std::vector<double>> cases{
        {0, 0, 0, 0},            // zeros
        {-2.5, -2.5, -2.5},      // all equal, negative
        {3.0},                   // one band
        {-1.0, 4.0},             // two bands
        {-big, big, -big, big},  // the float range end to end
        {1e-30, -1e-30, 1e-30},  // tiny magnitudes
        {-7, -3, -9, -1, -8},    // standardised values, all negative
    };
    for (const auto& s : cases) {
      const auto y = cr->forward(one_pixel(s));
      const auto v = values(y);
      ASSERT_EQ(v.size(), s.size());
      for (double e : v) {
        EXPECT_TRUE(std::isfinite(e));
        EXPECT_GE(e, 0.0);
        EXPECT_LE(e, 1.0);
      }
      if (s.size() <= 2) {
        EXPECT_EQ(v, std::vector<double>(s.size(), 1.0));
      }
    }
    // Flat spectra are their own hull.
    EXPECT_TRUE(torch::all(cr->forward(torch::zeros({1, 9, 2, 2})) == 1).item<bool>());
    EXPECT_TRUE(torch::all(cr->forward(torch::full({1, 9, 2, 2}, -3.0)) == 1).item<bool>());
  }
  // Outside features the default mode keeps a margin from zero.
  ContinuumRemoval cr;
  const auto deep = values(cr->forward(one_pixel({-1, -1e6, -1})));
  EXPECT_GT(deep[1], 0.0);
}

TEST(ContinuumRemoval, DefaultModeIgnoresThePixelsOffset) {
  torch::manual_seed(8);
  ContinuumRemoval cr;
  const auto x = torch::randn({1, 20, 4, 4});
  EXPECT_TRUE(torch::allclose(cr->forward(x), cr->forward(x + 3.0), 1e-5, 1e-6));
}

TEST(ContinuumRemoval, WorksPerPixelWhateverTheLayout) {
  torch::manual_seed(9);
  ContinuumRemoval cr;
  const auto x = torch::randn({2, 15, 5, 3});
  const auto y = cr->forward(x);
  EXPECT_TRUE(y.is_contiguous());
  // The row form gives the same numbers.
  const auto rows = x.permute({0, 2, 3, 1}).reshape({-1, 15}).contiguous();
  const auto expected = continuum_remove_rows(rows, false).view({2, 5, 3, 15}).permute({0, 3, 1, 2});
  EXPECT_TRUE(torch::equal(y, expected));
  // Channels-last and sliced inputs give the same output.
  EXPECT_TRUE(torch::equal(cr->forward(x.contiguous(at::MemoryFormat::ChannelsLast)), y));
  const auto wide = torch::randn({2, 15, 5, 6});
  const auto sliced = wide.slice(3, 0, 6, 2);
  EXPECT_TRUE(torch::equal(cr->forward(sliced), cr->forward(sliced.contiguous())));
  // One pixel alone gives what it gives inside the image.
  EXPECT_TRUE(torch::equal(cr->forward(x.slice(0, 1, 2).slice(2, 4, 5).slice(3, 2, 3)),
                           y.slice(0, 1, 2).slice(2, 4, 5).slice(3, 2, 3)));
}

TEST(ContinuumRemoval, NeedsNoGradientAndIgnoresTheMode) {
  ContinuumRemoval cr;
  const auto x = torch::randn({1, 10, 3, 3}).requires_grad_(true);
  cr->train();
  const auto a = cr->forward(x);
  EXPECT_FALSE(a.requires_grad());
  cr->eval();
  EXPECT_TRUE(torch::equal(a, cr->forward(x)));
  // Other floating types are computed in float32 and returned as float32.
  const auto d = cr->forward(x.detach().to(torch::kFloat64));
  EXPECT_EQ(d.scalar_type(), torch::kFloat32);
  EXPECT_TRUE(torch::equal(d, a));
}

TEST(ContinuumRemoval, ParallelResultEqualsSerialResult) {
  torch::manual_seed(10);
  ContinuumRemoval cr;
  const auto x = torch::randn({1, 40, 40, 40});
  const int threads = at::get_num_threads();
  at::set_num_threads(1);
  const auto serial = cr->forward(x);
  at::set_num_threads(std::max(2, threads));
  const auto parallel = cr->forward(x);
  at::set_num_threads(threads);
  EXPECT_TRUE(torch::equal(serial, parallel));
}

TEST(ContinuumRemoval, RunsInFloat32AndLeavesTheCallersAutocastOn) {
  ContinuumRemoval cr;
  const auto x = torch::rand({1, 5, 3, 2}, torch::kFloat64);
  const bool before = compat::autocast_enabled();
  compat::set_autocast_enabled(true);
  const auto y = cr->forward(x);
  EXPECT_TRUE(compat::autocast_enabled());
  compat::set_autocast_enabled(false);
  EXPECT_EQ(y.scalar_type(), torch::kFloat32);
  EXPECT_TRUE(torch::equal(y, cr->forward(x.to(torch::kFloat32))));
  compat::set_autocast_enabled(before);
}

TEST(ContinuumRemoval, EmptyInputsAndWrongRanks) {
  ContinuumRemoval cr;
  EXPECT_EQ(cr->forward(torch::zeros({0, 5, 3, 3})).sizes(), (std::vector<int64_t>{0, 5, 3, 3}));
  EXPECT_EQ(cr->forward(torch::zeros({1, 0, 3, 3})).sizes(), (std::vector<int64_t>{1, 0, 3, 3}));
  try {
    cr->forward(torch::zeros({5, 3, 3}));
    FAIL() << "3-D input accepted";
  } catch (const ValueError& e) {
    EXPECT_STREQ(e.what(), "ContinuumRemoval expects a 4-D input (B, C, H, W), got 3 dimensions");
  }
  EXPECT_THROW(continuum_remove_rows(torch::zeros({3, 4}, torch::kFloat64), false), ValueError);
  EXPECT_THROW(continuum_remove_rows(torch::zeros({4, 3}).t(), false), ValueError);
}

}  // namespace
}  // namespace lumora
