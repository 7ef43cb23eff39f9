// The train command: one HyperspectralNet on one labelled scene, validated
// every tenth epoch, tested on its best weights.
#pragma once

#include <string>

#include <torch/types.h>

#include "lumora/commands/run_outputs.h"
#include "lumora/datasets/cubeset.h"
#include "lumora/models/cubeseg.h"
#include "lumora/models/losses.h"
#include "lumora/training/few_labels.h"

namespace lumora::commands::train {

struct TrainOptions {
  std::string data;
  std::string gt;
  SplitProtocol split;  // its seed is `seed`
  NetworkSizes sizes;  // filters, blocks, base filters; bands and classes from the scene
  int64_t epochs = 300;
  double lr = 0.0001;
  int64_t seed = 42;
  Loss loss = Loss::ce;
  double focal_gamma = 2.0;
  bool fp16 = false;
  std::string out_dir = ".";
  std::string save = "best_model.pth";
  std::string log = "training_log.csv";
  MapRequest maps;  // --no-maps, --metadata, --class-names
  FewLabelOptions few_labels;  // its seed is `seed`
  bool resume = false;         // go on from OUT_DIR/checkpoint.pt when there is one
};

// Training, test and report on three datasets of `scene`; then the side
// file of the best weights (for lumora-predict), the maps of their
// prediction and the training curves.
void run_training(const TrainOptions& options, const torch::Device& device, const LabelledScene& scene,
                  HyperspectralDataset& train_ds, HyperspectralDataset& val_ds, HyperspectralDataset& test_ds);

int run(int argc, char** argv);

}  // namespace lumora::commands::train
