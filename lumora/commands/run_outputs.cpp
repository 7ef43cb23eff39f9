#include "lumora/commands/run_outputs.h"

#include "lumora/config.h"

#include <fmt/format.h>
#include <torch/torch.h>

#include <cmath>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "lumora/core/atomic_file.h"
#include "lumora/core/csv.h"
#include "lumora/core/errors.h"
#include "lumora/core/format.h"
#include "lumora/core/paths.h"
#include "lumora/maps/class_names.h"
#include "lumora/maps/georef.h"
#include "lumora/maps/palette.h"
#include "lumora/utils/display.h"
#if LUMORA_HAVE_CAIRO
#include "lumora/maps/figures.h"
#endif

namespace lumora::commands {
namespace {

std::vector<std::vector<std::string>> read_csv_rows(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileNotFoundError("cannot read '" + path + "'");
  std::vector<std::vector<std::string>> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    std::vector<std::string> fields;
    std::stringstream ss(line);
    for (std::string f; std::getline(ss, f, ',');) fields.push_back(f);
    rows.push_back(fields);
  }
  return rows;
}

// Column index of `name` in `header`, failing naming the file.
size_t column(const std::vector<std::string>& header, const std::string& name, const std::string& path) {
  for (size_t i = 0; i < header.size(); ++i)
    if (header[i] == name) return i;
  throw ValueError("'" + path + "' has no column '" + name + "'");
}

double number(const std::vector<std::string>& row, size_t i, const std::string& path) {
  if (i >= row.size()) throw ValueError("'" + path + "' has a row with too few fields");
  try {
    return std::stod(row[i]);
  } catch (const std::exception&) {
    throw ValueError("'" + path + "' holds '" + row[i] + "' where a number belongs");
  }
}

#if LUMORA_HAVE_CAIRO
void draw(const std::string& png_path, const std::string& title, const std::vector<maps::CurveSeries>& series) {
  maps::draw_training_curves(png_path, title, series);
  print_saved_paths({png_path});
}
#endif

}  // namespace

void add_map_options(CLI::App& app, MapRequest& r, bool probs) {
  app.add_flag_function(
      "--no-maps", [&r](int64_t) { r.maps = false; }, "Write no maps (PNG and GeoTIFF pictures of the prediction)");
  if (probs) app.add_flag("--probs", r.probs, "Also write probs_*.tif: one float32 band of probabilities per class");
  app.add_option("--metadata", r.metadata,
                 "metadata.json of the scene, for georeferenced maps (default: the one beside --data, if any)");
  app.add_option("--class-names", r.class_names, "Text file of class names, one per line, class 1 first");
}

void check_map_inputs(const MapRequest& r) {
  if (r.metadata && !file_exists(*r.metadata)) throw FileNotFoundError("--metadata: no such file: '" + *r.metadata + "'");
  if (r.class_names) maps::read_class_names(*r.class_names);
}

std::vector<std::string> class_names_of(const MapRequest& r, int64_t max_class) {
  if (!r.class_names) return {};
  std::vector<std::string> names = maps::read_class_names(*r.class_names);
  maps::check_class_names(names, max_class, *r.class_names);
  return names;
}

std::optional<maps::MapSet> open_maps(const MapRequest& r, const std::string& out_dir, const std::string& data_path,
                                      int64_t num_classes, std::vector<std::string> names, int64_t bands,
                                      int64_t height, int64_t width) {
  if (!r.maps) return std::nullopt;
  if (!maps::rasters_available()) {
    std::cout << maps::kNoRastersNotice << std::endl;
    return std::nullopt;
  }
  auto metadata = maps::find_scene_metadata(data_path, r.metadata, height, width, bands);
  if (metadata) {
    for (const auto& note : metadata->notes) std::cout << note << std::endl;
    if (metadata->georef) std::cout << "Georeferencing the maps from " << metadata->path << std::endl;
  }
  return maps::MapSet(out_dir, num_classes, std::move(names), std::move(metadata));
}

