#include "lumora/core/torch_compat.h"

#include <cstdlib>
#include <mutex>
#include <sstream>
#include <thread>
#include <type_traits>
#include <vector>

#include <c10/core/Allocator.h>
#include <c10/util/Logging.h>

#include <ATen/CPUGeneratorImpl.h>
#include <ATen/Parallel.h>
#include <ATen/autocast_mode.h>
#include <torch/cuda.h>

#include "lumora/config.h"
#include "lumora/core/block_cache.h"

#if LUMORA_HAVE_CUDA
#include <ATen/cuda/CUDAContext.h>
#include <ATen/cuda/CUDAGeneratorImpl.h>
#include <c10/cuda/CUDACachingAllocator.h>
#endif

namespace lumora::compat {

void use_all_cores() {
  // OMP_NUM_THREADS, as torchrun and Slurm scripts set it for several
  // processes on one machine, wins over the core count.
  if (const char* text = std::getenv("OMP_NUM_THREADS")) {
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (end != text && *end == '\0' && n > 0 && n <= 4096) {
      at::set_num_threads(static_cast<int>(n));
      return;
    }
  }
  const unsigned cores = std::thread::hardware_concurrency();
  if (cores > 0) at::set_num_threads(static_cast<int>(cores));
}

namespace {

// Tensors of at least this size come from the block cache; smaller ones
// from LibTorch's own allocator, which the C library serves well.
constexpr size_t kKeptFrom = size_t{1} << 20;

// LibTorch's CPU allocator interface in front of a BlockCache.
class ReusingCpuAllocator final : public c10::Allocator {
 public:
  explicit ReusingCpuAllocator(c10::Allocator* small) : small_(small) { small_deleter() = small->raw_deleter(); }

#if TORCH_VERSION_MAJOR > 2 || (TORCH_VERSION_MAJOR == 2 && TORCH_VERSION_MINOR >= 3)
  c10::DataPtr allocate(size_t n) override { return take(n); }
  void copy_data(void* dest, const void* src, std::size_t count) const override {
    default_copy_data(dest, src, count);
  }
#else
  c10::DataPtr allocate(size_t n) const override { return take(n); }
#endif
  c10::DeleterFnPtr raw_deleter() const override { return &release; }

 private:
  c10::DataPtr take(size_t n) const {
    if (n < kKeptFrom) return small_->allocate(n);
    void* p = cache().take(n);
    TORCH_CHECK(p, "not enough memory: tried to allocate ", n, " bytes");
    return {p, p, &release, c10::Device(c10::DeviceType::CPU)};
  }
  static BlockCache& cache() {
    static auto* blocks = new BlockCache();  // never destroyed: tensors may outlive static destruction
    return *blocks;
  }
  static c10::DeleterFnPtr& small_deleter() {
    static c10::DeleterFnPtr deleter = nullptr;
    return deleter;
  }
  static void release(void* p) {
    if (!cache().give_back(p) && small_deleter()) small_deleter()(p);
  }

