// The few-labels parts of training: views keep every label on its pixel,
// per-class draws are balanced and redrawn, pseudo-labels come from
// predictions alone, and the recipe changes a run only when asked.
#include <gtest/gtest.h>

#include <torch/torch.h>

#include <algorithm>
#include <set>

#include "lumora/metrics/segmentation.h"
#include "lumora/training/few_labels.h"
#include "lumora/training/spectral_prior.h"
#include "lumora/training/fit.h"
#include "support/testing.h"

namespace lumora {
namespace {

// A scene whose band 0 and band 1 spell each pixel's row and column, and a
// target holding the same pixel's flat index + 1.
std::pair<torch::Tensor, torch::Tensor> coded_scene(int64_t h, int64_t w) {
  auto rows = torch::arange(h, torch::kFloat32).view({h, 1}).expand({h, w});
  auto cols = torch::arange(w, torch::kFloat32).view({1, w}).expand({h, w});
  auto input = torch::stack({rows, cols, rows * 0.5}).unsqueeze(0);
  auto target = (torch::arange(h * w, torch::kInt64) + 1).view({1, h, w});
  return {input, target};
}

}  // namespace

TEST(FewLabels, EveryViewKeepsEachLabelWithItsSpectrumAndTheSceneShape) {
  std::mt19937_64 rng(3);
  for (const auto& [h, w] : {std::pair<int64_t, int64_t>{6, 6}, {4, 7}}) {
    const auto [input, target] = coded_scene(h, w);
    std::set<std::pair<int64_t, bool>> seen;
    for (int i = 0; i < 64; ++i) {
      const View v = random_view(rng, h, w);
      seen.insert({v.quarter_turns, v.mirror});
      const torch::Tensor x = apply_view(input, v), y = apply_view(target, v);
      ASSERT_EQ(x.sizes(), input.sizes());
      const torch::Tensor decoded = (x[0][0] * static_cast<double>(w) + x[0][1]).to(torch::kInt64) + 1;
      ASSERT_TRUE(torch::equal(decoded, y[0])) << v.quarter_turns << " " << v.mirror;
    }
    EXPECT_EQ(seen.size(), h == w ? 8u : 4u);
  }
}

TEST(FewLabels, PerClassDrawsAreBalancedSubsetsRedrawnEveryStep) {
  auto target = torch::zeros({1, 10, 10}, torch::kInt64);
  target.view({-1}).slice(0, 0, 40).fill_(1);
  target.view({-1}).slice(0, 40, 43).fill_(2);  // fewer than asked: all kept
  target.view({-1}).slice(0, 50, 90).fill_(5);
  std::mt19937_64 rng(1);
  const torch::Tensor a = sample_per_class(target, 6, rng), b = sample_per_class(target, 6, rng);
  for (const torch::Tensor& s : {a, b}) {
    EXPECT_EQ(s.eq(1).sum().item<int64_t>(), 6);
    EXPECT_EQ(s.eq(2).sum().item<int64_t>(), 3);
    EXPECT_EQ(s.eq(5).sum().item<int64_t>(), 6);
    EXPECT_TRUE(torch::equal(s.gt(0), s.gt(0).logical_and(s.eq(target))));  // a subset, labels unchanged
  }
  EXPECT_FALSE(torch::equal(a, b));
}

TEST(FewLabels, PseudoLabelsComeFromConfidentPredictionsOutsideEveryKnownPixel) {
  // Three classes, 4 x 4 pixels; class 1 labelled twice, class 2 once, class 3 never.
  auto probs = torch::full({1, 4, 4, 4}, 0.0f);
  probs[0][1].fill_(0.97f), probs[0][2].fill_(0.01f), probs[0][3].fill_(0.02f);
  probs[0][1][3].fill_(0.02f), probs[0][2][3].fill_(0.96f);  // row 3: class 2
  probs[0][1][2][0] = 0.5f, probs[0][2][2][0] = 0.48f;         // not confident
  probs[0][3][0][3] = 0.99f, probs[0][1][0][3] = 0.0f;         // class 3: never labelled, never pseudo
  auto labelled = torch::zeros({1, 4, 4}, torch::kInt64);
  labelled[0][0][0] = 1, labelled[0][0][1] = 1, labelled[0][3][0] = 2;
  auto excluded = torch::zeros({1, 4, 4}, torch::kInt64);
  excluded[0][1][0] = 1;  // a validation pixel
  const torch::Tensor p = pseudo_labels(probs, labelled, excluded, 0.95, 2);
  EXPECT_EQ(p.eq(1).sum().item<int64_t>(), 4);  // twice class 1's two labelled pixels
  EXPECT_EQ(p.eq(2).sum().item<int64_t>(), 2);  // row 3 has 3 open pixels, capped at 2 x 1
  EXPECT_EQ(p.eq(3).sum().item<int64_t>(), 0);
  EXPECT_FALSE(p.gt(0).logical_and(labelled.gt(0).logical_or(excluded.gt(0))).any().item<bool>());
  EXPECT_EQ(p[0][2][0].item<int64_t>(), 0);
}

TEST(FewLabels, TheRecipeChangesARunOnlyWhenAsked) {
  auto scene = testing::make_tiny_scene(16, 32, 8, 2);
  FitBatch batch{scene.cube.permute({2, 0, 1}).unsqueeze(0).contiguous(), scene.labels.unsqueeze(0)};
  auto criterion = build_criterion(Loss::ce, 2.0, 0);
  auto run = [&](const FewLabelOptions& few) {
    torch::manual_seed(4);
    HyperspectralNet net(HyperspectralNetOptions(8, 3).num_filters(2).num_blocks(1).base_filters(4));
    return fit_network(net, *criterion, batch, batch,
                       FitOptions().epochs(6).lr(0.01).val_interval(3).few_labels(few)).weights;
  };
  auto same = [](const StateDict& a, const StateDict& b) {
    for (size_t i = 0; i < a.size(); ++i)
      if (!torch::equal(a[i].second, b[i].second)) return false;
    return a.size() == b.size();
  };
  const StateDict plain = run(FewLabelOptions());
  EXPECT_TRUE(same(plain, run(FewLabelOptions())));
  const FewLabelOptions recipe = few_labels_recipe().pseudo_start(3).pseudo_interval(3).pixels_per_class(4);
  EXPECT_TRUE(same(run(recipe), run(recipe)));
  EXPECT_FALSE(same(plain, run(recipe)));
}

}  // namespace lumora

