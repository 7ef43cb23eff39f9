#include "lumora/models/window_conv1d.h"

#include <torch/torch.h>

#include <algorithm>
#include <tuple>
#include <vector>

#include "lumora/core/torch_compat.h"
#include "lumora/models/grouped_taps.h"
#include "lumora/models/same_padding_conv.h"

namespace lumora {

namespace {

// Where output positions fall in windows: `group` outputs per window, which
// reads `span` input positions.
struct Windows {
  int64_t length, kernel, group, span, count, padded_length, pad;
};

Windows windows_for(int64_t length, int64_t kernel) {
  Windows w{};
  w.length = length;
  w.kernel = kernel;
  // Measured fastest: wider groups pay off for wider kernels (the copy per
  // output shrinks as span / group falls).
  w.group = kernel >= 15 ? 8 : 4;
  w.span = kernel + w.group - 1;
  w.count = (length + w.group - 1) / w.group;
  w.pad = kernel / 2;
  w.padded_length = w.count * w.group + w.span - w.group;
  return w;
}

// (n, count, span * C) windows of x (n, C, L):
// [i][g][t * C + c] = x[i][c][g * group + t - pad], zero outside [0, L).
torch::Tensor windows_of(const torch::Tensor& x, const Windows& w) {
  const int64_t n = x.size(0), c = x.size(1);
  auto padded = torch::zeros({n, w.padded_length, c}, x.options());
  padded.narrow(1, w.pad, w.length).copy_(x.transpose(1, 2));
  return padded.as_strided({n, w.count, w.span * c}, {w.padded_length * c, w.group * c, 1}).contiguous();
}

// Rows (n, count, K) as the channels-last input of a 1 x 1 convolution,
// (n, K, count, 1), without a copy.
torch::Tensor as_image(const torch::Tensor& rows) { return rows.unsqueeze(2).permute({0, 3, 1, 2}); }

// (group * F, span * C, 1, 1): output j of a window reads its input
// positions j .. j + k - 1.
torch::Tensor window_weight(const torch::Tensor& weight, const Windows& w) {
  return grouped_taps(weight, w.group).view({w.group * weight.size(0), w.span * weight.size(1), 1, 1});
}

int64_t chunk_samples(const Windows& w, int64_t channels, int64_t window_floats) {
  return std::max<int64_t>(1, window_floats / std::max<int64_t>(1, w.count * w.span * channels));
}

torch::Tensor convolve(const torch::Tensor& input, const torch::Tensor& weight, const torch::Tensor& bias,
                       int64_t window_floats) {
  const auto x = input.contiguous();
  const int64_t n = x.size(0), c = x.size(1), f = weight.size(0);
  const Windows w = windows_for(x.size(2), weight.size(2));
  auto out = torch::empty({n, f, w.length}, x.options());
  const auto kernel = window_weight(weight, w);
  const auto group_bias = bias.defined() ? bias.repeat({w.group}) : torch::Tensor();
  const int64_t chunk = chunk_samples(w, c, window_floats);
  for (int64_t i0 = 0; i0 < n; i0 += chunk) {
    const int64_t m = std::min(chunk, n - i0);
    const auto y = compat::onednn_convolution(as_image(windows_of(x.narrow(0, i0, m), w)), kernel, group_bias,
                                              {0, 0}, {1, 1});  // (m, group * F, count, 1)
    // Position-major rows (m, count * group, F), then back to (m, F, L).
    const auto rows = y.permute({0, 2, 3, 1}).reshape({m, w.count * w.group, f});
    out.narrow(0, i0, m).copy_(rows.narrow(1, 0, w.length).transpose(1, 2));
  }
  return out;
}

torch::Tensor weight_grad(const torch::Tensor& input, const torch::Tensor& grad_out, const torch::Tensor& weight,
                          int64_t window_floats) {
  const auto x = input.contiguous();
  const int64_t n = x.size(0), c = x.size(1), f = weight.size(0);
  const Windows w = windows_for(x.size(2), weight.size(2));
  const auto kernel = window_weight(weight, w);
  auto grad = torch::zeros_like(kernel);
  const int64_t chunk = chunk_samples(w, c, window_floats);
  for (int64_t i0 = 0; i0 < n; i0 += chunk) {
    const int64_t m = std::min(chunk, n - i0);
    // The output gradient as rows (m, count, group * F), zero past L.
    auto gy = torch::zeros({m, w.count * w.group, f}, x.options());
    gy.narrow(1, 0, w.length).copy_(grad_out.narrow(0, i0, m).transpose(1, 2));
    const auto parts = at::convolution_backward(as_image(gy.view({m, w.count, w.group * f})),
                                                as_image(windows_of(x.narrow(0, i0, m), w)), kernel, c10::nullopt,
                                                {1, 1}, {0, 0}, {1, 1}, false, {0, 0}, 1, {false, true, false});
    grad.add_(std::get<1>(parts));
  }
  return ungrouped_taps_grad(grad, weight, w.group);
}

struct WindowConv {
  static torch::Tensor convolve(const torch::Tensor& x, const torch::Tensor& weight, const torch::Tensor& bias,
                                int64_t window_floats) {
    return lumora::convolve(x, weight, bias, window_floats);
  }
  static torch::Tensor weight_grad(const torch::Tensor& x, const torch::Tensor& grad_out,
                                   const torch::Tensor& weight, int64_t window_floats) {
    return lumora::weight_grad(x, grad_out, weight, window_floats);
  }
};

}  // namespace

bool window_conv1d_applies(const torch::Tensor& x, const torch::Tensor& weight) {
  if (x.dim() != 3 || weight.dim() != 3 || x.size(1) != weight.size(1) || x.numel() == 0) return false;
  for (const auto& t : {x, weight})
    if (!t.device().is_cpu() || t.scalar_type() != torch::kFloat32) return false;
  return weight.size(2) % 2 == 1;
}

torch::Tensor window_conv1d(const torch::Tensor& x, const torch::Tensor& weight, const torch::Tensor& bias,
                            int64_t window_floats) {
  return SamePaddingConv<WindowConv>::run(x, weight, bias, window_floats);
}

}  // namespace lumora
