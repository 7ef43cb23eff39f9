#include "lumora/commands/split_options.h"

#include <filesystem>
#include <ostream>
#include <vector>

#include "lumora/commands/cli.h"
#include "lumora/core/errors.h"
#include "lumora/core/format.h"

namespace lumora::cli {
namespace {

// "--a and --b both ...": two options that cannot go together.
void refuse_pair(const CLI::Option* a, const CLI::Option* b, const std::string& why) {
  if (SplitArgs::given(a) && SplitArgs::given(b))
    throw CLI::ValidationError(a->get_name() + " and " + b->get_name() + " " + why);
}

void check_combination(const SplitArgs& a, const CLI::Option* gt) {
  refuse_pair(a.train_ratio, a.train_per_class, "both choose the training pixels: give one");
  refuse_pair(a.val_ratio, a.val_per_class, "both choose the validation pixels: give one");
  for (const CLI::Option* map : {a.val_gt, a.test_gt})
    if (SplitArgs::given(map) && !SplitArgs::given(a.train_gt))
      throw CLI::ValidationError(map->get_name() + " needs --train_gt: given maps start with the training pixels");
  if (SplitArgs::given(a.train_gt))
    for (const CLI::Option* drawn : {a.train_ratio, a.train_per_class, a.split_mode, a.block, a.guard})
      refuse_pair(a.train_gt, drawn, "cannot go together: the given maps are the split");
  // Validation is drawn from the training map only when no map of its own is given.
  for (const CLI::Option* drawn : {a.val_ratio, a.val_per_class})
    refuse_pair(a.val_gt, drawn, "cannot go together: the validation map is the validation set");
  if (a.mode != "disjoint")
    for (const CLI::Option* blocks : {a.block, a.guard})
      if (SplitArgs::given(blocks))
        throw CLI::ValidationError(blocks->get_name() + " applies to --split_mode disjoint only");
  if (gt && !SplitArgs::given(gt) && !(SplitArgs::given(a.train_gt) && SplitArgs::given(a.test_gt)))
    throw CLI::RequiredError(gt->get_name());
}

std::optional<std::string> absolute_if(const CLI::Option* option, const std::string& path) {
  if (!SplitArgs::given(option)) return std::nullopt;
  return std::filesystem::absolute(path).lexically_normal().string();
}

}  // namespace

void add_split_options(CLI::App& app, SplitArgs& a, bool described, CLI::Option* gt) {
  auto text = [described](const char* help) { return described ? std::string(help) : std::string(); };
  SplitProtocol& p = a.protocol;
  a.train_ratio = app.add_option("--train_ratio", p.train_ratio,
                                 text("Fraction of labeled pixels per class for training (default: 0.2)"))
                      ->check(fraction());
  a.val_ratio = app.add_option("--val_ratio", p.val_ratio,
                               text("Fraction of labeled pixels per class for validation (default: 0.1)"))
                    ->check(fraction());
  a.train_per_class = app.add_option("--train_per_class", p.train_per_class,
                                     "Training pixels per class instead of --train_ratio (at most half a class)")
                          ->check(at_least(1));
  a.val_per_class =
      app.add_option("--val_per_class", p.val_per_class,
                     "Validation pixels per class instead of --val_ratio (at most half of what training leaves)")
          ->check(at_least(0));
  a.split_mode = app.add_option("--split_mode", a.mode,
                                "random: pixels drawn per class (default); disjoint: whole blocks of the scene, "
                                "test pixels kept apart from training ones")
                     ->check(CLI::IsMember({"random", "disjoint"}))
                     ->type_name("{random,disjoint}");
  a.block = app.add_option("--split_block", p.block,
                           "Disjoint split: block side in pixels (default: a tenth of the scene's shorter side, 4 "
                           "to 32)")
                ->check(at_least(1));
  a.guard = app.add_option("--split_guard", p.guard,
                           "Disjoint split: test pixels this close to a training or validation pixel are left out "
                           "(default: 1)")
                ->check(at_least(0));
  a.train_gt = app.add_option("--train_gt", p.train_gt, "Label map of the training pixels (MAT-file): a given split");
  a.val_gt = app.add_option("--val_gt", p.val_gt, "Label map of the validation pixels (with --train_gt)");
  a.test_gt = app.add_option("--test_gt", p.test_gt,
                             "Label map of the test pixels (with --train_gt; default: the other pixels of --gt)");
  if (gt) gt->required(false);
  app.final_callback([&a, gt] { check_combination(a, gt); });
}

SplitProtocol parsed_protocol(const SplitArgs& a, int64_t seed) {
  SplitProtocol p = a.protocol;
  p.seed = seed;
  p.mode = SplitArgs::given(a.train_gt) ? SplitMode::given : parse_split_mode(a.mode);
  // Recorded as absolute paths, so that lumora-predict finds them from anywhere.
  p.train_gt = absolute_if(a.train_gt, p.train_gt.value_or(""));
  p.val_gt = absolute_if(a.val_gt, p.val_gt.value_or(""));
  p.test_gt = absolute_if(a.test_gt, p.test_gt.value_or(""));
  return p;
}

SplitProtocol settle_protocol(const SplitProtocol& recorded, const SplitArgs& a, int64_t seed, bool seed_given,
                              const std::string& place, const std::string& subject, std::ostream& out) {
  SplitProtocol p = recorded;
  const SplitProtocol typed = parsed_protocol(a, seed);
  auto warn = [&](const CLI::Option* option, const std::string& value, const std::string& was) {
    out << "WARNING: " << option->get_name() << " " << value << " differs from the " << was << " recorded " << place
        << "; the test pixels may include pixels " << subject << " trained on." << std::endl;
  };
  auto count_text = [](const std::optional<int64_t>& n) { return n ? std::to_string(*n) : std::string("none"); };
  auto path_text = [](const std::optional<std::string>& s) { return s ? *s : std::string("none"); };
  if (SplitArgs::given(a.train_ratio)) {
    if (typed.train_ratio != recorded.train_ratio || recorded.train_per_class)
      warn(a.train_ratio, a.train_ratio->as<std::string>(), py_float(recorded.train_ratio));
    p.train_ratio = typed.train_ratio, p.train_per_class.reset();
  }
  if (SplitArgs::given(a.val_ratio)) {
    if (typed.val_ratio != recorded.val_ratio || recorded.val_per_class)
      warn(a.val_ratio, a.val_ratio->as<std::string>(), py_float(recorded.val_ratio));
    p.val_ratio = typed.val_ratio, p.val_per_class.reset();
  }
  if (SplitArgs::given(a.train_per_class)) {
    if (typed.train_per_class != recorded.train_per_class)
      warn(a.train_per_class, count_text(typed.train_per_class), count_text(recorded.train_per_class));
    p.train_per_class = typed.train_per_class;
  }
  if (SplitArgs::given(a.val_per_class)) {
    if (typed.val_per_class != recorded.val_per_class)
      warn(a.val_per_class, count_text(typed.val_per_class), count_text(recorded.val_per_class));
    p.val_per_class = typed.val_per_class;
  }
  if (SplitArgs::given(a.split_mode)) {
    if (typed.mode != recorded.mode) warn(a.split_mode, a.mode, split_mode_name(recorded.mode));
    p.mode = typed.mode;
  }
  if (SplitArgs::given(a.block)) {
    if (typed.block != recorded.block) warn(a.block, std::to_string(typed.block), std::to_string(recorded.block));
    p.block = typed.block;
  }
  if (SplitArgs::given(a.guard)) {
    if (typed.guard != recorded.guard) warn(a.guard, std::to_string(typed.guard), std::to_string(recorded.guard));
    p.guard = typed.guard;
  }
  const std::pair<const CLI::Option*, std::optional<std::string> SplitProtocol::*> maps[] = {
      {a.train_gt, &SplitProtocol::train_gt}, {a.val_gt, &SplitProtocol::val_gt}, {a.test_gt, &SplitProtocol::test_gt}};
  for (const auto& [option, member] : maps) {
    if (!SplitArgs::given(option)) continue;
    if (typed.*member != recorded.*member) warn(option, path_text(typed.*member), path_text(recorded.*member));
    p.*member = typed.*member;
  }
  if (SplitArgs::given(a.train_gt)) p.mode = SplitMode::given;
  if (seed_given) {
    if (seed != recorded.seed)
      out << "WARNING: --seed " << seed << " differs from the " << recorded.seed << " recorded " << place
          << "; the test pixels may include pixels " << subject << " trained on." << std::endl;
    p.seed = seed;
  }
  return p;
}

void check_test_pixels(int64_t test_pixels, const SplitProtocol& p, const std::string& gt_path) {
  if (test_pixels > 0) return;
  if (p.plain_ratios())
    throw ValueError("--train_ratio " + py_float(p.train_ratio) + " and --val_ratio " + py_float(p.val_ratio) +
                     " leave no labelled pixel of '" + gt_path + "' for testing");
  throw ValueError("the split (" + p.describe() + ") leaves no labelled pixel of '" + gt_path + "' for testing");
}

}  // namespace lumora::cli
