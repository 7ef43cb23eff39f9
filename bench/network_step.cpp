// One training step (forward, masked cross-entropy with ignore_index 0,
// backward, AdamW step) and one evaluation forward of the default
// HyperspectralNet on a random scene, continuum removal included. Prints one
// JSON line: median and minimum seconds, peak resident memory, and where the
// time goes (per stage, measured stage by stage after the whole-network runs).
//
//   network_step [--height 145] [--width 145] [--bands 200] [--classes 17] [--steps 3] [--no-breakdown]
//                [--system-allocator]   (the C library's defaults: what the programs did before)
//                [--device cuda] [--fp16]   (on the GPU as lumora-train runs there: channels-last
//                                            stack; --fp16: float16 autocast with the grad scaler)
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <torch/torch.h>

#include "lumora/core/process.h"
#include "lumora/core/torch_compat.h"
#include "lumora/models/cubeseg.h"
#include "lumora/optim/grad_scaler.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace F = torch::nn::functional;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

double minimum(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

double peak_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Median seconds of `steps` calls.
double timed(int steps, const std::function<void()>& fn) {
  std::vector<double> t;
  for (int i = 0; i < steps; ++i) {
    const auto t0 = Clock::now();
    fn();
    t.push_back(seconds_since(t0));
  }
  return median(t);
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, int64_t> opt{{"--height", 145}, {"--width", 145}, {"--bands", 200}, {"--classes", 17},
                                     {"--steps", 3}};
  bool breakdown = true, system_allocator = false, fp16 = false;
  std::string device_name = "cpu";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--no-breakdown") {
      breakdown = false;
    } else if (a == "--system-allocator") {
      system_allocator = true;
    } else if (a == "--fp16") {
      fp16 = true;
    } else if (a == "--device" && i + 1 < argc) {
      device_name = argv[++i];
    } else if (opt.count(a) && i + 1 < argc) {
      opt[a] = std::stoll(argv[++i]);
    } else {
      std::cerr << "usage: network_step [--height H] [--width W] [--bands C] [--classes K] [--steps N] "
                   "[--no-breakdown] [--system-allocator] [--device cpu|cuda] [--fp16]\n";
      return 2;
    }
  }
  if (system_allocator)
    lumora::compat::use_all_cores();
  else
    lumora::prepare_process();
  const int64_t h = opt["--height"], w = opt["--width"], c = opt["--bands"], k = opt["--classes"];
  const int steps = static_cast<int>(opt["--steps"]);

  const torch::Device device(device_name);
  if (device.is_cuda() && !lumora::compat::cuda_available()) {
    std::cerr << "network_step: no CUDA device\n";
    return 1;
  }
  // Stage timings need the device idle between stages; they are CPU-only.
  if (!device.is_cpu()) breakdown = false;

  torch::manual_seed(42);
  lumora::HyperspectralNet net(lumora::HyperspectralNetOptions(c, k).use_fp16(fp16));
  const auto x = torch::randn({1, c, h, w}).to(device);
  const auto y = torch::randint(0, k, {1, h, w}).to(device);
  net->to(device);
  if (!device.is_cpu()) lumora::use_channels_last_3d(*net);
  torch::optim::AdamW optimizer(net->parameters(), torch::optim::AdamWOptions(1e-4).weight_decay(1e-4));
  lumora::GradScaler scaler(lumora::GradScalerOptions().enabled(fp16 && device.is_cuda()));
  const auto ce = F::CrossEntropyFuncOptions().ignore_index(0);

  std::vector<double> train, evals;
  net->train();
  for (int i = 0; i < steps; ++i) {
    const auto t0 = Clock::now();
    optimizer.zero_grad();
    torch::Tensor loss;
    {
      lumora::compat::Autocast autocast(fp16);
      loss = F::cross_entropy(net->forward(x), y, ce);
    }
    scaler.scale(loss).backward();
    scaler.step(optimizer);
    scaler.update();
    lumora::compat::cuda_synchronize();
    train.push_back(seconds_since(t0));
  }
  net->eval();
  {
    torch::NoGradGuard no_grad;
    for (int i = 0; i < steps; ++i) {
      const auto t0 = Clock::now();
      {
        lumora::compat::Autocast autocast(fp16);
        net->forward(x);
      }
      lumora::compat::cuda_synchronize();
      evals.push_back(seconds_since(t0));
    }
  }
  const double rss = peak_rss_mib();

  int64_t params = 0;
  for (const auto& p : net->parameters()) params += p.numel();
  auto list = [](const std::vector<double>& v) {
    std::string s = "[";
    for (size_t i = 0; i < v.size(); ++i) s += (i ? ", " : "") + std::to_string(v[i]).substr(0, 6);
    return s + "]";
  };
  std::printf("{\"params\": %lld, \"threads\": %d, \"train_step_median_s\": %.4f, \"train_step_min_s\": %.4f, "
              "\"eval_forward_median_s\": %.4f, \"eval_forward_min_s\": %.4f, \"peak_rss_mib\": %.1f, "
              "\"shape\": [1, %lld, %lld, %lld], \"train_steps_s\": %s, \"eval_forwards_s\": %s, \"device\": \"%s\", "
              "\"fp16\": %s}\n",
              static_cast<long long>(params), at::get_num_threads(), median(train), minimum(train), median(evals),
              minimum(evals), rss, static_cast<long long>(c), static_cast<long long>(h), static_cast<long long>(w),
              list(train).c_str(), list(evals).c_str(), device.str().c_str(), fp16 ? "true" : "false");
  std::fflush(stdout);
  if (!breakdown) return 0;

  // Stage by stage. Training: each stage's forward and backward on its real
  // input (detached, so only that stage's graph runs), with a unit gradient
  // on its output; evaluation: each stage's forward without gradients.
  net->train();
  torch::Tensor removed, stacked, gated;
  lumora::EncoderOutput encoded;
  {
    torch::NoGradGuard no_grad;
    removed = net->continuum_removal->forward(x);
    stacked = net->spectral_3d->forward(removed);
    gated = net->chanweight->forward(stacked);
    encoded = net->encoder->forward(gated);
  }
  auto backprop = [](const torch::Tensor& out) { out.backward(torch::ones_like(out)); };
  std::map<std::string, double> tr, ev;
  tr["continuum_removal"] = timed(steps, [&] { net->continuum_removal->forward(x); });
  tr["spectral_3d"] = timed(steps, [&] { backprop(net->spectral_3d->forward(removed)); });
  tr["chanweight"] = timed(steps, [&] { backprop(net->chanweight->forward(stacked.detach().requires_grad_())); });
  tr["encoder"] = timed(steps, [&] {
    auto out = net->encoder->forward(gated.detach().requires_grad_());
    std::vector<torch::Tensor> outs{out.bottleneck};
    outs.insert(outs.end(), out.skips.begin(), out.skips.end());
    std::vector<torch::Tensor> grads;
    for (const auto& o : outs) grads.push_back(torch::ones_like(o));
    torch::autograd::backward(outs, grads);
  });
  tr["decoder"] = timed(steps, [&] {
    std::vector<torch::Tensor> skips;
    for (const auto& s : encoded.skips) skips.push_back(s.detach().requires_grad_());
    backprop(net->decoder->forward(encoded.bottleneck.detach().requires_grad_(), skips));
  });
  net->eval();
  {
    torch::NoGradGuard no_grad;
    ev["continuum_removal"] = tr["continuum_removal"];
    ev["spectral_3d"] = timed(steps, [&] { net->spectral_3d->forward(removed); });
    ev["chanweight"] = timed(steps, [&] { net->chanweight->forward(stacked); });
    ev["encoder"] = timed(steps, [&] { net->encoder->forward(gated); });
    ev["decoder"] = timed(steps, [&] { net->decoder->forward(encoded.bottleneck, encoded.skips); });
  }
  auto print_shares = [](const char* name, const std::map<std::string, double>& t) {
    double total = 0;
    for (const auto& [s, v] : t) total += v;
    std::printf("\"%s\": {", name);
    bool first = true;
    for (const char* s : {"continuum_removal", "spectral_3d", "chanweight", "encoder", "decoder"}) {
      std::printf("%s\"%s\": [%.4f, %.3f]", first ? "" : ", ", s, t.at(s), t.at(s) / total);
      first = false;
    }
    std::printf("}");
  };
  std::printf("{\"stage_seconds_and_share\": {");
  print_shares("train", tr);
  std::printf(", ");
  print_shares("eval", ev);
  std::printf("}}\n");
  return 0;
}
