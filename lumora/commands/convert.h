// The convert command: a raw scene (ENVI, TIFF/GeoTIFF, HDF5 cube and an
// optional label map) to data.mat, gt.mat and metadata.json.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "lumora/convert/loaders.h"

namespace lumora::commands::convert {

using lumora::convert::Metadata;

// Cuts rows y..y+h-1 and columns x..x+w-1 of the cube (all bands) and the
// same window of the label map; a window outside the cube is an error.
std::pair<NdArray, std::optional<NdArray>> _apply_crop(const NdArray& data, const std::optional<NdArray>& gt,
                                                       const std::array<int64_t, 4>& crop);

// The closing report on standard output.
void _print_summary(const NdArray& data, const std::optional<NdArray>& gt, const Metadata& meta,
                    const std::optional<Metadata>& gt_meta, const std::string& out_dir, double elapsed);

int run(int argc, char** argv);

}  // namespace lumora::commands::convert
