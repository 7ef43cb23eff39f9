// Scene conversion, format layer: maps an image path to its format, loads
// the cube from ENVI, TIFF/GeoTIFF or HDF5 (NetCDF-4 is HDF5) and the label
// map from a MAT-file, an image, a TIFF or an ENVI file. Every loader
// returns the array and an ordered metadata map for metadata.json.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "lumora/io/ndarray.h"

namespace lumora::convert {

using Metadata = nlohmann::ordered_json;
using Loaded = std::pair<NdArray, Metadata>;
using Loader = Loaded (*)(const std::string& path);

// Lower-cased file extension -> format name.
extern const std::vector<std::pair<std::string, std::string>> kExtensionFormats;
// Format name -> image loader.
extern const std::map<std::string, Loader> kImageLoaders;

// The path without an HDF5 dataset specifier ("file.h5:/group/data",
// "file.h5::/group/data").
std::string _strip_dataset_specifier(const std::string& path);

// {file path, dataset key}: "file.h5:/group/data" gives the key
// "group/data", "file.h5::/group/data" the key "/group/data"; no key when
// the path has no specifier (a "://" URL is never split at ":/").
std::pair<std::string, std::optional<std::string>> split_dataset_specifier(const std::string& path);

// "envi", "tiff" or "hdf5"; a ValueError for any other extension.
std::string _detect_format(const std::string& path);

// Thrown by _check_dep; the command prints missing_dependency_text and
// turns it into exit status 1 (library code never exits or prints).
class MissingDependency : public std::runtime_error {
 public:
  explicit MissingDependency(const std::string& name) : std::runtime_error("missing dependency: " + name), name_(name) {}
  const std::string& name() const { return name_; }

 private:
  std::string name_;
};

// The message printed for a reader this build lacks.
std::string missing_dependency_text(const std::string& name);
// Returns when the named reader ("GDAL", "HDF5") was linked into this
// build; otherwise throws MissingDependency.
void _check_dep(const std::string& name);

Loaded _load_envi(const std::string& path);
Loaded _load_tiff(const std::string& path);
Loaded _load_hdf5(const std::string& path);
Loaded _load_gt(const std::string& path);

// An HDF5 attribute value as read, before it becomes JSON.
struct AttrValue {
  enum class Kind { Numeric, Bytes, Text, List, Empty, Other };
  Kind kind = Kind::Other;
  NdArray numeric;               // Numeric: the values (0-d for a scalar)
  std::string text;              // Bytes: raw bytes; Text: UTF-8; Other: a description
  std::vector<AttrValue> items;  // List: elements in row-major order of `shape`
  std::vector<int64_t> shape;    // List: its shape
};
// JSON form of an attribute: arrays become nested lists, numeric scalars
// numbers, byte strings UTF-8 text (bad bytes as U+FFFD), text stays text.
Metadata _json_safe(const AttrValue& value);

// os.path.abspath: absolute and normalised, no trailing separator.
std::string absolute_path(const std::string& path);
// os.path.splitext: {root, ext}, a leading dot of the file name not counted.
std::pair<std::string, std::string> split_ext(const std::string& path);

}  // namespace lumora::convert
