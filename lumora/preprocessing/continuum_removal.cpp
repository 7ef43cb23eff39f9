#include "lumora/preprocessing/continuum_removal.h"

#include <ATen/Parallel.h>
#include <torch/torch.h>

#include <algorithm>
#include <vector>

#include "lumora/core/errors.h"

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
      const double cross = (b - a) * (lifted[i] - lifted[a]) - (lifted[b] - lifted[a]) * (i - a);
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
  TORCH_CHECK(rows.dim() == 2 && rows.scalar_type() == torch::kFloat32 && rows.is_contiguous(),
              "continuum removal expects contiguous float32 rows");
  auto out = torch::empty_like(rows);
  const int64_t count = rows.size(0), bands = rows.size(1);
  const float* in = rows.data_ptr<float>();
  float* dst = out.data_ptr<float>();
  // Each task handles a run of pixels; the grain keeps tasks worth starting.
  at::parallel_for(0, count, 256, [&](int64_t begin, int64_t end) {
    std::vector<double> lifted;
    std::vector<int64_t> hull;
    for (int64_t p = begin; p < end; ++p)
      remove_continuum(in + p * bands, dst + p * bands, bands, use_fp16, lifted, hull);
  });
  return out;
}

ContinuumRemovalImpl::ContinuumRemovalImpl(const ContinuumRemovalOptions& options_) : options(options_) {}

torch::Tensor ContinuumRemovalImpl::forward(const torch::Tensor& x) {
  TORCH_CHECK(x.dim() == 4, "ContinuumRemoval expects a 4-D input (B, C, H, W), got ", x.dim(), " dimensions");
  torch::NoGradGuard no_grad;
  const auto device = x.device();
  const int64_t b = x.size(0), c = x.size(1), h = x.size(2), w = x.size(3);
  // Pixels as contiguous rows of bands, for cache-friendly hull scans.
  auto rows = x.detach().to(torch::kCPU, torch::kFloat32).permute({0, 2, 3, 1}).contiguous().view({b * h * w, c});
  auto removed = continuum_remove_rows(rows, options.use_fp16());
  return removed.view({b, h, w, c}).permute({0, 3, 1, 2}).contiguous().to(device);
}

}  // namespace lumora
