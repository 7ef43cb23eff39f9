// Continuum removal: each pixel's spectrum divided by its upper convex hull
// over the band index (the "continuum"), so that later layers see the shape
// of absorption features rather than overall brightness.
//
// Input and output are float32 (B, C, H, W), bands on axis 1. The hull is
// exact (Andrew's monotone chain on the points (band, value)), linearly
// interpolated at every band. The result lies in (0, 1]: 1 where the spectrum
// touches its hull, below 1 inside absorption features. Spectra of one or
// two bands, and flat spectra, are their own hull and map to 1.
//
// A ratio needs a positive spectrum, so every spectrum is lifted first:
//  * use_fp16 = false (standardised cubes, negative values common): the
//    spectrum is shifted so that its minimum becomes 1. A shift of 1 keeps
//    the ratio well away from 0/0 whatever the cube's scale, and the result
//    does not depend on the pixel's offset.
//  * use_fp16 = true (the cube was min-max scaled into [0, 1], as the
//    half-precision training mode does): values are reflectance-like and
//    the classical ratio to the hull is kept, with values floored at 1e-3
//    so that a dark or zero spectrum cannot divide by zero. The flag names
//    the data scaling, not the arithmetic: hulls and ratios are computed in
//    float64 and returned as float32 in both modes: autocast is switched
//    off for the call and the caller's setting restored afterwards.
//
// The module registers no parameters or buffers (nothing of it appears in a
// state dict) and needs no gradient: its output is detached. It runs in
// parallel over pixels on the CPU; a CUDA input is processed on the CPU (the
// hull scan is sequential per pixel) and the result is returned on the
// input's device.
#pragma once

#include <torch/arg.h>
#include <torch/nn/cloneable.h>
#include <torch/nn/pimpl.h>
#include <torch/types.h>

namespace lumora {

struct ContinuumRemovalOptions {
  TORCH_ARG(bool, use_fp16) = false;
};

class ContinuumRemovalImpl : public torch::nn::Cloneable<ContinuumRemovalImpl> {
 public:
  explicit ContinuumRemovalImpl(const ContinuumRemovalOptions& options = {});
  void reset() override {}
  torch::Tensor forward(const torch::Tensor& x);

  ContinuumRemovalOptions options;
};
TORCH_MODULE(ContinuumRemoval);

// The same operation on spectra laid out as rows: (N, C) float32 contiguous.
torch::Tensor continuum_remove_rows(const torch::Tensor& rows, bool use_fp16);

}  // namespace lumora
