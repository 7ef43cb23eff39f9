// lumora-predict with a single network: the weights lumora-train saved and
// the side file it wrote beside them (see network_record.h). One run, no
// routing; scored like lumora-train scores its test split when a label map
// is given, otherwise only counted.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "lumora/commands/run_outputs.h"
#include "lumora/models/tiled_forward.h"

namespace lumora::commands {

struct NetworkPredictOptions {
  std::string data;
  std::optional<std::string> gt;
  std::string model;   // the weights
  std::string record;  // their side file
  // Values given on the command line; the side file's record fills the rest.
  std::optional<double> given_train_ratio, given_val_ratio;
  std::optional<int64_t> given_seed;
  bool routing_given = false;   // said to be ignored
  bool ssm_load_given = false;  // said to be ignored
  std::string out_dir = ".";
  MapRequest maps;
  TileOptions tiling;
};

int predict_network(const NetworkPredictOptions& options);

}  // namespace lumora::commands
