// The maps, counts and figures of the built programs, on one georeferenced
// chain: a GeoTIFF scene with a known geotransform and coordinate system is
// converted with a crop, a class tree and a single network are trained on
// it once, and every test predicts from those. Every written raster is
// decoded with GDAL and compared pixel by pixel with the prediction the
// library computes for the same scene.
#include <gtest/gtest.h>
#include <torch/torch.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <fmt/format.h>

#include "convert/fixtures.h"
#include "lumora/core/torch_compat.h"
#include "lumora/datasets/cubeset.h"
#include "lumora/maps/composite.h"
#include "lumora/maps/figures.h"
#include "lumora/maps/palette.h"
#include "lumora/rssp/bundle.h"
#include "lumora/rssp/cascader.h"
#include "maps/raster_reading.h"
#include "lumora/core/elapsed.h"
#include "support/testing.h"

namespace lumora {
namespace {

namespace fs = std::filesystem;
using maps::Rgb;
using testing::Raster;
using testing::read_raster;

// The source: 40 x 44 pixels, 8 bands, classes 1..4 in stripes, two columns
// unlabelled; 30 m pixels of UTM zone 33 N. The crop keeps rows 3..34 and
// columns 5..36.
constexpr int64_t kSrcH = 40, kSrcW = 44, kBands = 8, kClasses = 4;
constexpr int64_t kCropY = 3, kCropX = 5, kSide = 32;
const std::vector<double> kSourceGeotransform = {500000.0, 30.0, 0.0, 4200000.0, 0.0, -30.0};

std::vector<std::string> names_of(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

torch::Tensor ids_of(const std::string& path) { return read_raster(path).values[0].to(torch::kLong); }

double agreement(const torch::Tensor& a, const torch::Tensor& b) {
  return a.eq(b).to(torch::kFloat64).mean().item<double>();
}

class MapsCli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    compat::use_all_cores();  // the programs' thread count, for the same float sums
    dir = new testing::TempDir();
    auto scene = testing::make_tiny_scene(kSrcH, kSrcW, kBands, kClasses);
    scene.labels.slice(1, 20, 22).zero_();
    const torch::Tensor cube = scene.cube, labels = scene.labels;
    testing::RasterFixture img;
    img.width = kSrcW, img.height = kSrcH, img.bands = kBands, img.type = "Float32", img.epsg = "32633";
    img.geotransform = kSourceGeotransform;
    testing::write_raster(dir->file("scene.tif"), "GTiff", img, [&](int64_t r, int64_t c, int64_t b) {
      return static_cast<double>(cube[r][c][b].item<float>());
    });
    testing::RasterFixture gt = img;
    gt.bands = 1, gt.type = "Byte";
    testing::write_raster(dir->file("labels.tif"), "GTiff", gt, [&](int64_t r, int64_t c, int64_t) {
      return static_cast<double>(labels[r][c].item<int64_t>());
    });
    std::ofstream(dir->file("names.txt")) << "Water\nTrees\nBare soil\nCrops, wheat\n";
    convert = new testing::RunResult(testing::run_program(
        "lumora-convert", {"--img", dir->file("scene.tif"), "--gt", dir->file("labels.tif"), "--out-dir",
                           dir->file("conv"), "--crop", std::to_string(kCropY), std::to_string(kCropX),
                           std::to_string(kSide), std::to_string(kSide)}));
    fit = new testing::RunResult(testing::run_program(
        "lumora-treefit", {"--data", data(), "--gt", labels_file(), "--out-dir", dir->file("fit"), "--epochs", "6",
                           "--ensembles", "1", "--leaf_ensembles", "1", "--base_filters", "4", "--num_filters", "2",
                           "--val_interval", "2", "--min_epochs", "2", "--d_model", "8", "--d_state", "4"}));
    train = new testing::RunResult(testing::run_program(
        "lumora-train", {"--data", data(), "--gt", labels_file(), "--out-dir", dir->file("train"), "--epochs", "10",
                         "--base_filters", "4", "--num_filters", "2", "--lr", "0.01", "--class-names",
                         dir->file("names.txt")}));
    // The whole-scene prediction several cases compare with.
    forest = new testing::RunResult(
        predict("forest", {"--routing", "forest", "--probs", "--class-names", dir->file("names.txt")}));
  }
  static void TearDownTestSuite() {
    delete forest;
    delete train;
    delete fit;
    delete convert;
    delete dir;
  }
  static std::string data() { return dir->file("conv/data.mat"); }
  static std::string labels_file() { return dir->file("conv/gt.mat"); }
  static std::string bundle() { return dir->file("fit/spt_models.pkl"); }

