// The spectral blocks' 3-D convolution on the CPU: stride 1, odd kernel
// extents, padding k / 2 on each axis, float32. Same values as Conv3d up to
// float rounding, with gradients.
//
// oneDNN runs a 3-D convolution with a handful of channels far below the
// CPU's speed. Here two output bands at a time become the output channels:
// the forward pass and the input gradient are one convolution stepping two
// bands, and the weight gradient is a 2-D one over copied band windows (the
// bands a group reads, times the channels, as channels-last input
// channels).
#pragma once

#include <cstdint>

#include <torch/types.h>

namespace lumora {

// Whether band_conv3d takes x (B, C, D, H, W) and weight (F, C, kd, kh, kw).
bool band_conv_applies(const torch::Tensor& x, const torch::Tensor& weight);

// Convolution of x with weight and bias (bias may be undefined); the result
// is (B, F, D, H, W), contiguous. `window_floats` bounds the band windows
// the weight gradient copies at a time, in floats.
torch::Tensor band_conv3d(const torch::Tensor& x, const torch::Tensor& weight, const torch::Tensor& bias,
                          int64_t window_floats = int64_t{16} << 20);

// max(band_conv3d(x, weight, bias), 0) in one pass less over the result,
// without gradients: only where gradient recording is off.
torch::Tensor band_conv3d_relu(const torch::Tensor& x, const torch::Tensor& weight, const torch::Tensor& bias);

}  // namespace lumora
