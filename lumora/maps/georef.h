// What a scene's metadata.json (written by lumora-convert) tells the maps:
// where the pixels lie on the ground and which wavelength each band has.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumora::maps {

struct Georef {
  // GDAL's order: x origin, pixel width, row rotation, y origin, column
  // rotation, pixel height (negative for north-up).
  std::array<double, 6> geotransform{0, 1, 0, 0, 0, 1};
  // Coordinate systems in the order to try (WKT or "EPSG:n"); the writer
  // takes the first one GDAL understands. Empty when none is known. An ENVI
  // header's UTM or geographic WGS-84 map info gives the EPSG code first.
  std::vector<std::string> crs;
};

struct SceneMetadata {
  std::string path;                  // the metadata.json read
  std::optional<Georef> georef;      // none when the source had none
  std::vector<double> wavelengths_nm;  // one per band, or empty
  std::vector<std::string> notes;    // what was found unusable, one line each
};

// The metadata of the scene in `data_path`: the file `given` (which must
// exist), else metadata.json beside the data file when there is one. The
// recorded crop moves the origin to the crop's first pixel. A file that
// describes a cube of another size than height x width x bands is not used
// (a note says so). Nothing when no file is given or found.
std::optional<SceneMetadata> find_scene_metadata(const std::string& data_path, const std::optional<std::string>& given,
                                                 int64_t height, int64_t width, int64_t bands);

// The same from an already parsed metadata.json text; `path` names it in notes and errors.
SceneMetadata parse_scene_metadata(const std::string& text, const std::string& path, int64_t height, int64_t width,
                                   int64_t bands);

}  // namespace lumora::maps
