#include "lumora/maps/composite.h"

#include <torch/torch.h>

#include <algorithm>
#include <cmath>

namespace lumora::maps {

std::array<int64_t, 3> rgb_bands(int64_t bands, const std::vector<double>& wavelengths_nm) {
  if (static_cast<int64_t>(wavelengths_nm.size()) == bands && bands > 0) {
    std::array<int64_t, 3> out{};
    const double targets[3] = {640.0, 550.0, 460.0};
    for (int k = 0; k < 3; ++k) {
      int64_t best = 0;
      for (int64_t b = 1; b < bands; ++b)
        if (std::abs(wavelengths_nm[b] - targets[k]) < std::abs(wavelengths_nm[best] - targets[k])) best = b;
      out[k] = best;
    }
    return out;
  }
  auto centre_of_third = [&](int third) {
    return std::min<int64_t>(bands - 1, static_cast<int64_t>((2 * third + 1) * bands / 6));
  };
  return {centre_of_third(2), centre_of_third(1), centre_of_third(0)};
}

double quantile(std::vector<float> values, double q) {
  if (values.empty()) return 0.0;
  const double pos = q * static_cast<double>(values.size() - 1);
  const size_t lo = static_cast<size_t>(std::floor(pos));
  const size_t hi = std::min(lo + 1, values.size() - 1);
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(lo), values.end());
  const double a = values[lo];
  // The next order statistic is the smallest value above position lo.
  const double b = hi == lo ? a : *std::min_element(values.begin() + static_cast<std::ptrdiff_t>(hi), values.end());
  return a + (b - a) * (pos - static_cast<double>(lo));
}

torch::Tensor true_colour(const torch::Tensor& cube, const std::array<int64_t, 3>& bands) {
  const int64_t h = cube.size(1), w = cube.size(2);
  auto out = torch::empty({h, w, 3}, torch::kUInt8);
  for (int k = 0; k < 3; ++k) {
    const torch::Tensor band = cube[bands[k]].to(torch::kCPU, torch::kFloat32).contiguous();
    const float* p = band.data_ptr<float>();
    std::vector<float> values(p, p + band.numel());
    const double lo = quantile(values, 0.02), hi = quantile(std::move(values), 0.98);
    torch::Tensor scaled = hi > lo ? ((band.to(torch::kFloat64) - lo) / (hi - lo)).clamp(0.0, 1.0)
                                   : torch::zeros({h, w}, torch::kFloat64);
    out.select(2, k).copy_(scaled.mul(255.0).round().to(torch::kUInt8));
  }
  return out;
}

}  // namespace lumora::maps