namespace lumora {

TEST(FewLabels, SpectralSeedsFollowTheSpectraAndStayOffEveryKnownPixel) {
  // Two classes told apart by band 1 only; class 2 sits in the right half.
  const int64_t h = 6, w = 10;
  auto input = torch::randn({1, 4, h, w}, torch::TensorOptions().dtype(torch::kFloat32)) * 0.1;
  input.select(1, 1).slice(2, 5, 10).add_(2.0);
  auto labelled = torch::zeros({1, h, w}, torch::kInt64), val = torch::zeros({1, h, w}, torch::kInt64);
  labelled[0][0][0] = 1, labelled[0][5][1] = 1, labelled[0][0][9] = 2, labelled[0][5][8] = 2;
  val[0][3][3] = 1;
  const torch::Tensor scores = fit_spectral_head(input, labelled, 4)->scores(input);
  ASSERT_EQ(scores.sizes(), (std::vector<int64_t>{1, 4, h, w}));
  const torch::Tensor predicted = scores.argmax(1)[0];
  EXPECT_TRUE(predicted.slice(1, 0, 5).eq(1).all().item<bool>());
  EXPECT_TRUE(predicted.slice(1, 5, 10).eq(2).all().item<bool>());

  const torch::Tensor seeds = confident_labels(scores, labelled, val, 3);
  EXPECT_EQ(seeds.eq(1).sum().item<int64_t>(), 6);  // three times the two labelled pixels
  EXPECT_EQ(seeds.eq(2).sum().item<int64_t>(), 6);
  EXPECT_EQ(seeds.gt(0).logical_and(labelled.gt(0).logical_or(val.gt(0))).sum().item<int64_t>(), 0);
  EXPECT_TRUE(seeds.eq(0).logical_or(seeds.eq(predicted.unsqueeze(0))).all().item<bool>());
}

TEST(FewLabels, APoolSpreadsTheChoiceEvenlyOverTheMostSureRanks) {
  // Pixel 0 is labelled; pixels 1..10 are open with sureness 1.0, 0.9, .., 0.1.
  auto sureness = torch::zeros({1, 1, 11});
  for (int64_t i = 1; i <= 10; ++i) sureness[0][0][i] = 1.1 - 0.1 * static_cast<double>(i);
  const auto cls = torch::ones({1, 1, 11}, torch::kInt64);
  auto known = torch::zeros({1, 1, 11}, torch::kInt64);
  known[0][0][0] = 1;
  const torch::Tensor open = known.eq(0);
  auto chosen = [&](double pool) {
    const torch::Tensor at =
        most_sure_per_class(sureness, cls, known, open, 2, 3, pool).reshape({-1}).nonzero().reshape({-1}).contiguous();
    return std::vector<int64_t>(at.data_ptr<int64_t>(), at.data_ptr<int64_t>() + at.numel());
  };
  EXPECT_EQ(chosen(0.0), (std::vector<int64_t>{1, 2, 3}));   // the three most sure
  EXPECT_EQ(chosen(0.5), (std::vector<int64_t>{1, 3, 5}));   // ranks 0, 2, 4 of the top five
  EXPECT_EQ(chosen(1.0), (std::vector<int64_t>{1, 5, 10}));  // first, middle and last of all ten
  EXPECT_EQ(chosen(0.1), (std::vector<int64_t>{1, 2, 3}));   // a pool smaller than the count changes nothing
}

}  // namespace lumora