void save_split_map(const std::string& out_dir, const std::string& data_path, const MapRequest& r,
                    const LabelledScene& scene) {
  if (!maps::rasters_available()) {
    std::cout << "split.tif skipped: this lumora was built without GDAL." << std::endl;
    return;
  }
  const int64_t height = scene.labels.size(0), width = scene.labels.size(1);
  const auto metadata = maps::find_scene_metadata(data_path, r.metadata, height, width, scene.num_bands);
  const std::string path = path_join(out_dir, "split.tif");
  maps::write_split_raster(path, scene.roles(), metadata && metadata->georef ? &*metadata->georef : nullptr);
  print_saved_paths({path});
}

void print_split_notes(const LabelledScene& scene) {
  for (const auto& note : scene.split_notes)
    std::cout << display::YELLOW << "Split: " << note << display::RESET << std::endl;
}

void print_split_summary(const LabelledScene& scene, Split split) {
  std::cout << split_name(split) << ": " << scene.coords(split).size(0) << " pixels across " << scene.num_classes - 1
            << " classes" << std::endl;
}

void print_saved_paths(const std::vector<std::string>& paths) {
  for (const auto& p : paths)
    std::cout << "  " << display::GREEN << "Saved →" << display::RESET << " " << p << std::endl;
}

void report_class_counts(const std::string& path, const std::string& title, const torch::Tensor& pred,
                         const std::vector<int64_t>& classes, const std::vector<std::string>& names) {
  const torch::Tensor flat = pred.to(torch::kCPU, torch::kLong).reshape({-1});
  const int64_t total = flat.numel();
  const int64_t top = total ? flat.max().item<int64_t>() : 0;
  const torch::Tensor counts = torch::bincount(flat.clamp_min(0), {}, std::max<int64_t>(top + 1, 1));
  std::vector<int64_t> ids = classes;
  for (int64_t k = 0; k <= top; ++k)
    if (counts[k].item<int64_t>() > 0 && std::find(ids.begin(), ids.end(), k) == ids.end()) ids.push_back(k);

  std::string text = "class_id,class_name,pixels,fraction\r\n";
  std::cout << "\n  " << display::BOLD << title << display::RESET << std::endl;
  for (int64_t k : ids) {
    const int64_t n = k >= 0 && k <= top ? counts[k].item<int64_t>() : 0;
    const double share = total ? static_cast<double>(n) / static_cast<double>(total) : 0.0;
    const std::string name = maps::class_name(names, k);
    text += std::to_string(k) + "," + csv_field(name) + "," + std::to_string(n) + "," + fmt::format("{:.6f}", share) +
            "\r\n";
    std::cout << fmt::format("    {:>5}  {:<24} {:>12} px  {:6.2f}%", k, name, thousands(n), 100.0 * share)
              << std::endl;
  }
  write_text_file(path, text);
  print_saved_paths({path});
}

void draw_network_curves(const std::string& log_path, const std::string& png_path, const std::string& title) {
#if LUMORA_HAVE_CAIRO
  const auto rows = read_csv_rows(log_path);
  if (rows.empty()) throw ValueError("'" + log_path + "' is empty");
  const auto& h = rows[0];
  const size_t epoch = column(h, "epoch", log_path), loss = column(h, "train_loss", log_path),
               oa = column(h, "val_oa", log_path), miou = column(h, "val_miou", log_path);
  maps::CurveSeries s;
  s.label = "lumora-train (a point per validation epoch)";
  s.colour = maps::class_colour(4);
  for (size_t i = 1; i < rows.size(); ++i) {
    s.epochs.push_back(number(rows[i], epoch, log_path));
    s.train_loss.push_back(number(rows[i], loss, log_path));
    s.val_oa.push_back(number(rows[i], oa, log_path));
    s.val_miou.push_back(number(rows[i], miou, log_path));
  }
  draw(png_path, title, {s});
#else
  (void)log_path, (void)png_path, (void)title;
  std::cout << maps::kNoFiguresNotice << std::endl;
#endif
}