  c10::Allocator* small_;
};

}  // namespace

void keep_large_cpu_blocks() {
  static auto* allocator = new ReusingCpuAllocator(c10::GetAllocator(c10::DeviceType::CPU));
  c10::SetAllocator(c10::DeviceType::CPU, allocator, /*priority=*/1);
}

void quiet_library_log() {
  if (std::getenv("TORCH_CPP_LOG_LEVEL") != nullptr) return;
  constexpr int only_errors = 2;  // c10 levels: 0 info, 1 warning, 2 error
  FLAGS_caffe2_log_level = only_errors;
}

torch::Tensor onednn_convolution(const torch::Tensor& input, const torch::Tensor& weight, const torch::Tensor& bias,
                                 at::IntArrayRef padding, at::IntArrayRef stride) {
  const std::vector<int64_t> dilation(padding.size(), 1);
  if (at::hasMKLDNN()) {
    const c10::optional<torch::Tensor> b = bias.defined() ? c10::optional<torch::Tensor>(bias) : c10::nullopt;
    return at::mkldnn_convolution(input, weight, b, padding, stride, dilation, 1);
  }
  const std::vector<int64_t> no_output_padding(padding.size(), 0);
  return at::convolution(input, weight, bias, stride, padding, dilation, false, no_output_padding, 1);
}

namespace {

// Older LibTorch keys by the printed address, newer by the address itself.
using StateKey = std::decay_t<decltype(std::declval<torch::optim::Optimizer&>().state())>::key_type;

template <typename Key>
Key key_of(const torch::Tensor& param) {
  if constexpr (std::is_same_v<Key, std::string>) {
    std::ostringstream address;  // as LibTorch prints it: "0x..."
    address << static_cast<const void*>(param.unsafeGetTensorImpl());
    return address.str();
  } else {
    return param.unsafeGetTensorImpl();
  }
}

StateKey state_key(const torch::Tensor& param) { return key_of<StateKey>(param); }

}  // namespace

torch::optim::OptimizerParamState* optimizer_param_state(torch::optim::Optimizer& optimizer,
                                                          const torch::Tensor& param) {
  auto found = optimizer.state().find(state_key(param));
  return found == optimizer.state().end() ? nullptr : found->second.get();
}

void set_optimizer_param_state(torch::optim::Optimizer& optimizer, const torch::Tensor& param,
                               std::unique_ptr<torch::optim::OptimizerParamState> state) {
  optimizer.state()[state_key(param)] = std::move(state);
}

std::vector<torch::Tensor> random_generator_states() {
  std::vector<torch::Tensor> states = {at::detail::getDefaultCPUGenerator().get_state()};
#if LUMORA_HAVE_CUDA
  if (cuda_available())
    for (int64_t i = 0; i < static_cast<int64_t>(torch::cuda::device_count()); ++i)
      states.push_back(at::cuda::detail::getDefaultCUDAGenerator(static_cast<c10::DeviceIndex>(i)).get_state());
#endif
  return states;
}

void set_random_generator_states(const std::vector<torch::Tensor>& states) {
  if (states.empty()) return;
  {
    auto cpu = at::detail::getDefaultCPUGenerator();
    std::lock_guard<std::mutex> lock(cpu.mutex());
    cpu.set_state(states[0]);
  }
#if LUMORA_HAVE_CUDA
  for (size_t i = 1; i < states.size() && cuda_available(); ++i) {
    if (static_cast<int64_t>(i - 1) >= static_cast<int64_t>(torch::cuda::device_count())) break;
    auto gen = at::cuda::detail::getDefaultCUDAGenerator(static_cast<c10::DeviceIndex>(i - 1));
    std::lock_guard<std::mutex> lock(gen.mutex());
    gen.set_state(states[i]);
  }
#endif
}

bool cuda_available() { return torch::cuda::is_available(); }

torch::Device default_device() {
  return cuda_available() ? torch::Device(torch::kCUDA, 0) : torch::Device(torch::kCPU);
}

torch::Device device_for_rank(int64_t rank) {
  if (!cuda_available()) return torch::Device(torch::kCPU);
  const auto count = static_cast<int64_t>(torch::cuda::device_count());
  return torch::Device(torch::kCUDA, static_cast<c10::DeviceIndex>(rank % count));
}

std::string cuda_device_name(int index) {
#if LUMORA_HAVE_CUDA
  if (cuda_available()) return at::cuda::getDeviceProperties(static_cast<c10::DeviceIndex>(index))->name;
#endif
  (void)index;
  return "";
}

int64_t cuda_total_memory(int index) {
#if LUMORA_HAVE_CUDA
  if (cuda_available())
    return static_cast<int64_t>(at::cuda::getDeviceProperties(static_cast<c10::DeviceIndex>(index))->totalGlobalMem);
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
