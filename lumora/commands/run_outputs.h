// Outputs that lumora-train, lumora-treefit and lumora-predict add beside
// their scores: the map options, the maps of a prediction, the pixel counts
// of an unlabelled prediction and the training-curve figures.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <torch/types.h>

#include "lumora/datasets/cubeset.h"
#include "lumora/maps/map_set.h"

namespace lumora::commands {

struct MapRequest {
  bool maps = true;                          // off with --no-maps
  bool probs = false;                        // --probs
  std::optional<std::string> metadata;       // --metadata
  std::optional<std::string> class_names;    // --class-names
};

// --no-maps, --metadata and --class-names; with `probs` also --probs.
void add_map_options(CLI::App& app, MapRequest& request, bool probs);

// Fails, before any work, on a --metadata file that does not exist or a
// --class-names file that cannot be read or holds no name.
void check_map_inputs(const MapRequest& request);

// The names of --class-names (empty without it), checked to cover classes
// 1..max_class.
std::vector<std::string> class_names_of(const MapRequest& request, int64_t max_class);

// The maps of a run in `out_dir`, or nothing when --no-maps was given or the
// build cannot write them (then one line says so). Reads the scene's
// metadata.json (see georef.h), checked against the cube's extents, and
// prints its notes.
std::optional<maps::MapSet> open_maps(const MapRequest& request, const std::string& out_dir,
                                      const std::string& data_path, int64_t num_classes,
                                      std::vector<std::string> names, int64_t bands, int64_t height, int64_t width);

// Writes out_dir/split.tif (see maps::write_split_raster), georeferenced
// from the scene's metadata.json as the maps are, with or without --no-maps:
// it is what lets another tool score on the same pixels. A build without
// GDAL prints one line instead.
void save_split_map(const std::string& out_dir, const std::string& data_path, const MapRequest& request,
                    const LabelledScene& scene);

// The lines of what the scene's split cut or dropped (see PixelSplit).
void print_split_notes(const LabelledScene& scene);

// "<split>: <pixels> pixels across <classes> classes", the line a program
// prints for each split of the scene it works on.
void print_split_summary(const LabelledScene& scene, Split split);

// "  Saved → <path>" for each path.
void print_saved_paths(const std::vector<std::string>& paths);

// Pixels predicted per class: every class of `classes` (in order), then any
// other id the map holds. Printed as a table and written to `path` as
// class_id,class_name,pixels,fraction (CR LF, through a temporary name).
void report_class_counts(const std::string& path, const std::string& title, const torch::Tensor& pred,
                         const std::vector<int64_t>& classes, const std::vector<std::string>& names);

// training_curves.png from a lumora-train log (epoch, train_loss, ...,
// val_oa, val_miou, ...). A one-line notice instead without Cairo.
void draw_network_curves(const std::string& log_path, const std::string& png_path, const std::string& title);

// training_curves.png from the rows of a tree's training_history.csv after
// its first `skip_rows` data rows: one colour per node, one line per
// ensemble member.
void draw_tree_curves(const std::string& history_path, int64_t skip_rows, const std::string& png_path,
                      const std::string& title);

// Data rows (lines after the header) of a CSV file; 0 when it does not exist.
int64_t csv_data_rows(const std::string& path);

// Repeated runs: seeds seed, seed + 1, ..., each run in out_dir/run_{seed}/.
std::vector<int64_t> run_seeds(int64_t seed, int64_t runs);
std::string run_folder(const std::string& out_dir, int64_t seed);

// A score of test_results.csv: its column there and its name in the summary.
struct ScoreColumn {
  std::string column, label;
};

// out_dir/runs_summary.csv (score, each run's value as its test_results.csv
// holds it, mean, sample standard deviation) and the mean ± std box.
void summarise_runs(const std::string& out_dir, const std::vector<int64_t>& seeds,
                    const std::vector<ScoreColumn>& scores);

}  // namespace lumora::commands
