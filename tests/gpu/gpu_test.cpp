// What only a GPU makes meaningful: the device text, the channels-last 3-D
// stack, float16 training with the grad scaler (and the steps it skips),
// continuum removal in and out of CUDA, and the cache release. Each case
// skips without CUDA; the last checks what a CPU-only machine reports.
#include <gtest/gtest.h>

#include <torch/torch.h>

#include <limits>
#include <regex>

#include "lumora/commands/tree_reports.h"
#include "lumora/core/torch_compat.h"
#include "lumora/models/cubeseg.h"
#include "lumora/optim/grad_scaler.h"
#include "lumora/preprocessing/continuum_removal.h"

namespace lumora {
namespace {

#define REQUIRE_CUDA() \
  if (!compat::cuda_available()) GTEST_SKIP() << "no CUDA device"

const torch::Device kCuda(torch::kCUDA, 0);

HyperspectralNet small_net(int64_t bands, int64_t classes, bool fp16 = false) {
  return HyperspectralNet(
      HyperspectralNetOptions(bands, classes).num_filters(2).base_filters(8).use_fp16(fp16));
}

// Positive spectra, like reflectance, (1, C, H, W).
torch::Tensor scene(int64_t bands, int64_t h, int64_t w) {
  torch::manual_seed(3);
  return torch::rand({1, bands, h, w}) * 0.8 + 0.1;
}

TEST(Gpu, DeviceTextNamesTheGpuAndItsMemory) {
  REQUIRE_CUDA();
  EXPECT_TRUE(compat::default_device().is_cuda());
  const std::string name = compat::cuda_device_name(0);
  EXPECT_FALSE(name.empty());
  EXPECT_GT(compat::cuda_total_memory(0), int64_t{1} << 30);
  const std::string text = commands::device_description(compat::default_device());
  EXPECT_TRUE(std::regex_match(text, std::regex("cuda \\(.+, [1-9][0-9]* GB\\)"))) << text;
  EXPECT_NE(text.find(name), std::string::npos) << text;
  std::cout << "device: " << text << "\n";
}

TEST(Gpu, ChannelsLastStackGivesTheScoresOfTheCpu) {
  REQUIRE_CUDA();
  auto cpu_net = small_net(12, 4);
  cpu_net->eval();
  auto gpu_net = std::dynamic_pointer_cast<HyperspectralNetImpl>(cpu_net->clone(kCuda));
  ASSERT_TRUE(gpu_net);
  gpu_net->eval();
  use_channels_last_3d(*gpu_net);
  int64_t five_d = 0;
  for (const auto& p : gpu_net->spectral_3d->parameters()) {
    if (p.dim() != 5) continue;
    ++five_d;
    EXPECT_TRUE(p.is_cuda());
    EXPECT_TRUE(compat::is_channels_last_3d(p));
  }
  EXPECT_GT(five_d, 0);
  // Pinned host memory, as the training command moves its scene.
  const auto x = scene(12, 32, 32);
  const auto pinned = x.pin_memory();
  EXPECT_TRUE(pinned.is_pinned());
  torch::NoGradGuard no_grad;
  const auto want = cpu_net->forward(x);
  const auto got = gpu_net->forward(pinned.to(kCuda, /*non_blocking=*/true)).cpu();
  // TF32 convolutions on the GPU round more coarsely than the CPU.
  EXPECT_TRUE(torch::allclose(got, want, 1e-2, 1e-2)) << (got - want).abs().max().item<double>();
}

TEST(Gpu, Float16TrainingLearnsAndTheScalerSkipsNonFiniteSteps) {
  REQUIRE_CUDA();
  auto net = small_net(12, 4, /*fp16=*/true);
  net->to(kCuda);
  use_channels_last_3d(*net);
  const auto x = scene(12, 32, 32).to(kCuda);
  torch::manual_seed(5);
  const auto y = torch::randint(0, 4, {1, 32, 32}, torch::kLong).to(kCuda);
  torch::optim::AdamW opt(net->parameters(), torch::optim::AdamWOptions(1e-2));
  GradScaler scaler;
  ASSERT_TRUE(scaler.is_enabled());

  auto loss_of = [&] {
    compat::Autocast autocast(true);
    EXPECT_TRUE(compat::autocast_enabled());
    const auto out = net->forward(x);
    EXPECT_EQ(out.scalar_type(), torch::kHalf);  // the convolutions ran in float16
    return torch::nn::functional::cross_entropy(out.to(torch::kFloat), y);
  };
  double first = 0, last = 0;
  int stepped = 0, skipped = 0;
  for (int i = 0; i < 40; ++i) {
    net->train();
    opt.zero_grad();
    const auto loss = loss_of();
    EXPECT_FALSE(compat::autocast_enabled());  // restored when the guard closed
    scaler.scale(loss).backward();
    const double before = scaler.get_scale();
    const bool ok = scaler.step(opt);
    scaler.update();
    if (ok) {
      ++stepped;
    } else {
      ++skipped;
      EXPECT_EQ(scaler.get_scale(), before * 0.5);
    }
    (i == 0 ? first : last) = loss.item<double>();
  }
  std::cout << "fp16: " << stepped << " steps, " << skipped << " skipped, loss " << first << " -> " << last
            << ", scale " << scaler.get_scale() << "\n";
  EXPECT_GT(stepped, 30);
  EXPECT_LT(last, first);

  // A step whose gradients hold inf changes no weight and halves the scale.
  opt.zero_grad();
  scaler.scale(loss_of()).backward();
  auto params = net->parameters();
  for (auto& p : params) {
    if (!p.grad().defined()) continue;
    p.mutable_grad().view(-1)[0] = std::numeric_limits<float>::infinity();
    break;
  }
  std::vector<torch::Tensor> kept;
  for (const auto& p : params) kept.push_back(p.detach().clone());
  const double before = scaler.get_scale();
  EXPECT_FALSE(scaler.step(opt));
  scaler.update();
  EXPECT_EQ(scaler.get_scale(), before * 0.5);
  for (size_t i = 0; i < params.size(); ++i) EXPECT_TRUE(torch::equal(params[i], kept[i])) << i;
}

TEST(Gpu, ContinuumRemovalTakesAndGivesCudaFloat32) {
  REQUIRE_CUDA();
  const auto x = scene(20, 16, 16);
  for (bool fp16 : {false, true}) {
    ContinuumRemoval cr(ContinuumRemovalOptions().use_fp16(fp16));
    const auto want = cr->forward(x);
    torch::Tensor got;
    {
      compat::Autocast autocast(true);
      got = cr->forward(x.to(kCuda));
      EXPECT_TRUE(compat::autocast_enabled()) << "the caller's autocast must be restored";
    }
    EXPECT_TRUE(got.is_cuda());
    EXPECT_EQ(got.scalar_type(), torch::kFloat);
    EXPECT_TRUE(torch::allclose(got.cpu(), want, 1e-6, 1e-6)) << fp16;
    // A half-precision CUDA input comes back as float32 on the device too.
    const auto half = cr->forward(x.to(kCuda).to(torch::kHalf));
    EXPECT_TRUE(half.is_cuda());
    EXPECT_EQ(half.scalar_type(), torch::kFloat);
  }
}

TEST(Gpu, EmptyCacheReturnsFreedMemoryToTheDriver) {
  REQUIRE_CUDA();
  compat::empty_cuda_cache();
  const int64_t base = compat::cuda_reserved_memory(0);
  {
    auto big = torch::empty({int64_t{256} << 20}, torch::TensorOptions().dtype(torch::kByte).device(kCuda));
    big.fill_(1);
    compat::cuda_synchronize();
    EXPECT_GE(compat::cuda_reserved_memory(0), base + (int64_t{256} << 20));
  }
  // Freed but still cached until released.
  EXPECT_GE(compat::cuda_reserved_memory(0), base + (int64_t{256} << 20));
  compat::empty_cuda_cache();
  EXPECT_LE(compat::cuda_reserved_memory(0), base);
}

TEST(Gpu, WithoutCudaEverythingFallsBackToTheCpu) {
  if (compat::cuda_available()) GTEST_SKIP() << "a CUDA device is present";
  EXPECT_TRUE(compat::default_device().is_cpu());
  EXPECT_EQ(compat::cuda_device_name(0), "");
  EXPECT_EQ(compat::cuda_total_memory(0), 0);
  EXPECT_EQ(compat::cuda_reserved_memory(0), 0);
  EXPECT_EQ(commands::device_description(compat::default_device()), "cpu");
  compat::empty_cuda_cache();  // a no-op, not an error
  compat::cuda_synchronize();
  const bool before = compat::autocast_enabled();
  {
    compat::Autocast autocast(true);  // mixed precision is CUDA only
    EXPECT_EQ(compat::autocast_enabled(), before);
  }
  GradScaler scaler(GradScalerOptions().enabled(false));
  EXPECT_EQ(scaler.get_scale(), 1.0);
}

}  // namespace
}  // namespace lumora
