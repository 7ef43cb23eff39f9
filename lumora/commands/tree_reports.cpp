#include "lumora/commands/tree_reports.h"

#include <fmt/format.h>

#include <iostream>

#include "lumora/core/csv.h"
#include "lumora/core/torch_compat.h"
#include "lumora/rssp/tree_metrics.h"
#include "lumora/utils/display.h"

namespace lumora::commands {

std::string device_description(const torch::Device& device) {
  if (!device.is_cuda()) return "cpu";
  const int index = device.has_index() ? device.index() : 0;
  return fmt::format("cuda ({}, {:.0f} GB)", compat::cuda_device_name(index),
                     static_cast<double>(compat::cuda_total_memory(index)) / 1073741824.0);
}

torch::Tensor eval_labels(const torch::Tensor& labels, const torch::Tensor& test_mask) {
  return torch::where(test_mask.gt(0), labels, torch::zeros_like(labels));
}

void write_scores_csv(const std::string& path, const std::vector<std::string>& header, const std::string& routing,
                      const Scores& s) {
  CsvWriter csv(path);
  csv.write_row(header);
  std::vector<std::string> row = {routing};
  for (const auto& [name, value] : s.labelled()) row.push_back(fmt::format("{:.6f}", value));
  csv.write_row(row);
  csv.close();
}

void write_class_report(const std::string& path, const torch::Tensor& final_pred, const torch::Tensor& eval,
                        int64_t num_classes, const std::map<int64_t, double>& class_ious) {
  const ConfusionMatrix cm = label_confusion(final_pred, eval, num_classes);
  CsvWriter csv(path);
  csv.write_row({"class_id", "total_test_pixels", "correct_pixels", "IoU", "Precision", "Recall"});
  for (const auto& [c, iou] : class_ious) {
    const int64_t tp = cm.at(c, c);
    const double fp = static_cast<double>(cm.predicted(c) - tp), fn = static_cast<double>(cm.truly(c) - tp);
    const double tpd = static_cast<double>(tp);
    csv.write_row({std::to_string(c), std::to_string(cm.truly(c)), std::to_string(tp), fmt::format("{:.6f}", iou),
                   fmt::format("{:.6f}", tpd / (tpd + fp + 1e-8)), fmt::format("{:.6f}", tpd / (tpd + fn + 1e-8))});
  }
  csv.close();
}

void print_saved(const std::string& path) {
  std::cout << "  " << display::GREEN << "Saved →" << display::RESET << " " << path << std::endl;
}

void CascadeConsole::on_untrained_router(const std::string& node_id) {
  std::cout << "  Node '" << node_id << "' has no trained router: routing by its ensemble there." << std::endl;
}

void CascadeConsole::on_scene_gates(size_t networks, double seconds) {
  std::cout << fmt::format("  Scene-wide channel gates of {} network{} in {:.1f}s", networks,
                           networks == 1 ? "" : "s", seconds)
            << std::endl;
}

void CascadeConsole::on_tile(size_t done, size_t total, double seconds) {
  std::cout << fmt::format("  Tile {}/{} done ({:.1f}s)", done, total, seconds) << std::endl;
}

}  // namespace lumora::commands
