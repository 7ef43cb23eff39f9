#include "lumora/training/few_labels.h"

#include <torch/torch.h>

#include <algorithm>
#include <cmath>
#include <sstream>

namespace lumora {

FewLabelOptions few_labels_recipe() {
  return FewLabelOptions()
      .augment(true)
      .ema_decay(0.99)
      .pseudo_interval(50)
      .pseudo_start(100)
      .spectral_seeds(20)
      .seed_window(5)
      .spectral_head(true)
      .loss_breaks_ties(true);
}

std::string few_label_summary(const FewLabelOptions& o) {
  if (!o.any()) return "off";
  std::ostringstream out;
  out << "augment " << o.augment() << ", jitter " << o.jitter() << ", pixels per class " << o.pixels_per_class()
      << ", EMA decay " << o.ema_decay() << ", pseudo-labels every " << o.pseudo_interval() << " from "
      << o.pseudo_start() << " at " << o.pseudo_confidence() << " up to " << o.pseudo_per_class() << "x"
      << ", spectral seeds " << o.spectral_seeds() << "x";
  if (o.seed_pool() > 0.0) out << " over the most sure " << o.seed_pool();
  if (o.seed_window() > 1) out << " ranked over " << o.seed_window() << " x " << o.seed_window();
  if (o.spectral_head()) out << ", spectral head";  // absent when off: older runs keep their identity
  out << ", loss breaks ties " << o.loss_breaks_ties();
  return out.str();
}

View random_view(std::mt19937_64& rng, int64_t height, int64_t width) {
  View v;
  const uint64_t draw = rng();
  v.quarter_turns = static_cast<int64_t>(draw % 4);
  if (height != width) v.quarter_turns &= 2;  // 0 or 2: the shape stays
  v.mirror = (draw >> 8) & 1;
  return v;
}

torch::Tensor apply_view(const torch::Tensor& x, const View& view) {
  const int64_t h = x.dim() - 2, w = x.dim() - 1;
  torch::Tensor out = view.quarter_turns ? torch::rot90(x, view.quarter_turns, {h, w}) : x;
  return view.mirror ? out.flip({w}) : out;
}

torch::Tensor sample_per_class(const torch::Tensor& target, int64_t per_class, std::mt19937_64& rng) {
  const torch::Tensor flat = target.reshape({-1}).to(torch::kCPU).contiguous();
  const int64_t* lab = flat.data_ptr<int64_t>();
  std::vector<std::vector<int64_t>> by_class;
  for (int64_t i = 0; i < flat.numel(); ++i) {
    if (lab[i] <= 0) continue;
    if (static_cast<int64_t>(by_class.size()) <= lab[i]) by_class.resize(static_cast<size_t>(lab[i] + 1));
    by_class[lab[i]].push_back(i);
  }
  torch::Tensor kept = torch::zeros_like(flat);
  int64_t* out = kept.data_ptr<int64_t>();
  for (auto& pixels : by_class) {
    // A partial Fisher-Yates shuffle: the first `per_class` are a uniform draw.
    const int64_t n = static_cast<int64_t>(pixels.size()), take = std::min(n, per_class);
    for (int64_t i = 0; i < take; ++i) {
      const int64_t j = i + static_cast<int64_t>(rng() % static_cast<uint64_t>(n - i));
      std::swap(pixels[i], pixels[j]);
      out[pixels[i]] = lab[pixels[i]];
    }
  }
  return kept.reshape(target.sizes()).to(target.device());
}

namespace {

// `take` of the positions 0..count-1 at even steps, first and last included.
torch::Tensor even_steps(int64_t count, int64_t take) {
  if (take <= 1) return torch::zeros({take}, torch::kInt64);
  return torch::arange(take, torch::kFloat64).mul_(static_cast<double>(count - 1) / static_cast<double>(take - 1))
      .floor_().to(torch::kInt64);
}

}  // namespace

torch::Tensor most_sure_per_class(const torch::Tensor& sureness, const torch::Tensor& cls, const torch::Tensor& known,
                                  const torch::Tensor& open, int64_t num_classes, int64_t per_class, double pool) {
  torch::Tensor out = torch::zeros_like(known);
  for (int64_t c = 1; c < num_classes; ++c) {
    const int64_t have = known.eq(c).sum().item<int64_t>();
    if (have == 0) continue;
    const torch::Tensor where = open.logical_and(cls.eq(c)).reshape({-1}).nonzero().reshape({-1});
    if (where.numel() == 0) continue;
    const int64_t take = std::min<int64_t>(where.numel(), have * per_class);
    const auto pooled = static_cast<int64_t>(std::ceil(pool * static_cast<double>(where.numel())));
    const int64_t ranked = std::clamp<int64_t>(pooled, take, where.numel());
    torch::Tensor order = std::get<1>(sureness.reshape({-1}).index_select(0, where).topk(ranked));
    if (ranked > take) order = order.index_select(0, even_steps(ranked, take));
    out.reshape({-1}).index_fill_(0, where.index_select(0, order), c);
  }
  return out;
}

torch::Tensor pseudo_labels(const torch::Tensor& probs, const torch::Tensor& labelled, const torch::Tensor& excluded,
                            double confidence, int64_t per_class) {
  const auto [best, cls] = probs.to(torch::kCPU, torch::kFloat32).max(1);  // (1, H, W)
  const torch::Tensor known = labelled.to(torch::kCPU);
  const torch::Tensor open = known.le(0).logical_and(excluded.to(torch::kCPU).le(0)).logical_and(best.ge(confidence));
  return most_sure_per_class(best, cls, known, open, probs.size(1), per_class).to(labelled.device());
}

}  // namespace lumora
