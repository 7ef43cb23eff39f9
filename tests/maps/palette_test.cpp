// Colours, class names, the true-colour composite and the reading of a
// scene's metadata.json: the parts of the maps that need no raster library.
#include <gtest/gtest.h>
#include <torch/torch.h>

#include <fstream>
#include <set>

#include "lumora/maps/class_names.h"
#include "lumora/maps/composite.h"
#include "lumora/maps/georef.h"
#include "lumora/maps/palette.h"
#include "support/testing.h"

namespace lumora::maps {
namespace {

using lumora::testing::error_of;

std::string write(const lumora::testing::TempDir& dir, const std::string& name, const std::string& text) {
  std::ofstream(dir.file(name), std::ios::binary) << text;
  return dir.file(name);
}

int code(const Rgb& c) { return (c.r << 16) | (c.g << 8) | c.b; }

}  // namespace

TEST(Palette, BlackBackgroundThenFortyEightDistinctColoursThatRepeat) {
  EXPECT_EQ(class_colour(0), (Rgb{0, 0, 0}));
  std::set<int> seen;
  for (int64_t k = 1; k <= kPaletteSize; ++k) {
    const Rgb c = class_colour(k);
    EXPECT_NE(code(c), 0) << "class " << k << " must not be black";
    EXPECT_NE(code(c), 0x808080) << "class " << k << " must not be the grey of the error maps";
    seen.insert(code(c));
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kPaletteSize));
  EXPECT_GE(kPaletteSize, 40);
  EXPECT_EQ(class_colour(kPaletteSize + 1), class_colour(1));
  EXPECT_EQ(class_colour(2 * kPaletteSize + 7), class_colour(7));
}

TEST(Palette, ColourClassesPaintsEveryPixelInItsClassColour) {
  torch::manual_seed(1);
  const torch::Tensor ids = torch::randint(0, 120, {9, 13}, torch::kLong);
  const torch::Tensor rgb = colour_classes(ids);
  ASSERT_EQ(rgb.sizes(), (std::vector<int64_t>{9, 13, 3}));
  ASSERT_EQ(rgb.scalar_type(), torch::kUInt8);
  for (int64_t y = 0; y < 9; ++y)
    for (int64_t x = 0; x < 13; ++x) {
      const Rgb want = class_colour(ids[y][x].item<int64_t>());
      EXPECT_EQ(rgb[y][x][0].item<int>(), want.r);
      EXPECT_EQ(rgb[y][x][1].item<int>(), want.g);
      EXPECT_EQ(rgb[y][x][2].item<int>(), want.b);
    }
}

TEST(Palette, ErrorColoursSortTestOtherAndUnlabelledPixels) {
  const torch::Tensor labels = torch::tensor({0, 1, 2, 2, 3, 1}, torch::kLong).view({2, 3});
  const torch::Tensor pred = torch::tensor({4, 1, 1, 2, 2, 3}, torch::kLong).view({2, 3});
  const torch::Tensor test = torch::tensor({0, 1, 2, 0, 3, 0}, torch::kLong).view({2, 3});
  const torch::Tensor rgb = error_colours(pred, labels, test);
  const Rgb want[6] = {kUnlabelledColour, kRightColour, kWrongColour, kOtherLabelColour, kWrongColour,
                       kOtherLabelColour};
  for (int64_t i = 0; i < 6; ++i) {
    const auto px = rgb.view({6, 3})[i];
    EXPECT_EQ((Rgb{static_cast<uint8_t>(px[0].item<int>()), static_cast<uint8_t>(px[1].item<int>()),
                   static_cast<uint8_t>(px[2].item<int>())}),
              want[i])
        << "pixel " << i;
  }
}

TEST(ClassNames, OnePerLineTrimmedWithDefaultsBeyond) {
  lumora::testing::TempDir dir;
  const auto names = read_class_names(write(dir, "n.txt", "  Water \r\nBare soil\r\n\r\n"));
  EXPECT_EQ(names, (std::vector<std::string>{"Water", "Bare soil"}));
  EXPECT_EQ(class_name(names, 0), "unlabelled");
  EXPECT_EQ(class_name(names, 2), "Bare soil");
  EXPECT_EQ(class_name(names, 3), "class 3");
  EXPECT_EQ(class_name({}, 1), "class 1");
  EXPECT_NO_THROW(check_class_names(names, 2, "n.txt"));
  EXPECT_EQ(error_of<ValueError>([&] { check_class_names(names, 4, "n.txt"); }),
            "--class-names: 'n.txt' names 2 classes but the model has classes up to 4");
}

