#include "lumora/utils/display.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>

#include <fmt/format.h>

#include "lumora/core/elapsed.h"
#include "lumora/core/format.h"
#include "lumora/core/paths.h"

namespace lumora::display {
namespace {

std::string code(const char* ansi) { return stdout_is_terminal() ? ansi : ""; }

// Printed width: code points, not bytes, and colour sequences count nothing.
size_t visible_width(const std::string& s) {
  size_t width = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    const unsigned char ch = static_cast<unsigned char>(s[i]);
    if (ch == 0x1b) {
      while (i < s.size() && s[i] != 'm') ++i;
      continue;
    }
    if ((ch & 0xC0) != 0x80) ++width;
  }
  return width;
}

std::string pad(const std::string& s, size_t width) {
  const size_t w = visible_width(s);
  return w >= width ? s : s + std::string(width - w, ' ');
}

std::string repeat(const std::string& unit, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += unit;
  return out;
}

void print_box(const std::string& title, const std::vector<std::string>& lines) {
  size_t inner = visible_width(title) + 4;
  for (const auto& l : lines) inner = std::max(inner, visible_width(l) + 4);
  std::cout << "\n" << CYAN << "╔" << repeat("═", inner) << "╗" << RESET << "\n";
  const size_t left = (inner - visible_width(title)) / 2;
  std::cout << CYAN << "║" << RESET << std::string(left, ' ') << BOLD << title << RESET
            << std::string(inner - left - visible_width(title), ' ') << CYAN << "║" << RESET << "\n";
  std::cout << CYAN << "╠" << repeat("═", inner) << "╣" << RESET << "\n";
  for (const auto& l : lines)
    std::cout << CYAN << "║" << RESET << "  " << pad(l, inner - 2) << CYAN << "║" << RESET << "\n";
  std::cout << CYAN << "╚" << repeat("═", inner) << "╝" << RESET << std::endl;
}

std::string class_list(const std::vector<int64_t>& classes) {
  std::string out = "[";
  for (size_t i = 0; i < classes.size(); ++i) out += (i ? ", " : "") + std::to_string(classes[i]);
  return out + "]";
}

using Clock = std::chrono::steady_clock;
Clock::time_point g_bar_start = Clock::now();
bool g_bar_open = false;  // a redrawn line is on screen without its newline

}  // namespace

bool stdout_is_terminal() {
  static const bool tty = isatty(STDOUT_FILENO) != 0;
  return tty;
}

const std::string BOLD = code("\033[1m");
const std::string RESET = code("\033[0m");
const std::string CYAN = code("\033[36m");
const std::string GRAY = code("\033[90m");
const std::string GREEN = code("\033[32m");
const std::string MAGENTA = code("\033[35m");
const std::string RED = code("\033[31m");
const std::string YELLOW = code("\033[33m");

std::string coloured(const std::string& text, const std::string& colour) { return colour + text + RESET; }

const std::string& score_colour(double value, const ScoreBands& bands) {
  if (value >= bands.good) return GREEN;
  if (value >= bands.fair) return YELLOW;
  return RED;
}

std::string node_banner(const std::string& node_id, const std::vector<int64_t>& node_classes, int64_t num_classes,
                        int64_t epochs, int64_t ensemble_size, const std::string& loss_name, double focal_gamma,
                        int64_t train_pixels, int64_t val_pixels) {
  std::string loss = loss_name == "focal" ? fmt::format("focal(γ={})", py_float(focal_gamma)) : loss_name;
  return fmt::format("\n{}{}━━ Node {} ━━{} classes {} ({} local) | {} epochs | {} forests | loss {} | "
                     "train {} px | val {} px",
                     BOLD, MAGENTA, node_id, RESET, class_list(node_classes), num_classes, epochs, ensemble_size,
                     loss, thousands(train_pixels), thousands(val_pixels));
}

std::string forest_banner(int64_t forest_idx, int64_t ensemble_size, int64_t seed, const std::string& node_id) {
  return fmt::format("  {}▶ Forest {}/{}{} {}(seed {}, node {}){}", CYAN, forest_idx + 1, ensemble_size, RESET, GRAY,
                     seed, node_id, RESET);
}

std::string forest_done_line(int64_t forest_idx, int64_t ensemble_size, double best_miou, int64_t best_epoch,
                             double oa, double aa, double kappa, const std::string& elapsed) {
  return fmt::format("  {}✔ Forest {}/{}{} best mIoU {}{:.4f}{} @ epoch {} | OA {:.4f} | AA {:.4f} | kappa {:.4f} {}[{}]{}",
                     GREEN, forest_idx + 1, ensemble_size, RESET, score_colour(best_miou), best_miou, RESET,
                     best_epoch, oa, aa, kappa, GRAY, elapsed, RESET);
}

