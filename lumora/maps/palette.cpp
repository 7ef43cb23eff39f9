#include "lumora/maps/palette.h"

#include <torch/torch.h>

namespace lumora::maps {
namespace {

constexpr uint32_t kColours[kPaletteSize] = {
    0xe6194b, 0x3cb44b, 0xffe119, 0x4363d8, 0xf58231, 0x911eb4, 0x42d4f4, 0xf032e6, 0xbfef45, 0xfabed4,
    0x469990, 0xdcbeff, 0x9a6324, 0xfffac8, 0x800000, 0xaaffc3, 0x808000, 0x0000ff, 0x00ff00, 0x882266,
    0xff2200, 0xff44aa, 0x2288cc, 0x226622, 0xcc6666, 0x0044ee, 0xeecc66, 0xee88ee, 0x00ffaa, 0x444466,
    0xaa22ff, 0x00ffee, 0x88aa66, 0xeeaa88, 0x66ff66, 0x8866aa, 0xffaa00, 0xccee88, 0x664444, 0xcc4422,
    0xaa6688, 0xaaffff, 0x88aa00, 0xcc2266, 0xaa66ff, 0xff88aa, 0x66cc00, 0x006688};

// (n, 3) uint8 lookup table of the colours of classes 0..n-1.
torch::Tensor colour_table(int64_t n) {
  auto table = torch::empty({n, 3}, torch::kUInt8);
  auto* p = table.data_ptr<uint8_t>();
  for (int64_t c = 0; c < n; ++c) {
    const Rgb rgb = class_colour(c);
    p[3 * c] = rgb.r, p[3 * c + 1] = rgb.g, p[3 * c + 2] = rgb.b;
  }
  return table;
}

torch::Tensor fill(const torch::Tensor& out, const torch::Tensor& where, const Rgb& c) {
  return torch::where(where.unsqueeze(-1), torch::tensor({c.r, c.g, c.b}, torch::kUInt8), out);
}

}  // namespace

Rgb class_colour(int64_t cls) {
  if (cls <= 0) return {0, 0, 0};
  const uint32_t v = kColours[(cls - 1) % kPaletteSize];
  return {static_cast<uint8_t>(v >> 16), static_cast<uint8_t>((v >> 8) & 0xff), static_cast<uint8_t>(v & 0xff)};
}

torch::Tensor colour_classes(const torch::Tensor& ids) {
  const torch::Tensor flat = ids.to(torch::kCPU, torch::kLong).clamp_min(0);
  // Ids past the first cycle share the colours of the first: fold them so the table stays small.
  const torch::Tensor folded = torch::where(flat.gt(0), (flat - 1).remainder(kPaletteSize) + 1, flat);
  const torch::Tensor table = colour_table(kPaletteSize + 1);
  return table.index_select(0, folded.reshape({-1})).reshape({ids.size(0), ids.size(1), 3});
}

torch::Tensor error_colours(const torch::Tensor& pred, const torch::Tensor& labels, const torch::Tensor& test_mask) {
  const torch::Tensor p = pred.to(torch::kCPU, torch::kLong), l = labels.to(torch::kCPU, torch::kLong);
  const torch::Tensor test = test_mask.to(torch::kCPU).gt(0);
  torch::Tensor out = torch::zeros({l.size(0), l.size(1), 3}, torch::kUInt8);
  out = fill(out, l.gt(0), kOtherLabelColour);
  out = fill(out, test.logical_and(p.eq(l)), kRightColour);
  out = fill(out, test.logical_and(p.ne(l)), kWrongColour);
  return out;
}

}  // namespace lumora::maps