TEST(ClassNames, RefusesMissingEmptyAndGappedFiles) {
  lumora::testing::TempDir dir;
  EXPECT_EQ(error_of<FileNotFoundError>([&] { read_class_names(dir.file("none.txt")); }),
            "--class-names: no such file: '" + dir.file("none.txt") + "'");
  const std::string empty = write(dir, "e.txt", "\n \n");
  EXPECT_EQ(error_of<ValueError>([&] { read_class_names(empty); }),
            "--class-names: '" + empty + "' holds no class name");
  const std::string gap = write(dir, "g.txt", "a\n\nc\n");
  EXPECT_EQ(error_of<ValueError>([&] { read_class_names(gap); }),
            "--class-names: line 2 of '" + gap + "' is empty (class 2 needs a name)");
}

TEST(Composite, BandsNearestTheThreeColoursOrEvenlySpaced) {
  std::vector<double> wl;
  for (int b = 0; b < 20; ++b) wl.push_back(400.0 + 20.0 * b);  // 400 .. 780 nm
  EXPECT_EQ(rgb_bands(20, wl), (std::array<int64_t, 3>{12, 7, 3}));  // 640, 540/560 -> 540, 460
  EXPECT_EQ(rgb_bands(12, {}), (std::array<int64_t, 3>{10, 6, 2}));
  EXPECT_EQ(rgb_bands(3, {}), (std::array<int64_t, 3>{2, 1, 0}));
  EXPECT_EQ(rgb_bands(1, {}), (std::array<int64_t, 3>{0, 0, 0}));
  // Wavelengths that do not cover every band are not used.
  EXPECT_EQ(rgb_bands(12, {640.0}), rgb_bands(12, {}));
}

TEST(Composite, QuantilesInterpolateLikeNumpy) {
  std::vector<float> v;
  for (int i = 100; i >= 1; --i) v.push_back(static_cast<float>(i));  // order must not matter
  EXPECT_NEAR(quantile(v, 0.02), 2.98, 1e-9);
  EXPECT_NEAR(quantile(v, 0.98), 98.02, 1e-9);
  EXPECT_EQ(quantile(v, 0.0), 1.0);
  EXPECT_EQ(quantile(v, 1.0), 100.0);
  EXPECT_EQ(quantile({5.0f}, 0.5), 5.0);
}

TEST(Composite, EachBandStretchedBetweenItsPercentiles) {
  // Band 0: 0..99 along the pixels; band 1: the same reversed and tripled; band 2 constant.
  const torch::Tensor ramp = torch::arange(100, torch::kFloat32).view({10, 10});
  const torch::Tensor cube = torch::stack({ramp, 3.0 * (99.0 - ramp), torch::full({10, 10}, 4.0)});
  const torch::Tensor rgb = true_colour(cube, {0, 1, 2});
  for (int64_t i = 0; i < 100; ++i) {
    const double v = static_cast<double>(i);
    const double lo = 0.02 * 99, hi = 0.98 * 99;
    const int want = static_cast<int>(std::lround(std::clamp((v - lo) / (hi - lo), 0.0, 1.0) * 255.0));
    EXPECT_EQ(rgb.view({100, 3})[i][0].item<int>(), want) << i;
    EXPECT_EQ(rgb.view({100, 3})[99 - i][1].item<int>(), want) << i;
    EXPECT_EQ(rgb.view({100, 3})[i][2].item<int>(), 0);
  }
}

TEST(SceneMetadata, GeotiffTransformWithTheCropApplied) {
  const std::string text = R"({"image": {"transform": [30.0, 0.0, 500000.0, 0.0, -30.0, 4200000.0],
    "crs": "EPSG:32633", "crs_wkt": "WKT-TEXT", "crop": {"y": 5, "x": 7, "height": 10, "width": 12}},
    "conversion": {"output_data_shape": [10, 12, 4]}})";
  const SceneMetadata m = parse_scene_metadata(text, "m.json", 10, 12, 4);
  ASSERT_TRUE(m.georef.has_value());
  EXPECT_EQ(m.georef->geotransform, (std::array<double, 6>{500000.0 + 7 * 30.0, 30.0, 0.0, 4200000.0 - 5 * 30.0, 0.0,
                                                           -30.0}));
  EXPECT_EQ(m.georef->crs, (std::vector<std::string>{"WKT-TEXT", "EPSG:32633"}));
  EXPECT_TRUE(m.notes.empty());
  EXPECT_TRUE(m.wavelengths_nm.empty());
}