  static std::vector<std::string> predict_args(const std::string& out, std::vector<std::string> extra,
                                               bool with_gt = true, const std::string& model = "") {
    std::vector<std::string> args = {"--data", data(), "--model", model.empty() ? bundle() : model, "--out-dir",
                                     dir->file(out)};
    if (with_gt) args.insert(args.end(), {"--gt", labels_file()});
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  static testing::RunResult predict(const std::string& out, std::vector<std::string> extra, bool with_gt = true,
                                    const std::string& model = "") {
    return testing::run_program("lumora-predict", predict_args(out, std::move(extra), with_gt, model));
  }

  // The test split the bundle records (the defaults), as the programs load it.
  static HyperspectralDataset test_split() {
    return HyperspectralDataset(LabelledScene(SceneOptions(data(), labels_file())), Split::test);
  }

  static void ready() {
    ASSERT_EQ(convert->exit_code, 0) << convert->err;
    ASSERT_EQ(fit->exit_code, 0) << fit->err;
    ASSERT_EQ(train->exit_code, 0) << train->err;
    ASSERT_EQ(forest->exit_code, 0) << forest->err;
  }

  static testing::TempDir* dir;
  static testing::RunResult *convert, *fit, *train, *forest;
};
testing::TempDir* MapsCli::dir = nullptr;
testing::RunResult* MapsCli::convert = nullptr;
testing::RunResult* MapsCli::fit = nullptr;
testing::RunResult* MapsCli::train = nullptr;
testing::RunResult* MapsCli::forest = nullptr;

Rgb at(const torch::Tensor& rgb, int64_t y, int64_t x) {
  return {static_cast<uint8_t>(rgb[y][x][0].item<int>()), static_cast<uint8_t>(rgb[y][x][1].item<int>()),
          static_cast<uint8_t>(rgb[y][x][2].item<int>())};
}

// Every pixel of a PNG in the class colour of `ids`.
void expect_class_colours(const std::string& png, const torch::Tensor& ids) {
  const Raster r = read_raster(png);
  ASSERT_EQ(r.values.size(0), 3) << png;
  const torch::Tensor rgb = testing::rgb_of(r);
  ASSERT_EQ(rgb.size(0), ids.size(0));
  ASSERT_EQ(rgb.size(1), ids.size(1));
  for (int64_t y = 0; y < ids.size(0); ++y)
    for (int64_t x = 0; x < ids.size(1); ++x)
      ASSERT_EQ(at(rgb, y, x), maps::class_colour(ids[y][x].item<int64_t>())) << png << " at " << y << ", " << x;
}

// The colour table and category names of a class GeoTIFF for classes 0..k-1.
void expect_class_table(const Raster& r, int64_t k, const std::vector<std::string>& names) {
  ASSERT_GE(static_cast<int64_t>(r.colour_table.size()), k);  // a TIFF colour map has 2^bits entries
  for (int64_t c = 0; c < k; ++c) EXPECT_EQ(r.colour_table[c], maps::class_colour(c)) << c;
  EXPECT_EQ(r.category_names, names);
}

std::vector<std::string> default_names() { return {"unlabelled", "class 1", "class 2", "class 3", "class 4"}; }
std::vector<std::string> given_names() { return {"unlabelled", "Water", "Trees", "Bare soil", "Crops, wheat"}; }

// The source's geotransform with the crop's first pixel as origin.
std::array<double, 6> cropped_geotransform() {
  const auto& g = kSourceGeotransform;
  return {g[0] + g[1] * kCropX + g[2] * kCropY, g[1], g[2], g[3] + g[4] * kCropX + g[5] * kCropY, g[4], g[5]};
}

}  // namespace

TEST_F(MapsCli, TreeMapsArePixelForPixelThePrediction) {
  ready();
  EXPECT_NE(forest->out.find("Georeferencing the maps from " + dir->file("conv/metadata.json")), std::string::npos);

  const Bundle b = load_bundle(bundle());
  HyperspectralDataset ds = test_split();
  const int64_t k = tree_class_count(b.tree);
  const torch::Tensor dist =
      cascade_distribution(b.tree, b.trained_models, ds.data, nullptr, torch::kCPU, k, Routing::forest, nullptr, TileOptions());
  const torch::Tensor pred = run_inference(b.tree, b.trained_models, ds.data, nullptr, torch::kCPU, k, Routing::forest);

  const Raster tif = read_raster(dir->file("forest/map_forest.tif"));
  EXPECT_EQ(tif.data_type, "Byte");
  EXPECT_TRUE(torch::equal(tif.values[0].to(torch::kLong), pred));
  expect_class_table(tif, k, given_names());
  expect_class_colours(dir->file("forest/map_forest.png"), pred);
  expect_class_colours(dir->file("forest/gt.png"), ds.labels);

  const Raster probs = read_raster(dir->file("forest/probs_forest.tif"));
  EXPECT_EQ(probs.data_type, "Float32");
  EXPECT_EQ(probs.descriptions, (std::vector<std::string>{"Water", "Trees", "Bare soil", "Crops, wheat"}));
  EXPECT_TRUE(torch::allclose(probs.values.to(torch::kFloat32), dist.slice(0, 1), 1e-5, 1e-6));

  // Test pixels green when right and red when wrong, other labelled pixels grey, the rest black.
  const torch::Tensor errors = testing::rgb_of(read_raster(dir->file("forest/errors_forest.png")));
  int64_t right = 0, wrong = 0, grey = 0, black = 0;
  for (int64_t y = 0; y < kSide; ++y)
    for (int64_t x = 0; x < kSide; ++x) {
      const int64_t truth = ds.labels[y][x].item<int64_t>();
      const bool test = ds.split_mask[y][x].item<int64_t>() > 0;
      const Rgb want = test ? (pred[y][x].item<int64_t>() == truth ? maps::kRightColour : maps::kWrongColour)
                            : (truth > 0 ? maps::kOtherLabelColour : maps::kUnlabelledColour);
      ASSERT_EQ(at(errors, y, x), want) << y << ", " << x;
      right += want == maps::kRightColour, wrong += want == maps::kWrongColour;
      grey += want == maps::kOtherLabelColour, black += want == maps::kUnlabelledColour;
    }
  EXPECT_EQ(right + wrong, ds.coords.size(0));
  EXPECT_GT(grey, 0);
  EXPECT_GT(black, 0);

  // One swatch per class shown in a map (the label map's unlabelled pixels included), in id order.
  std::set<int64_t> shown;
  for (const torch::Tensor& m : {pred, ds.labels})
    for (int64_t i = 0; i < m.numel(); ++i) shown.insert(m.view({-1})[i].item<int64_t>());
  const torch::Tensor legend = testing::rgb_of(read_raster(dir->file("forest/legend.png")));
  size_t i = 0;
  for (int64_t c : shown) {
    const maps::Box box = maps::legend_swatch(i++);
    EXPECT_EQ(at(legend, box.y + box.height / 2, box.x + box.width / 2), maps::class_colour(c)) << c;
  }

  const torch::Tensor scene_rgb = testing::rgb_of(read_raster(dir->file("forest/scene_rgb.png")));
  EXPECT_TRUE(torch::equal(scene_rgb, maps::true_colour(ds.data, maps::rgb_bands(kBands, {}))));
  EXPECT_GT(scene_rgb.to(torch::kFloat32).std().item<double>(), 10.0);
}

TEST_F(MapsCli, GeoreferencedChainKeepsTheSourcesGeotransformWithTheCrop) {
  ready();
  for (const char* name : {"forest/map_forest.tif", "forest/probs_forest.tif"}) {
    const Raster tif = read_raster(dir->file(name));
    ASSERT_TRUE(tif.geotransform.has_value()) << name;
    EXPECT_EQ(*tif.geotransform, cropped_geotransform()) << name;
    EXPECT_TRUE(testing::same_crs(tif.wkt, "EPSG:32633")) << name << ": " << tif.wkt;
  }
  // A metadata file of another scene is not applied.
  std::ofstream(dir->file("other.json"))
      << R"({"image": {"transform": [1, 0, 7, 0, -1, 9]}, "conversion": {"output_data_shape": [9, 9, 8]}})";
  auto other = predict("other", {"--routing", "forest", "--metadata", dir->file("other.json")});
  ASSERT_EQ(other.exit_code, 0) << other.err;
  EXPECT_NE(other.out.find("WARNING: '" + dir->file("other.json") + "' describes a cube of shape [9,9,8]"),
            std::string::npos);
  const Raster plain = read_raster(dir->file("other/map_forest.tif"));
  EXPECT_FALSE(plain.geotransform.has_value());
  expect_class_table(plain, 5, default_names());
}

TEST_F(MapsCli, NoMapsLeavesTheScoresAsTheyWere) {
  ready();
  const testing::RunResult& with = *forest;
  auto without = predict("without", {"--routing", "forest", "--no-maps", "--probs", "--class-names",
                                     dir->file("names.txt")});
  ASSERT_EQ(without.exit_code, 0) << without.err;
  EXPECT_EQ(names_of(dir->file("without")),
            (std::vector<std::string>{"class_report_forest.csv", "test_results_forest.csv"}));
  for (const char* f : {"class_report_forest.csv", "test_results_forest.csv"})
    EXPECT_EQ(testing::read_file(dir->file(std::string("forest/") + f)),
              testing::read_file(dir->file(std::string("without/") + f)));
  EXPECT_EQ(names_of(dir->file("forest")),
            (std::vector<std::string>{"class_report_forest.csv", "errors_forest.png", "gt.png", "legend.png",
                                      "map_forest.png", "map_forest.tif", "map_forest.tif.aux.xml",
                                      "probs_forest.tif", "scene_rgb.png", "test_results_forest.csv"}));
  // Maps only add lines: every line printed without them is printed, in order, with them.
  auto lines = [](const std::string& text) {
    std::vector<std::string> out;
    std::stringstream ss(std::regex_replace(text, std::regex("[0-9]+\\.[0-9]s"), "T"));
    for (std::string line; std::getline(ss, line);) out.push_back(line);
    return out;
  };
  const std::string other_folder = dir->file("without/"), same_folder = dir->file("forest/");
  std::string renamed = without.out;
  for (size_t at; (at = renamed.find(other_folder)) != std::string::npos;)
    renamed.replace(at, other_folder.size(), same_folder);
  const auto all = lines(with.out), fewer = lines(renamed);
  size_t next = 0;
  for (const auto& line : fewer) {
    while (next < all.size() && all[next] != line) ++next;
    ASSERT_LT(next, all.size()) << "missing or out of order with maps: " << line;
    ++next;
  }
  EXPECT_GT(all.size(), fewer.size());
}

TEST_F(MapsCli, WithoutLabelsEveryModeIsCountedAndMapped) {
  ready();
  auto r = predict("unlabelled", {}, /*with_gt=*/false);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("no label map, so nothing is scored"), std::string::npos);
  EXPECT_EQ(r.out.find("Test Results"), std::string::npos);
  const auto files = names_of(dir->file("unlabelled"));
  for (const char* mode : {"forest", "hybrid", "soft"}) {
    const std::string m = mode;
    EXPECT_TRUE(std::count(files.begin(), files.end(), "map_" + m + ".png")) << m;
    EXPECT_FALSE(std::count(files.begin(), files.end(), "test_results_" + m + ".csv")) << m;
    EXPECT_FALSE(std::count(files.begin(), files.end(), "errors_" + m + ".png")) << m;
    // Exactly the pixel counts of the written map, every tree class listed.
    const torch::Tensor ids = ids_of(dir->file("unlabelled/map_" + m + ".tif"));
    std::string expected = "class_id,class_name,pixels,fraction\r\n";
    for (int64_t c = 1; c <= kClasses; ++c) {
      const int64_t n = ids.eq(c).sum().item<int64_t>();
      expected += fmt::format("{},class {},{},{:.6f}\r\n", c, c, n, static_cast<double>(n) / (kSide * kSide));
    }
    EXPECT_EQ(testing::read_file(dir->file("unlabelled/class_counts_" + m + ".csv")), expected) << m;
    EXPECT_NE(r.out.find("Predicted pixels per class (routing=" + m + ")"), std::string::npos);
  }
  EXPECT_FALSE(std::count(files.begin(), files.end(), "gt.png"));
  // The prediction does not depend on whether labels were given.
  const Bundle b = load_bundle(bundle());
  const torch::Tensor pred = run_inference(b.tree, b.trained_models, test_split().data, nullptr, torch::kCPU,
                                           tree_class_count(b.tree), Routing::forest);
  EXPECT_TRUE(torch::equal(ids_of(dir->file("unlabelled/map_forest.tif")), pred));
}