void draw_tree_curves(const std::string& history_path, int64_t skip_rows, const std::string& png_path,
                      const std::string& title) {
#if LUMORA_HAVE_CAIRO
  const auto rows = read_csv_rows(history_path);
  if (rows.empty()) throw ValueError("'" + history_path + "' is empty");
  const auto& h = rows[0];
  const size_t node = column(h, "node_id", history_path), member = column(h, "forest_idx", history_path),
               epoch = column(h, "epoch", history_path), loss = column(h, "loss", history_path),
               oa = column(h, "OA", history_path), miou = column(h, "mIoU", history_path);
  std::vector<maps::CurveSeries> series;
  std::map<std::string, int64_t> node_colour;
  std::map<std::pair<std::string, std::string>, size_t> index;
  for (size_t i = 1 + static_cast<size_t>(std::max<int64_t>(skip_rows, 0)); i < rows.size(); ++i) {
    const auto& row = rows[i];
    if (row.size() <= std::max({node, member, epoch, loss, oa, miou}))
      throw ValueError("'" + history_path + "' has a row with too few fields");
    const auto key = std::make_pair(row[node], row[member]);
    if (!index.count(key)) {
      if (!node_colour.count(row[node])) node_colour[row[node]] = static_cast<int64_t>(node_colour.size()) + 1;
      index[key] = series.size();
      maps::CurveSeries s;
      s.label = "node " + row[node] + ", member " + row[member];
      s.colour = maps::class_colour(node_colour[row[node]]);
      series.push_back(s);
    }
    auto& s = series[index[key]];
    s.epochs.push_back(number(row, epoch, history_path));
    s.train_loss.push_back(number(row, loss, history_path));
    s.val_oa.push_back(number(row, oa, history_path));
    s.val_miou.push_back(number(row, miou, history_path));
  }
  draw(png_path, title, series);
#else
  (void)history_path, (void)skip_rows, (void)png_path, (void)title;
  std::cout << maps::kNoFiguresNotice << std::endl;
#endif
}

int64_t csv_data_rows(const std::string& path) {
  if (!file_exists(path)) return 0;
  const auto rows = read_csv_rows(path);
  return rows.empty() ? 0 : static_cast<int64_t>(rows.size()) - 1;
}

std::vector<int64_t> run_seeds(int64_t seed, int64_t runs) {
  std::vector<int64_t> seeds;
  for (int64_t k = 0; k < runs; ++k) seeds.push_back(seed + k);
  return seeds;
}

std::string run_folder(const std::string& out_dir, int64_t seed) {
  return path_join(out_dir, "run_" + std::to_string(seed));
}

void summarise_runs(const std::string& out_dir, const std::vector<int64_t>& seeds,
                    const std::vector<ScoreColumn>& scores) {
  std::vector<std::string> header = {"score"};
  for (int64_t seed : seeds) header.push_back("run_" + std::to_string(seed));
  header.push_back("mean");
  header.push_back("std");
  std::vector<std::vector<std::string>> table(scores.size());
  std::vector<std::vector<double>> values(scores.size());
  for (size_t i = 0; i < scores.size(); ++i) table[i].push_back(scores[i].label);
  for (int64_t seed : seeds) {
    const std::string path = path_join(run_folder(out_dir, seed), "test_results.csv");
    const auto rows = read_csv_rows(path);
    if (rows.size() != 2) throw ValueError("'" + path + "' should hold a header and one row");
    for (size_t i = 0; i < scores.size(); ++i) {
      const size_t at = column(rows[0], scores[i].column, path);
      values[i].push_back(number(rows[1], at, path));
      table[i].push_back(rows[1][at]);
    }
  }
  std::vector<display::ScoreSpread> spreads;
  for (size_t i = 0; i < scores.size(); ++i) {
    const auto n = static_cast<double>(values[i].size());
    double mean = 0.0;
    for (double v : values[i]) mean += v;
    mean /= n;
    double squares = 0.0;
    for (double v : values[i]) squares += (v - mean) * (v - mean);
    // The sample standard deviation (n - 1), as the field reports it; one run has none.
    const double std = n > 1 ? std::sqrt(squares / (n - 1.0)) : std::nan("");
    table[i].push_back(fmt::format("{:.6f}", mean));
    table[i].push_back(fmt::format("{:.6f}", std));
    spreads.push_back({scores[i].label, mean, std});
  }
  const std::string path = path_join(out_dir, "runs_summary.csv");
  CsvWriter csv(path);
  csv.write_row(header);
  for (const auto& row : table) csv.write_row(row);
  csv.close();
  display::print_runs_box(spreads, seeds.size());
  print_saved_paths({path});
}

}  // namespace lumora::commands
