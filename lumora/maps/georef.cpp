#include "lumora/maps/georef.h"

#include <fmt/format.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "lumora/core/errors.h"
#include "lumora/core/paths.h"

namespace lumora::maps {
namespace {

using json = nlohmann::ordered_json;

std::optional<double> number_of(const json& v) {
  if (v.is_number()) return v.get<double>();
  if (!v.is_string()) return std::nullopt;
  const std::string s = v.get<std::string>();
  char* end = nullptr;
  const double d = std::strtod(s.c_str(), &end);
  while (end && (*end == ' ' || *end == '\t')) ++end;
  if (s.empty() || end == s.c_str() || *end != '\0' || !std::isfinite(d)) return std::nullopt;
  return d;
}

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trimmed(const std::string& s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// An ENVI list field: kept as a list of texts, or one text with commas.
std::vector<std::string> items_of(const json& v) {
  std::vector<std::string> out;
  if (v.is_array()) {
    for (const auto& item : v) out.push_back(item.is_string() ? item.get<std::string>() : item.dump());
  } else if (v.is_string()) {
    std::stringstream ss(v.get<std::string>());
    for (std::string part; std::getline(ss, part, ',');) out.push_back(part);
  }
  for (auto& s : out) s = trimmed(s);
  return out;
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
  return out;
}

// rasterio's affine (a, b, c, d, e, f) as lumora-convert records GeoTIFFs.
std::optional<std::array<double, 6>> from_transform(const json& t) {
  if (!t.is_array() || t.size() < 6) return std::nullopt;
  double v[6];
  for (int i = 0; i < 6; ++i) {
    const auto n = number_of(t[i]);
    if (!n) return std::nullopt;
    v[i] = *n;
  }
  const std::array<double, 6> gt{v[2], v[0], v[1], v[5], v[3], v[4]};
  // The identity is what an ungeoreferenced raster reports.
  if (gt == std::array<double, 6>{0, 1, 0, 0, 0, 1}) return std::nullopt;
  return gt;
}

// ENVI's "map info": {projection, reference column, reference row (both
// from 1), easting, northing, pixel width, pixel height, [zone, North|South,]
// datum, units=..., rotation=...}.
std::optional<std::array<double, 6>> from_map_info(const std::vector<std::string>& info, std::vector<std::string>& crs,
                                                   std::vector<std::string>& notes, const std::string& path) {
  if (info.size() < 7) return std::nullopt;
  double v[6];
  for (int i = 0; i < 6; ++i) {
    const auto n = number_of(json(info[static_cast<size_t>(i) + 1]));
    if (!n) return std::nullopt;
    v[i] = *n;
  }
  for (const auto& item : info) {
    const std::string l = lower(item);
    if (l.rfind("rotation=", 0) == 0 && std::atof(l.c_str() + 9) != 0.0) {
      notes.push_back("WARNING: the map info in '" + path + "' is rotated; the GeoTIFFs are written without georeferencing.");
      return std::nullopt;
    }
  }
  const double ref_x = v[0], ref_y = v[1], east = v[2], north = v[3], dx = v[4], dy = v[5];
  const std::string projection = lower(info[0]);
  if (projection == "utm" && info.size() >= 10 && lower(info[9]).find("wgs") != std::string::npos &&
      lower(info[9]).find("84") != std::string::npos) {
    const auto zone = number_of(json(info[7]));
    const std::string hemisphere = lower(info[8]);
    if (zone && *zone >= 1 && *zone <= 60)
      crs.push_back(fmt::format("EPSG:{}", (hemisphere == "south" ? 32700 : 32600) + static_cast<int>(*zone)));
  } else if (projection == "geographic lat/lon" && info.size() >= 8 &&
             lower(info[7]).find("wgs") != std::string::npos) {
    crs.push_back("EPSG:4326");
  }
  return std::array<double, 6>{east - (ref_x - 1.0) * dx, dx, 0.0, north + (ref_y - 1.0) * dy, 0.0, -dy};
}

std::vector<double> wavelengths_of(const json& image, int64_t bands, std::vector<std::string>& notes,
                                   const std::string& path) {
  if (!image.contains("wavelength")) return {};
  std::vector<double> out;
  for (const auto& text : items_of(image["wavelength"])) {
    const auto v = number_of(json(text));
    if (!v) return {};
    out.push_back(*v);
  }
  if (static_cast<int64_t>(out.size()) != bands) {
    notes.push_back(fmt::format("WARNING: '{}' lists {} wavelengths for {} bands; they are not used.", path,
                                out.size(), bands));
    return {};
  }
  std::string units = image.contains("wavelength units") && image["wavelength units"].is_string()
                          ? lower(image["wavelength units"].get<std::string>())
                          : "";
  double scale = 1.0;
  if (units.find("micro") != std::string::npos || units == "um" || units == "\u00b5m") {
    scale = 1000.0;
  } else if (units.find("nano") == std::string::npos && units != "nm") {
    // No usable units: visible light is below 100 only in micrometres.
    double top = 0.0;
    for (double w : out) top = std::max(top, w);
    if (top < 100.0) scale = 1000.0;
  }
  for (auto& w : out) w *= scale;
  return out;
}

}  // namespace

SceneMetadata parse_scene_metadata(const std::string& text, const std::string& path, int64_t height, int64_t width,
                                   int64_t bands) {
  SceneMetadata meta;
  meta.path = path;
  json doc;
  try {
    doc = json::parse(text);
  } catch (const json::exception& e) {
    throw ValueError("'" + path + "' is not valid JSON: " + e.what());
  }
  if (!doc.is_object() || !doc.contains("image") || !doc["image"].is_object())
    throw ValueError("'" + path + "' holds no \"image\" object (is it a metadata.json of lumora-convert?)");
  const json& image = doc["image"];
  if (doc.contains("conversion") && doc["conversion"].is_object() &&
      doc["conversion"].contains("output_data_shape")) {
    const json& shape = doc["conversion"]["output_data_shape"];
    const std::vector<int64_t> expected{height, width, bands};
    std::vector<int64_t> recorded;
    if (shape.is_array())
      for (const auto& d : shape) recorded.push_back(d.is_number_integer() ? d.get<int64_t>() : -1);
    if (recorded != expected) {
      meta.notes.push_back(fmt::format("WARNING: '{}' describes a cube of shape {} but the scene is {} x {} x {}; "
                                       "its georeferencing and wavelengths are not used.",
                                       path, shape.dump(), height, width, bands));
      return meta;
    }
  }

  Georef g;
  std::optional<std::array<double, 6>> gt;
  if (image.contains("transform")) gt = from_transform(image["transform"]);
  for (const char* key : {"crs_wkt", "crs"})
    if (image.contains(key) && image[key].is_string() && !image[key].get<std::string>().empty())
      g.crs.push_back(image[key].get<std::string>());
  // ENVI: a standard system named by the map info comes before the coordinate
  // system string, which headers in the wild carry with typing errors in it.
  if (!gt && image.contains("map info")) gt = from_map_info(items_of(image["map info"]), g.crs, meta.notes, path);
  if (image.contains("coordinate system string")) {
    const std::string wkt = joined(items_of(image["coordinate system string"]));
    if (!wkt.empty()) g.crs.push_back(wkt);
  }
  if (gt) {
    g.geotransform = *gt;
    if (image.contains("crop") && image["crop"].is_object()) {
      const json& crop = image["crop"];
      const double x = crop.contains("x") ? number_of(crop["x"]).value_or(0.0) : 0.0;
      const double y = crop.contains("y") ? number_of(crop["y"]).value_or(0.0) : 0.0;
      // The crop's first pixel becomes the origin.
      g.geotransform[0] += g.geotransform[1] * x + g.geotransform[2] * y;
      g.geotransform[3] += g.geotransform[4] * x + g.geotransform[5] * y;
    }
    meta.georef = g;
  }
  meta.wavelengths_nm = wavelengths_of(image, bands, meta.notes, path);
  return meta;
}

std::optional<SceneMetadata> find_scene_metadata(const std::string& data_path, const std::optional<std::string>& given,
                                                 int64_t height, int64_t width, int64_t bands) {
  std::string path;
  if (given) {
    if (!file_exists(*given)) throw FileNotFoundError("--metadata: no such file: '" + *given + "'");
    path = *given;
  } else {
    const std::string folder = std::filesystem::path(data_path).parent_path().string();
    path = path_join(folder.empty() ? "." : folder, "metadata.json");
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileNotFoundError("cannot read '" + path + "'");
  std::stringstream text;
  text << in.rdbuf();
  if (given) return parse_scene_metadata(text.str(), path, height, width, bands);
  // A file found by its name alone may belong to something else: it is skipped, not fatal.
  try {
    return parse_scene_metadata(text.str(), path, height, width, bands);
  } catch (const ValueError& e) {
    SceneMetadata skipped;
    skipped.path = path;
    skipped.notes.push_back(std::string("WARNING: ") + e.what() + "; it is not used.");
    return skipped;
  }
}

}  // namespace lumora::maps
