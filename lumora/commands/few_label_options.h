// The options of the few-labels recipe, shared by lumora-train and
// lumora-treefit: --few_labels turns on the measured combination, and each
// part has an option of its own that overrides it.
#pragma once

#include <CLI/CLI.hpp>

#include "lumora/datasets/cubeset.h"
#include "lumora/training/few_labels.h"

namespace lumora::cli {

struct FewLabelArgs {
  bool recipe = false;
  bool augment = false;
  int64_t pixels_per_class = 0;
  double ema_decay = 0.0;
  int64_t pseudo_interval = 0;
  int64_t spectral_seeds = 0;
  double seed_pool = 0.0;
  int64_t seed_window = 0;
  bool ties_by_loss = false;
  bool spectral_head = false;
  CLI::Option *augment_option = nullptr, *pixels_option = nullptr, *ema_option = nullptr, *pseudo_option = nullptr,
              *seeds_option = nullptr, *pool_option = nullptr, *window_option = nullptr,
              *ties_option = nullptr, *head_option = nullptr;
};

void add_few_label_options(CLI::App& app, FewLabelArgs& args);

// The recipe (or nothing) with each typed part in its place.
FewLabelOptions few_label_options(const FewLabelArgs& args);

// One line suggesting --few_labels when some class has fewer than 30
// training pixels and no part of the recipe is on; nothing otherwise.
void suggest_few_labels(const LabelledScene& scene, const FewLabelOptions& options, std::ostream& out);

}  // namespace lumora::cli
