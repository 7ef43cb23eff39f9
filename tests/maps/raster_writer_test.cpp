// The raster files as GDAL reads them back: every pixel, the colour table,
// the category names, band descriptions and georeferencing.
#include <gtest/gtest.h>
#include <torch/torch.h>

#include <fstream>

#include "lumora/maps/map_set.h"
#include "lumora/maps/raster_writer.h"
#include "maps/raster_reading.h"
#include "support/testing.h"

namespace lumora::maps {
namespace {

using lumora::testing::entries;
using lumora::testing::read_raster;

}  // namespace

TEST(RasterWriter, RgbPngHoldsEveryPixel) {
  lumora::testing::TempDir dir;
  torch::manual_seed(3);
  const torch::Tensor rgb = torch::randint(0, 256, {7, 11, 3}, torch::kLong).to(torch::kUInt8);
  write_rgb_png(dir.file("a.png"), rgb);
  const auto r = read_raster(dir.file("a.png"));
  EXPECT_EQ(r.driver, "PNG");
  EXPECT_EQ(r.data_type, "Byte");
  EXPECT_TRUE(torch::equal(lumora::testing::rgb_of(r), rgb));
  EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"a.png"}));
}

TEST(RasterWriter, ClassGeotiffCarriesIdsColoursNamesAndGeoreferencing) {
  lumora::testing::TempDir dir;
  const torch::Tensor ids = torch::tensor({0, 1, 2, 3, 3, 2, 1, 0}, torch::kLong).view({2, 4});
  const std::vector<Rgb> colours = {class_colour(0), class_colour(1), class_colour(2), class_colour(3)};
  const std::vector<std::string> names = {"unlabelled", "Water", "Trees", "class 3"};
  Georef g;
  g.geotransform = {300000.0, 10.0, 0.0, 5000000.0, 0.0, -10.0};
  g.crs = {"not a coordinate system", "EPSG:32633"};
  write_class_geotiff(dir.file("m.tif"), ids, colours, names, &g);
  const auto r = read_raster(dir.file("m.tif"));
  EXPECT_EQ(r.driver, "GTiff");
  EXPECT_EQ(r.data_type, "Byte");
  EXPECT_TRUE(torch::equal(r.values[0].to(torch::kLong), ids));
  EXPECT_EQ(std::vector<Rgb>(r.colour_table.begin(), r.colour_table.begin() + 4), colours);
  EXPECT_EQ(r.category_names, names);
  ASSERT_TRUE(r.geotransform.has_value());
  EXPECT_EQ(*r.geotransform, g.geotransform);
  EXPECT_TRUE(lumora::testing::same_crs(r.wkt, "EPSG:32633")) << r.wkt;
  // The names live in GDAL's side file, which moved with the map.
  EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"m.tif", "m.tif.aux.xml"}));
}

TEST(RasterWriter, MoreThan256ClassesNeedSixteenBits) {
  lumora::testing::TempDir dir;
  const torch::Tensor ids = torch::arange(300, torch::kLong).view({15, 20});
  std::vector<Rgb> colours;
  std::vector<std::string> names;
  for (int64_t k = 0; k < 300; ++k) colours.push_back(class_colour(k)), names.push_back("c" + std::to_string(k));
  write_class_geotiff(dir.file("m.tif"), ids, colours, names, nullptr);
  const auto r = read_raster(dir.file("m.tif"));
  EXPECT_EQ(r.data_type, "UInt16");
  EXPECT_TRUE(torch::equal(r.values[0].to(torch::kLong), ids));
  ASSERT_GE(r.colour_table.size(), 300u);
  EXPECT_EQ(r.colour_table[299], class_colour(299));
  EXPECT_EQ(r.category_names.size(), 300u);
  EXPECT_FALSE(r.geotransform.has_value());
  EXPECT_EQ(r.wkt, "");
}

TEST(RasterWriter, FloatGeotiffKeepsValuesAndDescriptions) {
  lumora::testing::TempDir dir;
  torch::manual_seed(4);
  const torch::Tensor probs = torch::rand({3, 5, 6});
  write_float_geotiff(dir.file("p.tif"), probs, {"Water", "Trees", "class 3"}, nullptr);
  const auto r = read_raster(dir.file("p.tif"));
  EXPECT_EQ(r.data_type, "Float32");
  EXPECT_TRUE(torch::equal(r.values.to(torch::kFloat32), probs));
  EXPECT_EQ(r.descriptions, (std::vector<std::string>{"Water", "Trees", "class 3"}));
}

TEST(RasterWriter, AFailedWriteLeavesNothingAndNamesTheFile) {
  lumora::testing::TempDir dir;
  const std::string path = dir.file("missing/m.png");
  EXPECT_EQ(lumora::testing::error_of<RuntimeError>([&] {
              write_rgb_png(path, torch::zeros({2, 2, 3}, torch::kUInt8));
            }).rfind("cannot write '" + path + "'", 0),
            0u);
  EXPECT_TRUE(entries(dir.path()).empty());
  // A stale side file of an earlier map does not outlive the map it described.
  std::ofstream(dir.file("m.png.aux.xml")) << "<PAMDataset/>";
  write_rgb_png(dir.file("m.png"), torch::zeros({2, 2, 3}, torch::kUInt8));
  EXPECT_EQ(entries(dir.path()), (std::vector<std::string>{"m.png"}));
}

TEST(MapSet, NamesFilesAndFillsTheColourTableForEveryModelClass) {
  lumora::testing::TempDir dir;
  MapSet set(dir.path(), 6, {"Water"}, std::nullopt);
  const torch::Tensor pred = torch::tensor({1, 1, 4, 4}, torch::kLong).view({2, 2});
  EXPECT_EQ(set.prediction("_forest", pred),
            (std::vector<std::string>{dir.file("map_forest.png"), dir.file("map_forest.tif")}));
  const auto tif = read_raster(dir.file("map_forest.tif"));
  ASSERT_GE(tif.colour_table.size(), 6u);  // a TIFF colour map has 2^bits entries
  EXPECT_EQ(tif.colour_table[5], class_colour(5));
  EXPECT_EQ(tif.category_names,
            (std::vector<std::string>{"unlabelled", "Water", "class 2", "class 3", "class 4", "class 5"}));
  EXPECT_TRUE(torch::equal(lumora::testing::rgb_of(read_raster(dir.file("map_forest.png"))), colour_classes(pred)));
  const torch::Tensor probs = torch::rand({6, 2, 2});
  EXPECT_EQ(set.probabilities("_forest", probs), (std::vector<std::string>{dir.file("probs_forest.tif")}));
  const auto p = read_raster(dir.file("probs_forest.tif"));
  EXPECT_TRUE(torch::equal(p.values.to(torch::kFloat32), probs.slice(0, 1)));
  EXPECT_EQ(p.descriptions, (std::vector<std::string>{"Water", "class 2", "class 3", "class 4", "class 5"}));
}

}  // namespace lumora::maps
