// The autograd function of a stride-1 CPU convolution with odd kernel
// extents and padding k / 2 on every axis, computed another way than
// LibTorch's. `Conv` says how:
//   static torch::Tensor convolve(x, weight, bias, int64_t budget);
//   static torch::Tensor weight_grad(x, grad_out, weight, int64_t budget);
// (budget bounds its temporaries). The input gradient of such a convolution
// is the convolution of the output gradient with the flipped, transposed
// kernel, and the bias gradient the output gradient summed over every axis
// but the channels.
#pragma once

#include <cstdint>
#include <vector>

#include <torch/torch.h>

namespace lumora {

template <class Conv>
class SamePaddingConv : public torch::autograd::Function<SamePaddingConv<Conv>> {
 public:
  static torch::Tensor forward(torch::autograd::AutogradContext* ctx, const torch::Tensor& x,
                               const torch::Tensor& weight, const torch::Tensor& bias, int64_t budget) {
    ctx->save_for_backward({x, weight});
    ctx->saved_data["budget"] = budget;
    return Conv::convolve(x, weight, bias, budget);
  }

  static torch::autograd::variable_list backward(torch::autograd::AutogradContext* ctx,
                                                 torch::autograd::variable_list grads) {
    const auto saved = ctx->get_saved_variables();
    const auto& x = saved[0];
    const auto& weight = saved[1];
    const int64_t budget = ctx->saved_data["budget"].toInt();
    const auto gy = grads[0].contiguous();
    std::vector<int64_t> kernel_axes, all_but_channels{0};
    for (int64_t d = 2; d < weight.dim(); ++d) kernel_axes.push_back(d), all_but_channels.push_back(d);
    torch::Tensor gx, gw, gb;
    if (ctx->needs_input_grad(0))
      gx = Conv::convolve(gy, weight.transpose(0, 1).flip(kernel_axes), torch::Tensor(), budget);
    if (ctx->needs_input_grad(1)) gw = Conv::weight_grad(x, gy, weight, budget);
    if (ctx->needs_input_grad(2)) gb = gy.sum(all_but_channels);
    return {gx, gw, gb, torch::Tensor()};
  }

  // An undefined bias becomes zeros: custom functions take defined tensors only.
  static torch::Tensor run(const torch::Tensor& x, const torch::Tensor& weight, const torch::Tensor& bias,
                           int64_t budget) {
    const auto b = bias.defined() ? bias : torch::zeros({weight.size(0)}, weight.options());
    return SamePaddingConv::apply(x, weight, b, budget);
  }
};

}  // namespace lumora
