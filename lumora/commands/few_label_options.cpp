#include "lumora/commands/few_label_options.h"

#include <fmt/format.h>
#include <torch/torch.h>

#include <ostream>

#include "lumora/commands/cli.h"
#include "lumora/models/spectral_head.h"

namespace lumora::cli {

void add_few_label_options(CLI::App& app, FewLabelArgs& a) {
  app.add_flag("--few_labels", a.recipe,
               "Train for scarce labels: flips and turns, averaged weights, spectral seeds, pseudo-labels and a "
               "spectral head (each below may override)");
  a.augment_option = app.add_flag("--augment", a.augment, "Flip and turn the scene and jitter its bands every step");
  a.pixels_option = app.add_option("--class_pixels", a.pixels_per_class,
                                   "Each step's loss sees at most N labelled pixels per class, redrawn every step")
                        ->check(at_least(0));
  a.ema_option = app.add_option("--ema_decay", a.ema_decay,
                                "Validate and keep an average of the weights with this decay, e.g. 0.99 (0: off)")
                     ->check(fraction());
  a.pseudo_option = app.add_option("--pseudo_every", a.pseudo_interval,
                                   "Every N epochs from epoch 100, confident predictions join training as labels "
                                   "(0: off)")
                        ->check(at_least(0));
  a.seeds_option = app.add_option("--spectral_seeds", a.spectral_seeds,
                                  "Up to N times each class's labelled pixels join training from the start, labelled "
                                  "by a spectral kernel classifier fitted to the labels (0: off)")
                       ->check(at_least(0));
  a.pool_option = app.add_option("--seed_pool", a.seed_pool,
                                 "Spread the spectral seeds evenly over the most sure fraction F of each class's "
                                 "pixels, e.g. 0.3 (0: the most sure alone)")
                      ->check(fraction());
  a.window_option = app.add_option("--seed_window", a.seed_window,
                                   "Rank the spectral seeds by the classifier's probabilities averaged over N x N "
                                   "pixels (0: each pixel's own)")
                        ->check(at_least(0));
  a.head_option = app.add_flag("--spectral_head", a.spectral_head,
                               fmt::format("Fuse the network's class probabilities with those of the spectral kernel "
                                           "classifier, averaged over {0} x {0} pixels, in tests and predictions",
                                           kSpectralHeadWindow));
  a.ties_option = app.add_flag("--ties_by_loss", a.ties_by_loss,
                               "Of validations with equal scores, keep the weights with the lowest validation loss");
}

FewLabelOptions few_label_options(const FewLabelArgs& a) {
  FewLabelOptions o = a.recipe ? few_labels_recipe() : FewLabelOptions();
  if (a.augment_option->count() > 0) o.augment(a.augment);
  if (a.pixels_option->count() > 0) o.pixels_per_class(a.pixels_per_class);
  if (a.ema_option->count() > 0) o.ema_decay(a.ema_decay);
  if (a.pseudo_option->count() > 0) o.pseudo_interval(a.pseudo_interval);
  if (a.seeds_option->count() > 0) o.spectral_seeds(a.spectral_seeds);
  if (a.pool_option->count() > 0) o.seed_pool(a.seed_pool);
  if (a.window_option->count() > 0) o.seed_window(a.seed_window);
  if (a.ties_option->count() > 0) o.loss_breaks_ties(a.ties_by_loss);
  if (a.head_option->count() > 0) o.spectral_head(a.spectral_head);
  return o;
}

void suggest_few_labels(const LabelledScene& scene, const FewLabelOptions& options, std::ostream& out) {
  if (options.any() || scene.train_coords.size(0) == 0) return;
  const torch::Tensor labels = scene.labels.index({scene.train_coords.select(1, 0), scene.train_coords.select(1, 1)});
  const torch::Tensor counts = torch::bincount(labels, {}, scene.num_classes).slice(0, 1);
  const torch::Tensor present = counts.masked_select(counts.gt(0));
  const int64_t fewest = present.numel() ? present.min().item<int64_t>() : 0;
  if (fewest > 0 && fewest < 30)
    out << "Note: a class has only " << fewest
        << " training pixels; --few_labels usually trains better with so few labels" << std::endl;
}

}  // namespace lumora::cli
