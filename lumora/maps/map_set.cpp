#include "lumora/maps/map_set.h"

#include <torch/torch.h>

#include "lumora/config.h"
#include "lumora/core/errors.h"
#include "lumora/core/paths.h"
#include "lumora/maps/class_names.h"
#include "lumora/maps/composite.h"
#include "lumora/maps/palette.h"
#if LUMORA_HAVE_GDAL
#include "lumora/maps/raster_writer.h"
#endif
#if LUMORA_HAVE_CAIRO
#include "lumora/maps/figures.h"
#endif

namespace lumora::maps {

const char* const kNoRastersNotice = "Maps skipped: this lumora was built without GDAL.";
const char* const kNoFiguresNotice = "Figures skipped: this lumora was built without Cairo.";

bool rasters_available() { return LUMORA_HAVE_GDAL != 0; }
bool figures_available() { return LUMORA_HAVE_CAIRO != 0; }

namespace {

#if !LUMORA_HAVE_GDAL
[[noreturn]] void no_gdal() { throw RuntimeError(kNoRastersNotice); }
void write_rgb_png(const std::string&, const torch::Tensor&) { no_gdal(); }
void write_class_geotiff(const std::string&, const torch::Tensor&, const std::vector<Rgb>&,
                         const std::vector<std::string>&, const Georef*) {
  no_gdal();
}
void write_float_geotiff(const std::string&, const torch::Tensor&, const std::vector<std::string>&, const Georef*) {
  no_gdal();
}
#endif

}  // namespace

void write_split_raster(const std::string& path, const torch::Tensor& roles, const Georef* georef) {
  // Unused black, then train, val and test in colours that read apart on any screen.
  const std::vector<Rgb> colours = {{0, 0, 0}, {230, 159, 0}, {86, 180, 233}, {200, 200, 200}};
  write_class_geotiff(path, roles.to(torch::kInt64), colours, {"unused", "train", "val", "test"}, georef);
}

MapSet::MapSet(std::string out_dir, int64_t num_classes, std::vector<std::string> names,
               std::optional<SceneMetadata> metadata)
    : out_dir_(std::move(out_dir)),
      num_classes_(std::max<int64_t>(num_classes, 1)),
      names_(std::move(names)),
      metadata_(std::move(metadata)) {}

std::string MapSet::file(const std::string& name) const { return path_join(out_dir_, name); }

void MapSet::note_classes(const torch::Tensor& ids) {
  const torch::Tensor present = std::get<0>(torch::_unique(ids.to(torch::kCPU, torch::kLong)));
  for (int64_t i = 0; i < present.numel(); ++i) shown_.insert(present[i].item<int64_t>());
}

std::vector<std::string> MapSet::prediction(const std::string& suffix, const torch::Tensor& pred) {
  note_classes(pred);
  const int64_t top = std::max(num_classes_ - 1, pred.numel() ? pred.max().item<int64_t>() : 0);
  std::vector<Rgb> colours;
  std::vector<std::string> names;
  for (int64_t k = 0; k <= top; ++k) {
    colours.push_back(class_colour(k));
    names.push_back(class_name(names_, k));
  }
  const std::string png = file("map" + suffix + ".png"), tif = file("map" + suffix + ".tif");
  write_rgb_png(png, colour_classes(pred));
  write_class_geotiff(tif, pred, colours, names, metadata_ && metadata_->georef ? &*metadata_->georef : nullptr);
  return {png, tif};
}

std::vector<std::string> MapSet::probabilities(const std::string& suffix, const torch::Tensor& probs) {
  std::vector<std::string> descriptions;
  for (int64_t k = 1; k < probs.size(0); ++k) descriptions.push_back(class_name(names_, k));
  const std::string tif = file("probs" + suffix + ".tif");
  write_float_geotiff(tif, probs.slice(0, 1), descriptions,
                      metadata_ && metadata_->georef ? &*metadata_->georef : nullptr);
  return {tif};
}

std::vector<std::string> MapSet::truth(const torch::Tensor& labels) {
  note_classes(labels);
  const std::string png = file("gt.png");
  write_rgb_png(png, colour_classes(labels));
  return {png};
}

std::vector<std::string> MapSet::errors(const std::string& suffix, const torch::Tensor& pred,
                                        const torch::Tensor& labels, const torch::Tensor& test_mask) {
  const std::string png = file("errors" + suffix + ".png");
  write_rgb_png(png, error_colours(pred, labels, test_mask));
  return {png};
}

std::vector<std::string> MapSet::scene(const torch::Tensor& cube) {
  return scene(cube.size(0), [&](const std::vector<int64_t>& which) {
    return cube.index_select(0, torch::tensor(which, torch::kInt64));
  });
}

std::vector<std::string> MapSet::scene(int64_t bands,
                                       const std::function<torch::Tensor(const std::vector<int64_t>&)>& read) {
  const std::string png = file("scene_rgb.png");
  const std::vector<double> none;
  const std::array<int64_t, 3> rgb = rgb_bands(bands, metadata_ ? metadata_->wavelengths_nm : none);
  write_rgb_png(png, true_colour(read({rgb[0], rgb[1], rgb[2]}), {0, 1, 2}));
  return {png};
}

std::vector<std::string> MapSet::legend() {
#if LUMORA_HAVE_CAIRO
  std::vector<LegendEntry> entries;
  for (int64_t k : shown_) {
    // Given names keep their id beside them; the default "class k" says it already.
    const bool named = k >= 1 && static_cast<size_t>(k) <= names_.size();
    entries.push_back({class_colour(k), named ? std::to_string(k) + ": " + class_name(names_, k) : class_name(names_, k)});
  }
  const std::string png = file("legend.png");
  draw_legend(png, "Classes", entries);
  return {png};
#else
  return {};
#endif
}

}  // namespace lumora::maps