TEST(SceneMetadata, EnviMapInfoCoordinateStringAndWavelengths) {
  const std::string text = R"({"image": {
    "map info": ["UTM", "2.000", "3.000", "612730.5", "4074488.0", "2.0", "4.0", "10", "North", "WGS-84", "units=Meters"],
    "coordinate system string": ["PROJCS[\"UTM_Zone_10N\"", "GEOGCS[\"x\"]]"],
    "wavelength": ["0.45", "0.55", "0.65"], "wavelength units": "Micrometers"}})";
  const SceneMetadata m = parse_scene_metadata(text, "m.json", 4, 5, 3);
  ASSERT_TRUE(m.georef.has_value());
  // The reference pixel (2, 3), counted from 1, lies at the given easting and northing.
  EXPECT_EQ(m.georef->geotransform, (std::array<double, 6>{612730.5 - 2.0, 2.0, 0.0, 4074488.0 + 8.0, 0.0, -4.0}));
  EXPECT_EQ(m.georef->crs, (std::vector<std::string>{"EPSG:32610", "PROJCS[\"UTM_Zone_10N\",GEOGCS[\"x\"]]"}));
  ASSERT_EQ(m.wavelengths_nm.size(), 3u);
  EXPECT_NEAR(m.wavelengths_nm[0], 450.0, 1e-9);
  EXPECT_NEAR(m.wavelengths_nm[2], 650.0, 1e-9);
}

TEST(SceneMetadata, OtherScenesAndUngeoreferencedSourcesAreNotUsed) {
  const std::string other = R"({"image": {"transform": [1, 0, 5, 0, -1, 9]}, "conversion": {"output_data_shape": [8, 8, 3]}})";
  const SceneMetadata m = parse_scene_metadata(other, "m.json", 8, 9, 3);
  EXPECT_FALSE(m.georef.has_value());
  ASSERT_EQ(m.notes.size(), 1u);
  EXPECT_EQ(m.notes[0], "WARNING: 'm.json' describes a cube of shape [8,8,3] but the scene is 8 x 9 x 3; its "
                        "georeferencing and wavelengths are not used.");
  const std::string identity = R"({"image": {"transform": [1.0, 0.0, 0.0, 0.0, 1.0, 0.0]}})";
  EXPECT_FALSE(parse_scene_metadata(identity, "m.json", 8, 9, 3).georef.has_value());
  EXPECT_EQ(error_of<ValueError>([] { parse_scene_metadata("{", "m.json", 1, 1, 1); }).rfind("'m.json' is not valid JSON", 0),
            0u);
}

TEST(SceneMetadata, FoundBesideTheDataOrGiven) {
  lumora::testing::TempDir dir;
  EXPECT_FALSE(find_scene_metadata(dir.file("data.mat"), std::nullopt, 2, 2, 2).has_value());
  EXPECT_EQ(error_of<FileNotFoundError>([&] { find_scene_metadata(dir.file("data.mat"), dir.file("m.json"), 2, 2, 2); }),
            "--metadata: no such file: '" + dir.file("m.json") + "'");
  // A broken file found by name alone is skipped with a note; given by name it fails.
  write(dir, "metadata.json", "not json");
  const auto found = find_scene_metadata(dir.file("data.mat"), std::nullopt, 2, 2, 2);
  ASSERT_TRUE(found.has_value());
  EXPECT_FALSE(found->georef.has_value());
  ASSERT_EQ(found->notes.size(), 1u);
  EXPECT_EQ(found->notes[0].rfind("WARNING: '" + dir.file("metadata.json") + "' is not valid JSON", 0), 0u);
  EXPECT_THROW(find_scene_metadata(dir.file("data.mat"), dir.file("metadata.json"), 2, 2, 2), ValueError);
}

}  // namespace lumora::maps
