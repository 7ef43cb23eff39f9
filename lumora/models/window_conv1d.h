// The spectral encoder's 1-D convolutions on the CPU: stride 1, an odd
// kernel, padding k / 2, float32. Same values as Conv1d up to float
// rounding, with gradients.
//
// oneDNN runs 1-D convolutions of 16 channels with kernels of 15 or 31 taps
// at a third of the speed it reaches on a matrix product. Here a run of
// output positions at a time reads one window of input positions, so the
// convolution becomes a 1 x 1 convolution (a matrix product) of the copied
// windows; the gradients use the same form.
#pragma once

#include <cstdint>

#include <torch/types.h>

namespace lumora {

// Whether window_conv1d takes x (N, C, L) and weight (F, C, k).
bool window_conv1d_applies(const torch::Tensor& x, const torch::Tensor& weight);

// Convolution of x with weight and bias (bias may be undefined); the result
// is (N, F, L), contiguous. `window_floats` bounds the copied windows of
// one chunk of samples, in floats.
torch::Tensor window_conv1d(const torch::Tensor& x, const torch::Tensor& weight, const torch::Tensor& bias,
                            int64_t window_floats = int64_t{16} << 20);

}  // namespace lumora
