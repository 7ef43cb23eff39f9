#include "lumora/models/band_conv.h"

#include <torch/torch.h>

#include <algorithm>
#include <tuple>

#include "lumora/core/parallel.h"
#include "lumora/core/torch_compat.h"
#include "lumora/models/grouped_taps.h"
#include "lumora/models/same_padding_conv.h"

namespace lumora {

namespace {

// Output bands computed together (as kGroup * F output channels). Two
// measured fastest for 1 and 8 channels: a group reads kGroup + kd - 1
// input bands, so larger groups spend more multiplications on zero weights.
constexpr int64_t kGroup = 2;
// Pixels per task of the layout copies: their writes stay within L1.
constexpr int64_t kPixelBlock = 64;

struct Extents {
  int64_t batch, channels, depth, pixels, height, width;
};

Extents extents_of(const torch::Tensor& x) {
  return {x.size(0), x.size(1), x.size(2), x.size(3) * x.size(4), x.size(3), x.size(4)};
}

int64_t groups_of(int64_t depth) { return (depth + kGroup - 1) / kGroup; }

// The 3-D kernel of a group as a strided convolution over the bands,
// (kGroup * F, C, span, kh, kw): output band j of a group reads its window
// through taps j .. j + kd - 1.
torch::Tensor strided_weight(const torch::Tensor& weight) {
  const auto big = grouped_taps(weight, kGroup).transpose(2, 3);  // (kGroup, F, C, span, kh, kw)
  return big.reshape({kGroup * weight.size(0), weight.size(1), big.size(3), weight.size(3), weight.size(4)});
}

// The convolution of kGroup output bands at a time, stepping kGroup bands
// over x's bands and `extra` zero bands after them: a view
// (B, F, groups, kGroup, H, W) of band g * kGroup + j at [g][j].
torch::Tensor grouped_conv(const torch::Tensor& x, const torch::Tensor& weight, const torch::Tensor& bias,
                           int64_t extra) {
  const std::vector<int64_t> padding{weight.size(2) / 2, weight.size(3) / 2, weight.size(4) / 2};
  const auto input = extra > 0 ? torch::constant_pad_nd(x, {0, 0, 0, 0, 0, extra}) : x;
  const auto bias_per_band = bias.defined() ? bias.repeat({kGroup}) : torch::Tensor();
  const auto y = compat::onednn_convolution(input.contiguous(), strided_weight(weight), bias_per_band, padding,
                                            {kGroup, 1, 1})
                     .contiguous();  // (B, kGroup * F, groups, H, W)
  return y.view({y.size(0), kGroup, weight.size(0), y.size(2), y.size(3), y.size(4)}).permute({0, 2, 3, 1, 4, 5});
}

// Bands [first, first + count) of a grouped result.
torch::Tensor bands_of(const torch::Tensor& grouped, int64_t first, int64_t count) {
  const auto& s = grouped.sizes();
  return grouped.reshape({s[0], s[1], s[2] * s[3], s[4], s[5]}).narrow(2, first, count);
}

// dst = src, or max(src, 0) in the same pass.
void store(torch::Tensor dst, const torch::Tensor& src, bool relu) {
  if (relu)
    at::clamp_min_out(dst, src, 0);
  else
    dst.copy_(src);
}

torch::Tensor convolve(const torch::Tensor& x, const torch::Tensor& weight, const torch::Tensor& bias,
                       bool relu = false) {
  const int64_t depth = x.size(2), whole = depth / kGroup * kGroup, reach = weight.size(2) / 2;
  auto out = torch::empty({x.size(0), weight.size(0), depth, x.size(3), x.size(4)}, x.options());
  if (whole > 0) {
    const auto grouped = grouped_conv(x, weight, bias, 0);
    store(out.narrow(2, 0, whole).view(grouped.sizes()), grouped, relu);
  }
  if (whole == depth) return out;
  // The last band: a group of its own over the bands its kernel reaches,
  // with the slice starting an even number of bands before it.
  int64_t first = std::max<int64_t>(0, depth - 1 - reach);
  if ((depth - 1 - first) % kGroup != 0) first = std::max<int64_t>(0, first - 1);
  const int64_t length = depth - first;
  const auto tail = grouped_conv(x.narrow(2, first, length), weight, bias, (kGroup - length % kGroup) % kGroup);
  store(out.narrow(2, whole, depth - whole), bands_of(tail, whole - first, depth - whole), relu);
  return out;
}

// Copies bands of src (channels, depth, pixels) into the channels-last
// samples of a 2-D convolution, (g1 - g0, H, W, span * channels):
// dst[g - g0][p][k * channels + c] = src[c][g * kGroup + k - shift][p],
// zero where that band lies outside [0, depth).
void gather_bands(const float* src, int64_t channels, int64_t depth, int64_t pixels, int64_t span, int64_t shift,
                  int64_t g0, int64_t g1, float* dst) {
  const int64_t rows = span * channels, blocks = (pixels + kPixelBlock - 1) / kPixelBlock;
  parallel_ranges((g1 - g0) * blocks, 16, [&](int64_t begin, int64_t end) {
    for (int64_t task = begin; task < end; ++task) {
      const int64_t g = g0 + task / blocks, p0 = task % blocks * kPixelBlock;
      const int64_t n = std::min(pixels, p0 + kPixelBlock) - p0;
      float* out = dst + ((g - g0) * pixels + p0) * rows;
      for (int64_t k = 0; k < span; ++k) {
        const int64_t band = g * kGroup + k - shift;
        const bool inside = band >= 0 && band < depth;
        for (int64_t c = 0; c < channels; ++c) {
          float* o = out + k * channels + c;
          if (!inside) {
            for (int64_t i = 0; i < n; ++i) o[i * rows] = 0.0f;
            continue;
          }
          const float* s = src + (c * depth + band) * pixels + p0;
          for (int64_t i = 0; i < n; ++i) o[i * rows] = s[i];
        }
      }
    }
  });
}

// The 2-D kernel of a group, (kGroup * F, span * C, kh, kw) channels-last:
// output band j of the group reads input band j + t of its window through
// tap t.
torch::Tensor grouped_weight(const torch::Tensor& weight) {
  const auto big = grouped_taps(weight, kGroup);  // (kGroup, F, span, C, kh, kw)
  return big.reshape({kGroup * weight.size(0), big.size(2) * weight.size(1), weight.size(3), weight.size(4)})
      .contiguous(at::MemoryFormat::ChannelsLast);
}

// Groups per chunk so that a chunk's windows stay within the budget.
int64_t chunk_groups(const Extents& e, int64_t span, int64_t window_floats) {
  return std::max<int64_t>(1, window_floats / std::max<int64_t>(1, e.pixels * span * e.channels));
}

torch::Tensor empty_samples(int64_t n, int64_t channels, const Extents& e, const torch::TensorOptions& options) {
  return torch::empty({n, channels, e.height, e.width}, options.memory_format(at::MemoryFormat::ChannelsLast));
}

torch::Tensor weight_grad(const torch::Tensor& input, const torch::Tensor& grad_out, const torch::Tensor& weight,
                          int64_t window_floats) {
  const auto x = input.contiguous();
  const auto gy = grad_out.contiguous();
  const Extents e = extents_of(x);
  const int64_t filters = weight.size(0), kd = weight.size(2), span = kGroup + kd - 1;
  const auto kernel = grouped_weight(weight);
  auto grad = torch::zeros_like(kernel);
  const int64_t groups = groups_of(e.depth), chunk = chunk_groups(e, span, window_floats);
  const std::vector<int64_t> padding{weight.size(3) / 2, weight.size(4) / 2};
  for (int64_t b = 0; b < e.batch; ++b) {
    const float* xs = x.select(0, b).data_ptr<float>();
    const float* gs = gy.select(0, b).data_ptr<float>();
    for (int64_t g0 = 0; g0 < groups; g0 += chunk) {
      const int64_t g1 = std::min(groups, g0 + chunk);
      auto windows = empty_samples(g1 - g0, span * e.channels, e, x.options());
      gather_bands(xs, e.channels, e.depth, e.pixels, span, kd / 2, g0, g1, windows.data_ptr<float>());
      auto grouped_gy = empty_samples(g1 - g0, kGroup * filters, e, x.options());
      gather_bands(gs, filters, e.depth, e.pixels, kGroup, 0, g0, g1, grouped_gy.data_ptr<float>());
      const auto parts = at::convolution_backward(grouped_gy, windows, kernel, c10::nullopt, {1, 1}, padding, {1, 1},
                                                  false, {0, 0}, 1, {false, true, false});
      grad.add_(std::get<1>(parts));
    }
  }
  return ungrouped_taps_grad(grad, weight, kGroup);
}

struct BandConv {
  static torch::Tensor convolve(const torch::Tensor& x, const torch::Tensor& weight, const torch::Tensor& bias,
                                int64_t /*budget: no copies*/) {
    return lumora::convolve(x, weight, bias);
  }
  static torch::Tensor weight_grad(const torch::Tensor& x, const torch::Tensor& grad_out,
                                   const torch::Tensor& weight, int64_t window_floats) {
    return lumora::weight_grad(x, grad_out, weight, window_floats);
  }
};

}  // namespace

bool band_conv_applies(const torch::Tensor& x, const torch::Tensor& weight) {
  if (x.dim() != 5 || weight.dim() != 5 || x.size(1) != weight.size(1)) return false;
  for (const auto& t : {x, weight})
    if (!t.device().is_cpu() || t.scalar_type() != torch::kFloat32) return false;
  return weight.size(2) % 2 == 1 && weight.size(3) % 2 == 1 && weight.size(4) % 2 == 1;
}

torch::Tensor band_conv3d_relu(const torch::Tensor& x, const torch::Tensor& weight, const torch::Tensor& bias) {
  TORCH_CHECK(!torch::GradMode::is_enabled(), "band_conv3d_relu computes no gradients: call it under NoGradGuard");
  return convolve(x, weight, bias, /*relu=*/true);
}

torch::Tensor band_conv3d(const torch::Tensor& x, const torch::Tensor& weight, const torch::Tensor& bias,
                          int64_t window_floats) {
  return SamePaddingConv<BandConv>::run(x, weight, bias, window_floats);
}

}  // namespace lumora