namespace lumora {

TEST(FewLabels, TheSpectralHeadOutvotesALoneOddPixelOnlyOutsideTraining) {
  // Class 1 on the left half, class 2 on the right, told apart by band 0;
  // one pixel inside the left half has class 2's spectrum.
  const int64_t h = 16, w = 32;
  torch::manual_seed(3);
  auto input = torch::randn({1, 4, h, w}) * 0.05;
  input.select(1, 0).slice(2, 16, 32).add_(2.0);
  input[0][0][8][4] += 2.0;
  auto labelled = torch::zeros({1, h, w}, torch::kInt64);
  labelled[0][2][2] = 1, labelled[0][12][12] = 1, labelled[0][2][20] = 2, labelled[0][12][28] = 2;
  const SpectralHead head = fit_spectral_head(input, labelled, 4);
  EXPECT_EQ(head->support_size(), 4);
  const torch::Tensor alone = head->scores(input).argmax(1)[0];
  EXPECT_EQ(alone[8][4].item<int64_t>(), 2);

  // Beyond its cap the fit keeps each class's share, and a rare class whole.
  auto many = torch::ones({1, 40, 40}, torch::kInt64);
  many[0][0][0] = 2, many[0][0][1] = 2, many[0][0][2] = 2;
  const SpectralHead capped = fit_spectral_head(torch::randn({1, 4, 40, 40}), many, 3, 64);
  EXPECT_EQ(capped->support_size(), 63 + 3);
  EXPECT_TRUE(capped->weights.select(1, 2).ne(0).any().item<bool>());

  // With no opinion from the network, the window decides.
  const torch::Tensor fused = head->fuse(input, torch::zeros({1, 4, h, w})).argmax(1)[0];
  EXPECT_TRUE(fused.slice(1, 0, 14).eq(1).all().item<bool>());
  EXPECT_TRUE(fused.slice(1, 18, 32).eq(2).all().item<bool>());
  // Seeds ranked over the window take it for its neighbours' class too.
  const torch::Tensor none = torch::zeros({1, h, w}, torch::kInt64);
  EXPECT_EQ(confident_labels(head->scores(input), labelled, none, 1000)[0][8][4].item<int64_t>(), 2);
  EXPECT_EQ(confident_labels(head->probabilities(input, 5), labelled, none, 1000)[0][8][4].item<int64_t>(), 1);

  // A network carries the head in its weights and uses it only outside training.
  HyperspectralNet net(HyperspectralNetOptions(4, 4).base_filters(4).num_filters(4).num_blocks(1));
  HyperspectralNet plain(HyperspectralNetOptions(4, 4).base_filters(4).num_filters(4).num_blocks(1));
  load_state_dict(*plain, state_dict(*net));
  net->attach_spectral_head(head);
  EXPECT_EQ(net->options.spectral_support(), 4);
  const StateDict weights = state_dict(*net);
  auto is_support = [](const auto& entry) { return entry.first == "spectral_head.support"; };
  EXPECT_EQ(std::count_if(weights.begin(), weights.end(), is_support), 1);
  torch::NoGradGuard no_grad;
  auto seeded = [&](HyperspectralNet& n) {  // dropout draws alike
    torch::manual_seed(7);
    return n->forward(input);
  };
  EXPECT_TRUE(torch::equal(seeded(net), seeded(plain)));
  net->eval(), plain->eval();
  const torch::Tensor logits = plain->forward(input);
  EXPECT_TRUE(torch::allclose(net->forward(input), head->fuse(input, logits)));
  EXPECT_FALSE(torch::allclose(net->forward(input), logits));
}

TEST(FewLabels, ValidationJudgesTheNetworkAloneAndTheFittedNetworkKeepsItsHead) {
  auto scene = testing::make_tiny_scene(16, 32, 8, 2);
  const torch::Tensor input = scene.cube.permute({2, 0, 1}).unsqueeze(0).contiguous();
  FitBatch batch{input, scene.labels.unsqueeze(0)};
  auto criterion = build_criterion(Loss::ce, 2.0, 0);
  torch::manual_seed(4);
  HyperspectralNet net(HyperspectralNetOptions(8, 3).num_filters(2).num_blocks(1).base_filters(4));
  torch::Tensor judged;
  FitOptions options =
      FitOptions().epochs(1).lr(0.01).val_interval(1).few_labels(FewLabelOptions().spectral_head(true));
  options.scorer([&](const torch::Tensor& logits, const torch::Tensor& target) {
    judged = logits.clone();
    return compute_metrics(logits, target, logits.size(1));
  });
  fit_network(net, *criterion, batch, batch, options);
  EXPECT_TRUE(net->spectral_head_fused);
  EXPECT_EQ(net->options.spectral_support(), scene.labels.gt(0).sum().item<int64_t>());
  net->eval();
  torch::NoGradGuard no_grad;
  net->spectral_head_fused = false;
  EXPECT_TRUE(torch::equal(judged, net->forward(input)));
  net->spectral_head_fused = true;
  EXPECT_FALSE(torch::allclose(judged, net->forward(input)));
}

}  // namespace lumora
