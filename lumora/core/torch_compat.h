// The one place that knows LibTorch versions and CUDA. Everything else calls
// these functions and never tests versions or CUDA availability itself.
#pragma once

#include <cstdint>
#include <string>

#include <memory>
#include <vector>

#include <torch/optim/optimizer.h>
#include <torch/types.h>

namespace lumora::compat {

// Intra-op threads = OMP_NUM_THREADS when it holds a positive count, else the
// machine's core count (LibTorch's OpenMP default may be 1).
void use_all_cores();

// Large CPU tensors' memory is kept for reuse (see BlockCache) instead of
// going back to the kernel when they are freed.
void keep_large_cpu_blocks();

// LibTorch's own warning log lines (for example the rendezvous store's
// stack traces when a peer disconnects) are dropped: the caller reports the
// failure itself. A TORCH_CPP_LOG_LEVEL the user set is left in charge.
void quiet_library_log();

bool cuda_available();
// The first CUDA device when there is one, else the CPU.
torch::Device default_device();
// Process `rank` of several on one machine: CUDA device rank mod count, else the CPU.
torch::Device device_for_rank(int64_t rank);
std::string cuda_device_name(int index = 0);
int64_t cuda_total_memory(int index = 0);
// Releases cached CUDA memory; does nothing without CUDA.
void empty_cuda_cache();
// Bytes the CUDA caching allocator holds from the driver (0 without CUDA).
int64_t cuda_reserved_memory(int index = 0);
// Waits for the device's queued work (for timing); nothing without CUDA.
void cuda_synchronize();

// A CPU float32 convolution through oneDNN whatever its size (LibTorch's own
// choice skips oneDNN for small inputs and some 1 x 1 kernels), or through
// at::convolution where LibTorch was built without it. Dilation 1, one group.
torch::Tensor onednn_convolution(const torch::Tensor& input, const torch::Tensor& weight, const torch::Tensor& bias,
                                 at::IntArrayRef padding, at::IntArrayRef stride);

// An optimiser's state of one parameter (LibTorch keys it differently by
// version), or nullptr before its first step.
torch::optim::OptimizerParamState* optimizer_param_state(torch::optim::Optimizer& optimizer,
                                                          const torch::Tensor& param);
void set_optimizer_param_state(torch::optim::Optimizer& optimizer, const torch::Tensor& param,
                               std::unique_ptr<torch::optim::OptimizerParamState> state);

// The states of the default random generators: the CPU's, then one per CUDA
// device (none without CUDA), as byte tensors; set_ puts them back.
std::vector<torch::Tensor> random_generator_states();
void set_random_generator_states(const std::vector<torch::Tensor>& states);

// CUDA automatic mixed precision.
bool autocast_enabled();
void set_autocast_enabled(bool enabled);

// Switches autocast off for its lifetime and restores the caller's state,
// also when the guarded call throws.
class AutocastOff {
 public:
  AutocastOff();
  ~AutocastOff();
  AutocastOff(const AutocastOff&) = delete;
  AutocastOff& operator=(const AutocastOff&) = delete;

 private:
  bool previous_;
};

// The same values in the channels-last 3-D memory format (N, D, H, W, C
// order in memory) for a 5-D tensor; other tensors are returned unchanged.
torch::Tensor to_channels_last_3d(const torch::Tensor& t);
bool is_channels_last_3d(const torch::Tensor& t);

// CUDA float16 autocast for its lifetime when `enabled` and CUDA is present
// (a no-op otherwise: on the CPU, mixed precision leaves training in float32).
class Autocast {
 public:
  explicit Autocast(bool enabled);
  ~Autocast();
  Autocast(const Autocast&) = delete;
  Autocast& operator=(const Autocast&) = delete;

 private:
  bool active_;
  bool previous_;
};

}  // namespace lumora::compat
