// The colours of every map lumora draws. Class 0 (unlabelled, or no class)
// is black; classes 1, 2, ... take the colours of one fixed list of 48
// clearly distinct colours in order, starting again after the 48th. The
// list begins with Sasha Trubetskoy's "20 simple distinct colours" (less the
// greys, navy and black, which read as background, and apricot, too close to
// beige) and goes on with the colours of an sRGB grid farthest in CIELAB from
// all colours before them, black, white and grey (tools/palette_colours.py
// writes the list).
#pragma once

#include <cstdint>

#include <torch/types.h>

namespace lumora::maps {

struct Rgb {
  uint8_t r = 0, g = 0, b = 0;
};
inline bool operator==(const Rgb& a, const Rgb& b) { return a.r == b.r && a.g == b.g && a.b == b.b; }

constexpr int64_t kPaletteSize = 48;

// The colour of class `cls` (>= 0); negative ids are black too.
Rgb class_colour(int64_t cls);

// (H, W) integer class ids -> (H, W, 3) uint8 colours on the CPU.
torch::Tensor colour_classes(const torch::Tensor& ids);

// The colours of an error map.
constexpr Rgb kRightColour{0, 200, 0};        // test pixel predicted right
constexpr Rgb kWrongColour{220, 0, 0};        // test pixel predicted wrong
constexpr Rgb kOtherLabelColour{128, 128, 128};  // labelled, not a test pixel
constexpr Rgb kUnlabelledColour{0, 0, 0};

// (H, W, 3) uint8: test pixels (`test_mask` > 0) green where `pred` equals
// `labels` and red where not, other pixels of `labels` > 0 grey, the rest black.
torch::Tensor error_colours(const torch::Tensor& pred, const torch::Tensor& labels, const torch::Tensor& test_mask);

}  // namespace lumora::maps
