// A true-colour picture of a hyperspectral scene.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include <torch/types.h>

namespace lumora::maps {

// The bands shown as red, green and blue: those nearest 640, 550 and 460 nm
// when every band's wavelength is known, else three evenly spaced bands
// (the centres of the upper, middle and lower thirds, longest first).
std::array<int64_t, 3> rgb_bands(int64_t bands, const std::vector<double>& wavelengths_nm);

// The q-quantile (0..1) of `values`, interpolated linearly between the two
// nearest order statistics (numpy's default).
double quantile(std::vector<float> values, double q);

// (C, H, W) real cube -> (H, W, 3) uint8: each of the three bands stretched
// linearly from its 2nd percentile (0) to its 98th (255), clipped outside.
torch::Tensor true_colour(const torch::Tensor& cube, const std::array<int64_t, 3>& bands);

}  // namespace lumora::maps
