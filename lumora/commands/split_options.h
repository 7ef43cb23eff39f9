// The options that choose a split, shared by the programs that train and by
// lumora-predict: --train_ratio, --val_ratio, --train_per_class,
// --val_per_class, --split_mode, --split_block, --split_guard, --train_gt,
// --val_gt and --test_gt (each program places --seed itself).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include <CLI/CLI.hpp>

#include "lumora/datasets/split_protocol.h"

namespace lumora::cli {

struct SplitArgs {
  SplitProtocol protocol;  // filled while parsing; the seed too, once set_seed is called
  std::string mode = "random";
  CLI::Option *train_ratio = nullptr, *val_ratio = nullptr, *train_per_class = nullptr, *val_per_class = nullptr,
              *split_mode = nullptr, *block = nullptr, *guard = nullptr, *train_gt = nullptr, *val_gt = nullptr,
              *test_gt = nullptr;
  // Whether the option was typed.
  static bool given(const CLI::Option* option) { return option && option->count() > 0; }
};

// Adds the options (with help texts when `described`) and a check, run at
// the end of parsing, that refuses a ratio and a count for the same set,
// given maps together with ratios, counts or a mode, and a block or guard
// without the disjoint mode: each an option error naming both options.
// `gt`: the program's --gt option, no longer required when the given maps
// name the test pixels (nullptr: --gt stays as the program declared it).
void add_split_options(CLI::App& app, SplitArgs& args, bool described, CLI::Option* gt);

// The protocol to draw, after parsing: the mode and the maps' paths settled.
SplitProtocol parsed_protocol(const SplitArgs& args, int64_t seed);

// The protocol a run recorded, with every option typed on the command line
// put in its place; each typed value that differs from the record prints
// one warning to `out`: "WARNING: <option> <value> differs from the
// <recorded> recorded <place>; the test pixels may include pixels
// <subject> trained on." (`place`: "in the bundle"; `subject`: "the tree was").
SplitProtocol settle_protocol(const SplitProtocol& recorded, const SplitArgs& args, int64_t seed, bool seed_given,
                              const std::string& place, const std::string& subject, std::ostream& out);

// Fails when the split leaves no test pixel; names the protocol's options,
// their values and the label file.
void check_test_pixels(int64_t test_pixels, const SplitProtocol& protocol, const std::string& gt_path);

}  // namespace lumora::cli
