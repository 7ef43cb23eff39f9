// The kernel of several outputs computed together along a convolution's
// first kernel axis, and the way back for its gradient. Both CPU
// convolutions that group outputs (the spectral blocks' bands, the
// encoder's positions) build their kernels from these.
#pragma once

#include <cstdint>
#include <vector>

#include <torch/torch.h>

namespace lumora {

namespace detail {
// (group, F, group + k - 1, C, rest...) for weight (F, C, k, rest...).
inline std::vector<int64_t> grouped_taps_sizes(const torch::Tensor& weight, int64_t group) {
  std::vector<int64_t> sizes{group, weight.size(0), group + weight.size(2) - 1, weight.size(1)};
  for (int64_t d = 3; d < weight.dim(); ++d) sizes.push_back(weight.size(d));
  return sizes;
}
}  // namespace detail

// For weight (F, C, k, rest...): (group, F, span, C, rest...) with span =
// group + k - 1, where output j of a group reads position j + t of its
// window through tap t: [j][f][j + t][c] = weight[f][c][t], zero elsewhere.
inline torch::Tensor grouped_taps(const torch::Tensor& weight, int64_t group) {
  auto big = torch::zeros(detail::grouped_taps_sizes(weight, group), weight.options());
  const auto taps = weight.transpose(1, 2);  // (F, k, C, rest...)
  for (int64_t j = 0; j < group; ++j) big.select(0, j).narrow(1, j, weight.size(2)).copy_(taps);
  return big;
}

// The weight's gradient from that of grouped_taps' result (in any shape
// holding its elements in the same order): every place a tap appears in
// contributes.
inline torch::Tensor ungrouped_taps_grad(const torch::Tensor& grad, const torch::Tensor& weight, int64_t group) {
  const auto parts = grad.reshape(detail::grouped_taps_sizes(weight, group));
  const int64_t k = weight.size(2);
  auto taps = parts.select(0, 0).narrow(1, 0, k).clone();
  for (int64_t j = 1; j < group; ++j) taps.add_(parts.select(0, j).narrow(1, j, k));
  return taps.transpose(1, 2).contiguous();
}

}  // namespace lumora
