#include "lumora/core/torch_compat.h"

#include <thread>

#include <ATen/Parallel.h>
#include <ATen/autocast_mode.h>
#include <torch/cuda.h>

#include "lumora/config.h"

#if LUMORA_HAVE_CUDA
#include <ATen/cuda/CUDAContext.h>
#include <c10/cuda/CUDACachingAllocator.h>
#endif

namespace lumora::compat {

void use_all_cores() {
  const unsigned cores = std::thread::hardware_concurrency();
  if (cores > 0) at::set_num_threads(static_cast<int>(cores));
}

bool cuda_available() { return torch::cuda::is_available(); }

torch::Device default_device() {
  return cuda_available() ? torch::Device(torch::kCUDA, 0) : torch::Device(torch::kCPU);
}

std::string cuda_device_name(int index) {
#if LUMORA_HAVE_CUDA
  if (cuda_available()) return at::cuda::getDeviceProperties(index)->name;
#endif
  (void)index;
  return "";
}

int64_t cuda_total_memory(int index) {
#if LUMORA_HAVE_CUDA
  if (cuda_available()) return static_cast<int64_t>(at::cuda::getDeviceProperties(index)->totalGlobalMem);
#endif
  (void)index;
  return 0;
}

void empty_cuda_cache() {
#if LUMORA_HAVE_CUDA
  if (cuda_available()) c10::cuda::CUDACachingAllocator::emptyCache();
#endif
}

int64_t cuda_reserved_memory(int index) {
#if LUMORA_HAVE_CUDA
  if (cuda_available()) {
    const auto stats = c10::cuda::CUDACachingAllocator::getDeviceStats(static_cast<c10::DeviceIndex>(index));
    return stats.reserved_bytes[0].current;  // 0: the aggregate over pool kinds
  }
#endif
  (void)index;
  return 0;
}

void cuda_synchronize() {
#if LUMORA_HAVE_CUDA
  if (cuda_available()) torch::cuda::synchronize();
#endif
}

// LibTorch 2.4 made autocast per device type and later releases dropped the
// device-less CUDA switches.
#if LUMORA_TORCH_VERSION_MAJOR > 2 || (LUMORA_TORCH_VERSION_MAJOR == 2 && LUMORA_TORCH_VERSION_MINOR >= 4)
bool autocast_enabled() { return at::autocast::is_autocast_enabled(at::kCUDA); }
void set_autocast_enabled(bool enabled) { at::autocast::set_autocast_enabled(at::kCUDA, enabled); }
#else
bool autocast_enabled() { return at::autocast::is_enabled(); }
void set_autocast_enabled(bool enabled) { at::autocast::set_enabled(enabled); }
#endif

torch::Tensor to_channels_last_3d(const torch::Tensor& t) {
  return t.dim() == 5 ? t.contiguous(at::MemoryFormat::ChannelsLast3d) : t;
}

bool is_channels_last_3d(const torch::Tensor& t) {
  return t.dim() == 5 && t.is_contiguous(at::MemoryFormat::ChannelsLast3d);
}

AutocastOff::AutocastOff() : previous_(autocast_enabled()) { set_autocast_enabled(false); }
AutocastOff::~AutocastOff() { set_autocast_enabled(previous_); }

Autocast::Autocast(bool enabled) : active_(enabled && cuda_available()), previous_(autocast_enabled()) {
  if (active_) set_autocast_enabled(true);
}

Autocast::~Autocast() {
  if (!active_) return;
  set_autocast_enabled(previous_);
  if (!previous_) at::autocast::clear_cache();
}

}  // namespace lumora::compat
