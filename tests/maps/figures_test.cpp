// The Cairo pictures, decoded again with GDAL.
#include <gtest/gtest.h>
#include <torch/torch.h>

#include "lumora/maps/figures.h"
#include "maps/raster_reading.h"
#include "support/testing.h"

namespace lumora::maps {
namespace {

Rgb pixel(const torch::Tensor& rgb, int64_t y, int64_t x) {
  return {static_cast<uint8_t>(rgb[y][x][0].item<int>()), static_cast<uint8_t>(rgb[y][x][1].item<int>()),
          static_cast<uint8_t>(rgb[y][x][2].item<int>())};
}

int64_t pixels_of(const torch::Tensor& rgb, const Rgb& c) {
  return rgb.select(2, 0)
      .eq(c.r)
      .logical_and(rgb.select(2, 1).eq(c.g))
      .logical_and(rgb.select(2, 2).eq(c.b))
      .sum()
      .item<int64_t>();
}

}  // namespace

TEST(Figures, LegendSwatchesAreTheClassColoursInOrder) {
  lumora::testing::TempDir dir;
  const std::vector<LegendEntry> entries = {
      {class_colour(0), "unlabelled"}, {class_colour(3), "3: Trees"}, {class_colour(14), "class 14"}};
  draw_legend(dir.file("legend.png"), "Classes", entries);
  const auto r = lumora::testing::read_raster(dir.file("legend.png"));
  ASSERT_EQ(r.values.size(0), 3);
  const torch::Tensor rgb = lumora::testing::rgb_of(r);
  for (size_t i = 0; i < entries.size(); ++i) {
    const Box b = legend_swatch(i);
    ASSERT_LT(b.y + b.height, rgb.size(0));
    // Every pixel inside the swatch, not only its centre.
    for (int y = b.y; y < b.y + b.height; ++y)
      for (int x = b.x; x < b.x + b.width; ++x) ASSERT_EQ(pixel(rgb, y, x), entries[i].colour) << i;
  }
  // The picture is as wide as its longest label.
  draw_legend(dir.file("long.png"), "Classes", {{class_colour(1), std::string(60, 'W')}});
  EXPECT_GT(lumora::testing::read_raster(dir.file("long.png")).values.size(2), r.values.size(2));
}

TEST(Figures, TrainingCurvesMarkEverySeriesInItsColour) {
  lumora::testing::TempDir dir;
  CurveSeries a{"node root, member 1", class_colour(1), {10, 20, 30}, {1.5, 1.2, 0.9}, {0.2, 0.5, 0.7}, {0.4, 0.6, 0.8}};
  CurveSeries b{"node root_L, member 1", class_colour(2), {5}, {0.7}, {0.9}, {0.95}};
  draw_training_curves(dir.file("curves.png"), "a run", {a, b});
  const auto r = lumora::testing::read_raster(dir.file("curves.png"));
  const torch::Tensor rgb = lumora::testing::rgb_of(r);
  EXPECT_EQ(rgb.size(1), 1000);
  // A 6 x 6 marker for the loss, the mIoU and the OA of every point (plus lines and the legend key).
  EXPECT_GE(pixels_of(rgb, a.colour), 3 * 3 * 16);
  EXPECT_GE(pixels_of(rgb, b.colour), 3 * 16);
  draw_training_curves(dir.file("one.png"), "a run", {a});
  EXPECT_EQ(pixels_of(lumora::testing::rgb_of(lumora::testing::read_raster(dir.file("one.png"))), b.colour), 0);
}

}  // namespace lumora::maps