void epoch_bar(int64_t epoch, int64_t epochs, double train_loss, const std::optional<EpochScores>& scores) {
  if (epoch <= 1) g_bar_start = Clock::now();
  const double elapsed = std::chrono::duration<double>(Clock::now() - g_bar_start).count();
  const double eta = epoch > 0 ? elapsed / static_cast<double>(epoch) * static_cast<double>(epochs - epoch) : 0.0;
  const int width = static_cast<int>(std::to_string(epochs).size());
  const std::string counter = fmt::format("{:>{}}/{}", epoch, width, epochs);

  if (scores) {
    if (g_bar_open) std::cout << "\r\033[K";
    std::cout << fmt::format("  Epoch {} | loss {:.4f} | val_loss {:.4f} | OA {}{:.4f}{} | mIoU {}{:.4f}{} | "
                             "AA {:.4f} | kappa {:.4f} {}[{}]{}",
                             counter, train_loss, scores->val_loss, score_colour(scores->oa), scores->oa, RESET,
                             score_colour(scores->miou), scores->miou, RESET, scores->aa, scores->kappa, GRAY,
                             clock_text(elapsed), RESET)
              << std::endl;
    g_bar_open = false;
    return;
  }
  if (!stdout_is_terminal()) return;

  constexpr int kBarWidth = 24;
  const double frac = epochs > 0 ? static_cast<double>(epoch) / static_cast<double>(epochs) : 1.0;
  const int filled = static_cast<int>(std::round(frac * kBarWidth));
  std::cout << "\r\033[K  " << CYAN << repeat("█", filled) << GRAY << repeat("░", kBarWidth - filled) << RESET
            << fmt::format(" {} | loss {:.4f} | {} elapsed | ETA {}", counter, train_loss, clock_text(elapsed),
                           clock_text(eta));
  g_bar_open = epoch < epochs;
  if (!g_bar_open) std::cout << "\n";
  std::cout << std::flush;
}

void print_config_box(const std::string& title, const std::vector<std::pair<std::string, std::string>>& rows) {
  size_t label_width = 0;
  for (const auto& [label, value] : rows) label_width = std::max(label_width, visible_width(label));
  std::vector<std::string> lines;
  for (const auto& [label, value] : rows) lines.push_back(BOLD + pad(label, label_width) + RESET + "  " + value);
  print_box(title, lines);
}

void print_results_box(const std::vector<std::pair<std::string, double>>& results,
                       const std::optional<std::string>& routing) {
  std::vector<std::string> lines;
  for (const auto& [label, value] : results)
    lines.push_back(fmt::format("{:<10}{}{:.4f}{}  ({:.2f}%)", label, score_colour(value), value, RESET, value * 100.0));
  print_box(routing ? "Test Results (" + *routing + " routing)" : "Test Results", lines);
}

void print_runs_box(const std::vector<ScoreSpread>& scores, size_t runs) {
  std::vector<std::string> lines;
  for (const auto& s : scores)
    lines.push_back(fmt::format("{:<10}{}{:.4f}{} ± {:.4f}  ({:.2f} ± {:.2f}%)", s.label, score_colour(s.mean), s.mean,
                                RESET, s.std, s.mean * 100.0, s.std * 100.0));
  print_box(fmt::format("Test Results over {} runs (mean ± std)", runs), lines);
}

void print_per_class_iou(const std::map<int64_t, double>& class_ious,
                         const std::optional<std::map<int64_t, int64_t>>& pixel_counts) {
  std::cout << "\n" << BOLD << "Per-class IoU:" << RESET << "\n";
  for (const auto& [cls, iou] : class_ious) {
    constexpr int kBarWidth = 20;
    const int filled = static_cast<int>(std::round(std::clamp(iou, 0.0, 1.0) * kBarWidth));
    std::string line = fmt::format("  Class {:>3}: {}{:.4f}{} {}{}{}", cls, score_colour(iou), iou, RESET,
                                   score_colour(iou), repeat("█", filled), RESET);
    if (pixel_counts) {
      auto it = pixel_counts->find(cls);
      const int64_t n = it == pixel_counts->end() ? 0 : it->second;
      line += std::string(kBarWidth - filled, ' ') + fmt::format(" {}({} px){}", GRAY, thousands(n), RESET);
    }
    std::cout << line << "\n";
  }
  std::cout << std::flush;
}

void print_training_start() { std::cout << "\n" << BOLD << CYAN << "▶ Training started" << RESET << std::endl; }

void print_training_done() { std::cout << "\n" << BOLD << GREEN << "✔ Done" << RESET << std::endl; }

void print_predict_start() { std::cout << "\n" << BOLD << CYAN << "▶ Running inference" << RESET << std::endl; }

void print_save_and_next(const SaveAndNext& a) {
  const std::string saved = path_join(a.out_dir, a.save_file);
  std::cout << "\n" << GREEN << "Saved →" << RESET << " " << saved << "\n";
  // Only a tree bundle can be given to lumora-predict; a network's weights
  // are reloaded by building the network with the same sizes.
  const bool bundle = saved.size() >= 4 && saved.compare(saved.size() - 4, 4, ".pkl") == 0;
  if (!bundle) {
    std::cout << GRAY << "Next: load these weights into a network of the same sizes "
              << "(--base_filters, --num_filters, --num_blocks)" << RESET << std::endl;
    return;
  }
  std::cout << GRAY << "Next: predict with" << RESET << "\n";
  std::cout << "  lumora-predict --model " << saved << " --data " << a.data_path;
  if (!a.gt_path.empty()) std::cout << " --gt " << a.gt_path;
  if (a.plain_ratios)
    std::cout << " --train_ratio " << py_float(a.train_ratio) << " --val_ratio " << py_float(a.val_ratio)
              << (a.seed != 42 ? " --seed " + std::to_string(a.seed) : std::string());
  std::cout << std::endl;
}

}  // namespace lumora::display
