#include "lumora/convert/loaders.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <set>

#include "lumora/config.h"
#include "lumora/convert/array_ops.h"
#include "lumora/convert/envi_header.h"
#include "lumora/convert/pyjson.h"
#include "lumora/convert/readers.h"
#include "lumora/core/errors.h"
#include "lumora/core/paths.h"
#include "lumora/io/label_map.h"
#include "lumora/io/matfile.h"
#include "lumora/utils/display.h"

namespace lumora::convert {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

std::string lower(std::string s) {
  for (auto& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

std::string upper(std::string s) {
  for (auto& ch : s) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return s;
}

bool is_file(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

// The header fields kept in the metadata, in this order.
const char* const kEnviFields[] = {
    "description", "samples", "lines", "bands", "header offset", "data type", "interleave", "byte order",
    "wavelength", "wavelength units", "band names", "map info", "coordinate system string", "default bands",
    "fwhm", "reflectance scale factor", "sensor type"};

// Extensions a data file may have next to its header, in the order tried.
const char* const kEnviDataExtensions[] = {"", ".img", ".dat", ".raw", ".bsq", ".bil", ".bip"};

struct Reader {
  const char* name;
  bool linked;
  const char* package;
};

const Reader kReaders[] = {
    {"GDAL", LUMORA_HAVE_GDAL != 0, "libgdal-dev"},
    {"HDF5", LUMORA_HAVE_HDF5 != 0, "libhdf5-dev"},
};

}  // namespace

const std::vector<std::pair<std::string, std::string>> kExtensionFormats = {
    {".hdr", "envi"}, {".img", "envi"},  {".lan", "envi"}, {".tif", "tiff"}, {".tiff", "tiff"},
    {".h5", "hdf5"},  {".hdf5", "hdf5"}, {".he5", "hdf5"}, {".hdf", "hdf5"}};

const std::map<std::string, Loader> kImageLoaders = {
    {"envi", &_load_envi}, {"tiff", &_load_tiff}, {"hdf5", &_load_hdf5}};

std::string absolute_path(const std::string& path) {
  // An empty path names the working directory, as os.path.abspath has it.
  const fs::path p = path.empty() ? fs::current_path() : fs::absolute(fs::path(path));
  std::string out = p.lexically_normal().string();
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::pair<std::string, std::string> split_ext(const std::string& path) {
  const auto sep = path.rfind('/');
  const auto dot = path.rfind('.');
  const size_t name_start = sep == std::string::npos ? 0 : sep + 1;
  if (dot != std::string::npos && (sep == std::string::npos || dot > sep)) {
    for (size_t i = name_start; i < dot; ++i)
      if (path[i] != '.') return {path.substr(0, dot), path.substr(dot)};
  }
  return {path, ""};
}

std::pair<std::string, std::optional<std::string>> split_dataset_specifier(const std::string& path) {
  const auto colon_slash = path.rfind(":/");
  const auto double_colon = path.rfind("::");
  // In "file.h5::/data" the ":/" belongs to the "::" form.
  const bool part_of_double = colon_slash != std::string::npos && double_colon != std::string::npos &&
                              colon_slash == double_colon + 1;
  if (path.find("://") == std::string::npos && colon_slash != std::string::npos && !part_of_double)
    return {path.substr(0, colon_slash), path.substr(colon_slash + 2)};
  if (double_colon != std::string::npos) return {path.substr(0, double_colon), path.substr(double_colon + 2)};
  return {path, std::nullopt};
}

std::string _strip_dataset_specifier(const std::string& path) { return split_dataset_specifier(path).first; }

std::string _detect_format(const std::string& path) {
  std::string ext = lower(split_ext(_strip_dataset_specifier(path)).second);
  if (ext == ".nc") ext = ".h5";
  for (const auto& [e, format] : kExtensionFormats)
    if (e == ext) return format;
  std::set<std::string> formats;
  for (const auto& entry : kExtensionFormats) formats.insert(entry.second);
  std::string list;
  for (const auto& f : formats) list += (list.empty() ? "" : ", ") + f;
  throw ValueError("Unrecognised file extension '" + ext + "'. Supported: " + list);
}

std::string missing_dependency_text(const std::string& name) {
  std::string package = name;
  for (const auto& r : kReaders)
    if (name == r.name) package = r.package;
  using namespace display;
  return "\n" + RED + BOLD + "  Missing dependency: " + name + RESET + "\n" +
         "  Install it with:  sudo apt-get install " + package + "\n" +
         "  Then rebuild lumora:  cmake -DLUMORA_WITH_" + upper(name) + "=ON <build-dir> && cmake --build <build-dir>\n";
}

void _check_dep(const std::string& name) {
  for (const auto& r : kReaders)
    if (name == r.name && r.linked) return;
  throw MissingDependency(name);
}

Loaded _load_envi(const std::string& path) {
  _check_dep("GDAL");
  const auto [base, ext] = split_ext(path);
  std::string header_path, data_path;
  if (lower(ext) == ".hdr") {
    header_path = path;
    for (const char* e : kEnviDataExtensions) {
      const std::string candidate = base + e;
      if (candidate != path && is_file(candidate)) {
        data_path = candidate;
        break;
      }
    }
    if (data_path.empty()) {
      // Last, the same names with upper-case extensions, as some sensors write them.
      std::vector<std::string> tried;
      for (const char* e : kEnviDataExtensions) {
        tried.push_back(base + e);
        const std::string candidate = base + upper(e);
        if (*e && candidate != path && is_file(candidate)) {
          data_path = candidate;
          break;
        }
      }
      if (data_path.empty()) {
        if (!file_exists(path)) throw FileNotFoundError("No such file: '" + path + "'");
        std::string names;
        for (const auto& t : tried) names += (names.empty() ? "" : ", ") + t;
        throw FileNotFoundError("Cannot find the data file of ENVI header " + path + " (tried " + names + ")");
      }
    }
  } else {
    header_path = base + ".hdr";
    if (!is_file(header_path))
      throw FileNotFoundError("Cannot find ENVI header: " + header_path +
                              "\nENVI files require a .hdr header alongside the data file.");
    data_path = path;
  }

  const json header = read_envi_header(header_path);
  const EnviLayout layout = envi_layout(header, header_path);
  json meta = json::object();
  for (const char* field : kEnviFields)
    if (header.contains(field)) meta[field] = header[field];
  meta["_source_format"] = "ENVI";
  meta["_source_file"] = absolute_path(header_path);
#if LUMORA_HAVE_GDAL
  return {detail::gdal_read_envi(layout, header_path, data_path), meta};
#else
  throw MissingDependency("GDAL");
#endif
}

Loaded _load_tiff(const std::string& path) {
  _check_dep("GDAL");
#if LUMORA_HAVE_GDAL
  return detail::gdal_load_raster(path);
#else
  throw MissingDependency("GDAL");
#endif
}

Loaded _load_hdf5(const std::string& path) {
  _check_dep("HDF5");
#if LUMORA_HAVE_HDF5
  return detail::hdf5_load(path);
#else
  throw MissingDependency("HDF5");
#endif
}

namespace {

Loaded load_gt_any(const std::string& path) {
  json meta = json::object();
  meta["_source_file"] = absolute_path(path);
  const std::string ext = lower(split_ext(path).second);

  if (ext == ".mat") {
    MatFile file(path);
    std::vector<const MatVariableInfo*> candidates;
    for (const auto& v : file.variables())
      if (v.name.empty() || v.name[0] != '_') candidates.push_back(&v);
    if (candidates.empty())
      throw ValueError("No variable in " + path + " to use as ground truth (names starting with '_' are skipped)");
    auto numel = [](const MatVariableInfo* v) {
      int64_t n = 1;
      for (auto d : v->dims) n *= d;
      return n;
    };
    std::string key;
    if (candidates.size() == 1) {
      key = candidates[0]->name;
    } else if (file.has("gt")) {
      key = "gt";
    } else if (file.has("groundtruth")) {
      key = "groundtruth";
    } else {
      const MatVariableInfo* best = candidates[0];
      for (const auto* v : candidates)
        if (numel(v) > numel(best)) best = v;
      key = best->name;
    }
    NdArray labels = squeeze(file.load(key, "label map"));
    meta["mat_key"] = key;
    meta["_source_format"] = "MAT";
    return {labels, meta};
  }

  if (ext == ".png" || ext == ".jpg" || ext == ".jpeg" || ext == ".bmp") {
    _check_dep("GDAL");  // the image decoder of this build
#if LUMORA_HAVE_GDAL
    NdArray labels = detail::gdal_read_image(path);
    meta["_source_format"] = "image";
    if (labels.ndim() == 3)
      meta["_note"] = "Ground truth loaded as RGB image. You may need to map RGB values to class labels manually.";
    return {labels, meta};
#endif
  }

  if (ext == ".tif" || ext == ".tiff") {
    _check_dep("GDAL");
#if LUMORA_HAVE_GDAL
    std::string crs;
    NdArray labels = detail::gdal_read_band1(path, crs);
    if (!crs.empty()) meta["crs"] = crs;
    meta["_source_format"] = "GeoTIFF";
    return {labels, meta};
#endif
  }

  if (ext == ".hdr" || ext == ".img") {
    auto [cube, envi_meta] = _load_envi(path);
    for (auto it = envi_meta.begin(); it != envi_meta.end(); ++it) meta[it.key()] = it.value();
    return {squeeze(cube), meta};
  }

  throw ValueError("Unsupported ground truth format: " + ext);
}

}  // namespace

Loaded _load_gt(const std::string& path) {
  Loaded loaded = load_gt_any(path);
  const Metadata& meta = loaded.second;
  const std::string variable = meta.contains("mat_key") ? meta["mat_key"].get<std::string>() : "";
  check_label_map(loaded.first, path, variable);
  return loaded;
}

json _json_safe(const AttrValue& value) {
  switch (value.kind) {
    case AttrValue::Kind::Numeric: return to_json(value.numeric);
    case AttrValue::Kind::Bytes:
    case AttrValue::Kind::Text: return utf8_replace_invalid(value.text);
    case AttrValue::Kind::Empty: return nullptr;
    case AttrValue::Kind::Other: return value.text;
    case AttrValue::Kind::List: {
      // Items are row-major over `shape`: rebuild the nesting.
      std::function<json(size_t, size_t&)> build = [&](size_t axis, size_t& next) -> json {
        if (axis == value.shape.size()) return next < value.items.size() ? _json_safe(value.items[next++]) : json();
        json list = json::array();
        for (int64_t i = 0; i < value.shape[axis]; ++i) list.push_back(build(axis + 1, next));
        return list;
      };
      size_t next = 0;
      if (value.shape.empty()) {
        json list = json::array();
        for (const auto& item : value.items) list.push_back(_json_safe(item));
        return list;
      }
      return build(0, next);
    }
  }
  return nullptr;
}

}  // namespace lumora::convert
