// lumora-predict with a single network: the weights lumora-train saved and
// the side file it wrote beside them (see network_record.h). One run, no
// routing; scored like lumora-train scores its test split when a label map
// is given, otherwise only counted.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "lumora/commands/run_outputs.h"
#include "lumora/commands/split_options.h"
#include "lumora/models/tiled_forward.h"

namespace lumora::commands {

struct NetworkPredictOptions {
  std::string data;
  std::optional<std::string> gt;
  std::string model;   // the weights
  std::string record;  // their side file
  // Split options given on the command line; the side file's record fills the rest.
  const cli::SplitArgs* split_args = nullptr;
  int64_t seed = 42;
  bool seed_given = false;
  bool routing_given = false;   // said to be ignored
  bool ssm_load_given = false;  // said to be ignored
  std::string out_dir = ".";
  MapRequest maps;
  TileOptions tiling;
};

int predict_network(const NetworkPredictOptions& options);

}  // namespace lumora::commands
