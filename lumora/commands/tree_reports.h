// Pieces shared by the tree commands (treefit, predict): the device text,
// the test reference map, the two CSV reports, and the cascade's console.
#pragma once

#include <map>
#include <string>

#include <torch/types.h>

#include "lumora/metrics/confusion.h"
#include "lumora/rssp/cascader.h"

namespace lumora::commands {

// "cpu", "cuda", or "cuda (<GPU name>, <N> GB)" when the device is CUDA.
std::string device_description(const torch::Device& device);

// The labels on the pixels of `test_mask` (> 0), 0 elsewhere.
torch::Tensor eval_labels(const torch::Tensor& labels, const torch::Tensor& test_mask);

// Header `header` then one row: the routing text and the seven scores (6 decimals).
void write_scores_csv(const std::string& path, const std::vector<std::string>& header, const std::string& routing,
                      const Scores& scores);

// One row per class of `class_ious` (classes present among the test pixels):
// class_id, total_test_pixels, correct_pixels, IoU, Precision, Recall.
void write_class_report(const std::string& path, const torch::Tensor& final_pred, const torch::Tensor& eval_labels,
                        int64_t num_classes, const std::map<int64_t, double>& class_ious);

// "  Saved → <path>" with the arrow part in green.
void print_saved(const std::string& path);

// The cascade's notes, printed.
class CascadeConsole : public CascadeObserver {
 public:
  void on_untrained_router(const std::string& node_id) override;
  void on_scene_gates(size_t networks, double seconds) override;
  void on_tile(size_t done, size_t total, double seconds) override;
};

}  // namespace lumora::commands
