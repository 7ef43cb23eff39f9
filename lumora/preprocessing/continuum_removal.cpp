#include "lumora/preprocessing/continuum_removal.h"

#include <torch/torch.h>

#include <algorithm>
#include <string>
#include <vector>

#include "lumora/core/errors.h"
#include "lumora/core/parallel.h"
#include "lumora/core/torch_compat.h"

namespace lumora {
namespace {

// One spectrum of n bands: out[i] = lifted[i] / hull(i).
void remove_continuum(const float* in, float* out, int64_t n, bool use_fp16, std::vector<double>& lifted,
                      std::vector<int64_t>& hull) {
  if (n <= 0) return;
  lifted.resize(n);
  if (use_fp16) {
    for (int64_t i = 0; i < n; ++i) lifted[i] = std::max(static_cast<double>(in[i]), 1e-3);
  } else {
    double lo = in[0];
    for (int64_t i = 1; i < n; ++i) lo = std::min(lo, static_cast<double>(in[i]));
    for (int64_t i = 0; i < n; ++i) lifted[i] = static_cast<double>(in[i]) - lo + 1.0;
  }
  // Upper hull, left to right: drop the last point while it lies on or
  // below the chord from the one before it to the new point.
  hull.clear();
  for (int64_t i = 0; i < n; ++i) {
    while (hull.size() >= 2) {
      const int64_t a = hull[hull.size() - 2], b = hull.back();
      const double cross = static_cast<double>(b - a) * (lifted[i] - lifted[a]) - (lifted[b] - lifted[a]) * static_cast<double>(i - a);
      if (cross >= 0) hull.pop_back();
      else break;
    }
    hull.push_back(i);
  }
  for (size_t k = 0; k + 1 < hull.size(); ++k) {
    const int64_t a = hull[k], b = hull[k + 1];
    const double slope = (lifted[b] - lifted[a]) / static_cast<double>(b - a);
    for (int64_t i = a; i < b; ++i) {
      const double continuum = lifted[a] + slope * static_cast<double>(i - a);
      out[i] = static_cast<float>(std::min(1.0, lifted[i] / continuum));
    }
  }
  out[n - 1] = 1.0f;  // the last band is always a hull point
}

}  // namespace

torch::Tensor continuum_remove_rows(const torch::Tensor& rows, bool use_fp16) {
  if (rows.dim() != 2 || rows.scalar_type() != torch::kFloat32 || !rows.is_contiguous() || !rows.device().is_cpu())
    throw ValueError("continuum removal expects contiguous float32 CPU rows (N, C)");
  auto out = torch::empty_like(rows);
  const int64_t count = rows.size(0), bands = rows.size(1);
  const float* in = rows.data_ptr<float>();
  float* dst = out.data_ptr<float>();
  // Each thread handles a run of pixels; the grain keeps threads worth starting.
  parallel_ranges(count, 2048, [&](int64_t begin, int64_t end) {
    std::vector<double> lifted;
    std::vector<int64_t> hull;
    for (int64_t p = begin; p < end; ++p)
      remove_continuum(in + p * bands, dst + p * bands, bands, use_fp16, lifted, hull);
  });
  return out;
}

ContinuumRemovalImpl::ContinuumRemovalImpl(const ContinuumRemovalOptions& options_) : options(options_) {}

torch::Tensor ContinuumRemovalImpl::forward(const torch::Tensor& x) {
  if (x.dim() != 4)
    throw ValueError("ContinuumRemoval expects a 4-D input (B, C, H, W), got " + std::to_string(x.dim()) +
                     " dimensions");
  torch::NoGradGuard no_grad;
  // Mixed precision must not reach the hull ratio; the caller's setting
  // comes back when the call ends, also by an exception.
  compat::AutocastOff autocast_off;
  const auto device = x.device();
  const int64_t b = x.size(0), c = x.size(1), h = x.size(2), w = x.size(3);
  // Pixels as contiguous rows of bands, for cache-friendly hull scans. The
  // transposing copies run where the data is (on a GPU, that is the GPU);
  // a channels-last CPU input needs no copy at all.
  auto rows = x.detach().to(torch::kFloat32).permute({0, 2, 3, 1}).contiguous().to(torch::kCPU).view({b * h * w, c});
  auto removed = continuum_remove_rows(rows, options.use_fp16());
  return removed.view({b, h, w, c}).to(device).permute({0, 3, 1, 2}).contiguous();
}

}  // namespace lumora
