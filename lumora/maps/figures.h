// Pictures with words, drawn with Cairo: the legend of a class map and the
// training curves of a run. Written as PNG through a temporary name.
#pragma once

#include <string>
#include <vector>

#include "lumora/maps/palette.h"

namespace lumora::maps {

struct LegendEntry {
  Rgb colour;
  std::string label;
};

// Where legend swatch `index` (from 0) is drawn: a filled rectangle of the
// entry's colour, no outline inside it.
struct Box {
  int x = 0, y = 0, width = 0, height = 0;
};
Box legend_swatch(size_t index);

// One swatch and label per entry, in order, under the title.
void draw_legend(const std::string& path, const std::string& title, const std::vector<LegendEntry>& entries);

// One run (or one ensemble member) of a training: its validation epochs and
// the numbers logged at each.
struct CurveSeries {
  std::string label;
  Rgb colour;
  std::vector<double> epochs, train_loss, val_miou, val_oa;
};

// Two panels against the epoch: training loss (left); validation mIoU
// (solid) and OA (dashed) from 0 to 1 (right). Every logged point is also
// marked by a square of its series' colour; a legend names the series.
void draw_training_curves(const std::string& path, const std::string& title, const std::vector<CurveSeries>& series);

}  // namespace lumora::maps