TEST_F(MapsCli, SingleNetworkPredictionReproducesTrainingExactly) {
  ready();
  for (const char* f : {"best_model.json", "map.png", "map.tif", "gt.png", "errors.png", "legend.png",
                        "scene_rgb.png", "training_curves.png"})
    EXPECT_TRUE(fs::exists(dir->file(std::string("train/") + f))) << f;
  EXPECT_NE(train->out.find("  lumora-predict --model " + dir->file("train/best_model.pth")), std::string::npos);
  const torch::Tensor trained = ids_of(dir->file("train/map.tif"));
  expect_class_table(read_raster(dir->file("train/map.tif")), 5, given_names());
  expect_class_colours(dir->file("train/map.png"), trained);
  EXPECT_EQ(*read_raster(dir->file("train/map.tif")).geotransform, cropped_geotransform());

  auto r = predict("net", {"--routing", "soft"}, true, dir->file("train/best_model.pth"));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("Note: --routing applies to class trees only; this model is a single network."),
            std::string::npos);
  EXPECT_EQ(testing::read_file(dir->file("net/test_results.csv")), testing::read_file(dir->file("train/test_results.csv")));
  EXPECT_TRUE(torch::equal(ids_of(dir->file("net/map.tif")), trained));
  // The names recorded beside the weights name the classes without --class-names.
  expect_class_table(read_raster(dir->file("net/map.tif")), 5, given_names());
  EXPECT_EQ(testing::read_file(dir->file("net/errors.png")), testing::read_file(dir->file("train/errors.png")));

  // Weights without their side file are named as such, not as a broken bundle.
  fs::create_directories(dir->file("bare"));
  fs::copy_file(dir->file("train/best_model.pth"), dir->file("bare/best_model.pth"));
  auto bare = predict("bare_out", {}, true, dir->file("bare/best_model.pth"));
  EXPECT_EQ(bare.exit_code, 1);
  EXPECT_EQ(bare.err, "error: '" + dir->file("bare/best_model.pth") +
                          "' holds the weights of a single network, but its side file '" +
                          dir->file("bare/best_model.json") + "' (written by lumora-train beside them) is missing\n");

  auto unlabelled = predict("net_unlabelled", {}, false, dir->file("train/best_model.pth"));
  ASSERT_EQ(unlabelled.exit_code, 0) << unlabelled.err;
  std::string expected = "class_id,class_name,pixels,fraction\r\n";
  const std::vector<std::string> names = given_names();
  for (int64_t c = 1; c <= kClasses; ++c) {
    const int64_t n = trained.eq(c).sum().item<int64_t>();
    const std::string name = names[c].find(',') == std::string::npos ? names[c] : "\"" + names[c] + "\"";
    expected += fmt::format("{},{},{},{:.6f}\r\n", c, name, n, static_cast<double>(n) / (kSide * kSide));
  }
  if (trained.eq(0).any().item<bool>())
    expected += fmt::format("0,unlabelled,{},{:.6f}\r\n", trained.eq(0).sum().item<int64_t>(),
                            trained.eq(0).sum().item<double>() / (kSide * kSide));
  EXPECT_EQ(testing::read_file(dir->file("net_unlabelled/class_counts.csv")), expected);
}

