// Console display: colour codes, boxes, banners and the epoch bar shared by
// the commands. Colour codes are ANSI sequences when standard output is a
// terminal and empty texts otherwise, so files and pipes get plain lines.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lumora::display {

extern const std::string BOLD;
extern const std::string RESET;
extern const std::string CYAN;
extern const std::string GRAY;
extern const std::string GREEN;
extern const std::string MAGENTA;
extern const std::string RED;
extern const std::string YELLOW;

bool stdout_is_terminal();

// `text` between `colour` and RESET.
std::string coloured(const std::string& text, const std::string& colour);

// Where a score turns GREEN (from `good` up), YELLOW (from `fair` up) or RED.
struct ScoreBands {
  double good;
  double fair;
};
// Scores of a whole network or tree on the scene.
inline constexpr ScoreBands kSceneScoreBands{0.9, 0.7};
// One ensemble's validation mIoU within a node's summary: a node sees only
// its own classes and few pixels, so its scores run lower.
inline constexpr ScoreBands kEnsembleScoreBands{0.65, 0.45};
const std::string& score_colour(double value, const ScoreBands& bands = kSceneScoreBands);

std::string node_banner(const std::string& node_id, const std::vector<int64_t>& node_classes, int64_t num_classes,
                        int64_t epochs, int64_t ensemble_size, const std::string& loss_name, double focal_gamma,
                        int64_t train_pixels, int64_t val_pixels);
std::string forest_banner(int64_t forest_idx, int64_t ensemble_size, int64_t seed, const std::string& node_id);
std::string forest_done_line(int64_t forest_idx, int64_t ensemble_size, double best_miou, int64_t best_epoch,
                             double oa, double aa, double kappa, const std::string& elapsed);

// The validation scores an epoch_bar call carries on validation epochs.
struct EpochScores {
  double val_loss = 0.0;
  double oa = 0.0;
  double miou = 0.0;
  double aa = 0.0;
  double kappa = 0.0;
};

// One call per epoch. On a terminal the bar is one line redrawn in place;
// validation epochs (given `scores`) leave a lasting line; without a
// terminal only the lasting lines are printed. Epoch 1 starts the clock.
void epoch_bar(int64_t epoch, int64_t epochs, double train_loss,
               const std::optional<EpochScores>& scores = std::nullopt);

void print_config_box(const std::string& title, const std::vector<std::pair<std::string, std::string>>& rows);

// Scores in the order given ("OA", "mIoU", ..., "kappa"); `routing` names the mode.
void print_results_box(const std::vector<std::pair<std::string, double>>& results,
                       const std::optional<std::string>& routing = std::nullopt);

// Mean ± sample standard deviation of each score over `runs` runs.
struct ScoreSpread {
  std::string label;
  double mean = 0, std = 0;
};
void print_runs_box(const std::vector<ScoreSpread>& scores, size_t runs);

void print_per_class_iou(const std::map<int64_t, double>& class_ious,
                         const std::optional<std::map<int64_t, int64_t>>& pixel_counts = std::nullopt);

void print_training_start();
void print_training_done();
void print_predict_start();

struct SaveAndNext {
  std::string out_dir;
  std::string save_file;
  std::string data_path;
  std::string gt_path;
  double train_ratio = 0.2;
  double val_ratio = 0.1;
  int64_t seed = 42;  // shown in the hint only when it is not the default
  // False for counts per class, a disjoint mode or given maps: the hint then
  // leaves the split to the bundle's record, since ratios would draw another.
  bool plain_ratios = true;
};
void print_save_and_next(const SaveAndNext& args);

}  // namespace lumora::display
