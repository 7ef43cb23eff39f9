// Helpers shared by the segmentation-network tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <torch/torch.h>

#include "lumora/core/state_dict.h"

namespace lumora::testing {

// a equals b within tol times b's largest magnitude (or tol, below 1).
inline void expect_close(const torch::Tensor& a, const torch::Tensor& b, const std::string& what, double tol = 2e-4) {
  ASSERT_EQ(a.sizes(), b.sizes()) << what;
  const double scale = std::max(1.0, b.abs().max().item<double>());
  EXPECT_LE((a - b).abs().max().item<double>(), tol * scale) << what;
}

using ConvFn = std::function<torch::Tensor(const torch::Tensor&, const torch::Tensor&, const torch::Tensor&)>;

// A convolution computed another way gives the reference's values and its
// input, weight and bias gradients.
inline void expect_same_convolution(const ConvFn& fast, const ConvFn& reference, const torch::Tensor& input,
                                    const torch::Tensor& weight, const torch::Tensor& bias) {
  auto xa = input.clone().requires_grad_(), xb = input.clone().requires_grad_();
  auto wa = weight.clone().requires_grad_(), wb = weight.clone().requires_grad_();
  auto ba = bias.clone().requires_grad_(), bb = bias.clone().requires_grad_();
  const auto ya = fast(xa, wa, ba);
  const auto yb = reference(xb, wb, bb);
  EXPECT_TRUE(ya.is_contiguous());
  expect_close(ya, yb, "output", 1e-5);
  const auto g = torch::randn_like(yb);
  ya.backward(g);
  yb.backward(g);
  expect_close(xa.grad(), xb.grad(), "input gradient", 1e-5);
  expect_close(wa.grad(), wb.grad(), "weight gradient", 1e-4);
  expect_close(ba.grad(), bb.grad(), "bias gradient", 1e-5);
}

inline int64_t count_parameters(const torch::nn::Module& m) {
  int64_t n = 0;
  for (const auto& p : m.parameters()) n += p.numel();
  return n;
}

inline std::vector<std::string> keys_of(const StateDict& dict) {
  std::vector<std::string> keys;
  for (const auto& [k, v] : dict) keys.push_back(k);
  return keys;
}

using Entries = std::vector<std::pair<std::string, std::vector<int64_t>>>;

// A batch-normalisation layer's five entries under `prefix`.
inline void add_batch_norm(Entries& out, const std::string& prefix, int64_t n) {
  out.push_back({prefix + "weight", {n}});
  out.push_back({prefix + "bias", {n}});
  out.push_back({prefix + "running_mean", {n}});
  out.push_back({prefix + "running_var", {n}});
  out.push_back({prefix + "num_batches_tracked", {}});
}

// ConvBlock entries in checkpoint order.
inline void add_conv_block(Entries& out, const std::string& prefix, int64_t in, int64_t o) {
  out.push_back({prefix + "block.0.weight", {o, in, 3, 3}});
  out.push_back({prefix + "block.0.bias", {o}});
  add_batch_norm(out, prefix + "block.1.", o);
  out.push_back({prefix + "block.4.weight", {o, o, 3, 3}});
  out.push_back({prefix + "block.4.bias", {o}});
  add_batch_norm(out, prefix + "block.5.", o);
}

inline Entries entries_of(const StateDict& dict) {
  Entries out;
  for (const auto& [k, v] : dict) out.push_back({k, v.sizes().vec()});
  return out;
}

}  // namespace lumora::testing