TEST_F(MapsCli, TilesAgreeWithTheWholeScene) {
  ready();
  auto one = predict("one_tile", {"--routing", "forest", "--probs", "--tile", "32", "--class-names",
                                  dir->file("names.txt")});
  auto tiled = predict("tiles", {"--routing", "forest", "--probs", "--tile", "16"});
  ASSERT_EQ(one.exit_code, 0) << one.err;
  ASSERT_EQ(tiled.exit_code, 0) << tiled.err;
  EXPECT_NE(one.out.find("Tiles: one 32 x 32 tile covers the whole scene"), std::string::npos);
  EXPECT_NE(tiled.out.find("Tiles: 4 of 16 x 16 pixels, each read with a 112-pixel margin (the network's receptive "
                           "field)"),
            std::string::npos);
  // One tile covering the scene is the whole-scene run itself.
  EXPECT_EQ(testing::read_file(dir->file("one_tile/probs_forest.tif")),
            testing::read_file(dir->file("forest/probs_forest.tif")));
  EXPECT_EQ(testing::read_file(dir->file("one_tile/test_results_forest.csv")),
            testing::read_file(dir->file("forest/test_results_forest.csv")));
  const torch::Tensor a = ids_of(dir->file("forest/map_forest.tif")), b = ids_of(dir->file("tiles/map_forest.tif"));
  EXPECT_GE(agreement(a, b), 0.999);
  EXPECT_TRUE(torch::allclose(read_raster(dir->file("tiles/probs_forest.tif")).values,
                              read_raster(dir->file("forest/probs_forest.tif")).values, 1e-4, 1e-5));
  EXPECT_NE(tiled.out.find("Cube read into a temporary copy ("), std::string::npos) << tiled.out;
  EXPECT_NE(tiled.out.find("  Tile 4/4 done ("), std::string::npos) << tiled.out;

  // Every mode at once, without labels.
  auto whole_all = predict("whole_all", {}, false);
  auto tiled_all = predict("tiles_all", {"--tile", "16"}, false);
  ASSERT_EQ(whole_all.exit_code, 0) << whole_all.err;
  ASSERT_EQ(tiled_all.exit_code, 0) << tiled_all.err;
  for (const std::string mode : {"forest", "hybrid", "soft"})
    EXPECT_GE(agreement(ids_of(dir->file("whole_all/map_" + mode + ".tif")),
                        ids_of(dir->file("tiles_all/map_" + mode + ".tif"))),
              0.999)
        << mode;

  auto net = predict("net_tiles", {"--tile", "16", "--tile-overlap", "32"}, true, dir->file("train/best_model.pth"));
  ASSERT_EQ(net.exit_code, 0) << net.err;
  EXPECT_NE(net.out.find("Tiles: 4 of 16 x 16 pixels, each read with a 32-pixel margin\n"), std::string::npos);
  EXPECT_GE(agreement(ids_of(dir->file("net_tiles/map.tif")), ids_of(dir->file("train/map.tif"))), 0.999);
}

TEST_F(MapsCli, SigtermBetweenTilesStopsWithNothingWritten) {
  ready();
  testing::BackgroundProgram run("lumora-predict", predict_args("stopped", {"--routing", "soft", "--tile", "16"}));
  const double start = wall_time();
  while (run.out().find("Tile 1/4 done") == std::string::npos && wall_time() - start < 120.0)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  run.send(SIGTERM);
  const testing::RunResult r = run.wait(120.0);
  EXPECT_EQ(r.exit_code, 143) << r.out;
  EXPECT_EQ(r.err, "stopped by SIGTERM during tiled prediction; nothing was written\n");
  EXPECT_EQ(r.out.find("Tile 4/4 done"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir->file("stopped/map_soft.tif")));
  EXPECT_FALSE(fs::exists(dir->file("stopped/test_results_soft.csv")));
}

TEST_F(MapsCli, TrainingCurvesOfBothTrainers) {
  ready();
  for (const char* path : {"fit/training_curves.png", "train/training_curves.png"}) {
    const Raster r = read_raster(dir->file(path));
    EXPECT_EQ(r.values.size(0), 3) << path;
    EXPECT_EQ(r.values.size(2), 1000) << path;
  }
  EXPECT_NE(fit->out.find("Saved → " + dir->file("fit/training_curves.png")), std::string::npos);
  // The tree's curves have the root's colour: its member's markers are there.
  const torch::Tensor rgb = testing::rgb_of(read_raster(dir->file("fit/training_curves.png")));
  const Rgb root = maps::class_colour(1);
  EXPECT_GT(rgb.select(2, 0).eq(root.r).logical_and(rgb.select(2, 1).eq(root.g)).logical_and(rgb.select(2, 2).eq(root.b))
                .sum()
                .item<int64_t>(),
            100);
}

TEST_F(MapsCli, ClassNameFilesThatDoNotCoverTheClassesFailFirst) {
  ready();
  std::ofstream(dir->file("short.txt")) << "Water\nTrees\n";
  auto r = predict("short", {"--routing", "forest", "--class-names", dir->file("short.txt")});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "error: --class-names: '" + dir->file("short.txt") +
                       "' names 2 classes but the model has classes up to 4\n");
  EXPECT_FALSE(fs::exists(dir->file("short")));
  auto t = testing::run_program("lumora-train", {"--data", data(), "--gt", labels_file(), "--out-dir",
                                                 dir->file("short_train"), "--class-names", dir->file("short.txt")});
  EXPECT_EQ(t.exit_code, 1);
  EXPECT_EQ(t.err, r.err);
  EXPECT_FALSE(fs::exists(dir->file("short_train")));
  auto missing = predict("missing_meta", {"--metadata", dir->file("none.json")});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.err, "error: --metadata: no such file: '" + dir->file("none.json") + "'\n");
}

TEST_F(MapsCli, HelpListsTheNewOptions) {
  auto r = testing::run_program("lumora-predict", {"--help"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.rfind("usage: lumora-predict [-h] --data DATA [--gt GT] --model MODEL", 0), 0u) << r.out;
  for (const char* text : {"--no-maps", "--probs", "--metadata METADATA", "--class-names CLASS_NAMES", "--tile TILE",
                           "--tile-overlap TILE_OVERLAP", "112 pixels for 3 spectral blocks"})
    EXPECT_NE(r.out.find(text), std::string::npos) << text;
  auto bad = testing::run_program("lumora-predict", {"--data", "a", "--model", "m", "--tile", "8"});
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_NE(bad.err.find("--tile: must be at least 16, got 8"), std::string::npos) << bad.err;
}

}  // namespace lumora
