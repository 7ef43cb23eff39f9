// Fingerprint encoder timings, as one JSON line:
//  * seconds per pre-training epoch (pretrain_ssm) for 20,000 pixels x 200
//    bands at batch 512, taken as (t(3 epochs) - t(1 epoch)) / 2 so that the
//    set-up and the file write cancel out;
//  * seconds for the fingerprint map of a 145 x 145 x 200 scene (bands of 32
//    rows), median of three;
//  * the continuum-removal share of both (the Python reference leaves it out).
//
//   pretrain_epoch [--pixels N] [--bands C] [--side S]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <torch/torch.h>

#include "lumora/core/process.h"
#include "lumora/core/torch_compat.h"
#include "lumora/models/bandscan.h"
#include "lumora/preprocessing/continuum_removal.h"
#include "lumora/rssp/warmstart.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  lumora::prepare_process();
  int64_t pixels = 20000, bands = 200, side = 145;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--pixels") pixels = std::stoll(argv[i + 1]);
    else if (a == "--bands") bands = std::stoll(argv[i + 1]);
    else if (a == "--side") side = std::stoll(argv[i + 1]);
  }
  const torch::Device device = lumora::compat::default_device();
  torch::manual_seed(0);

  // A scene of `pixels` labelled pixels in one row block (100 x pixels/100).
  const int64_t width = 100, height = (pixels + width - 1) / width;
  const auto labels = torch::randint(1, 17, {height, width}, torch::kLong);
  const auto data = torch::randn({bands, height, width});
  const auto all = torch::stack({torch::arange(height).repeat_interleave(width), torch::arange(width).repeat({height})}, 1)
                       .narrow(0, 0, pixels);
  const auto val = all.narrow(0, 0, 512);
  const std::string tmp = "/tmp/lumora_pretrain_epoch_bench.pt";

  auto timed_pretrain = [&](int64_t epochs) {
    const auto t0 = std::chrono::steady_clock::now();
    lumora::pretrain_ssm(data, labels, all, val,
                         lumora::PretrainSSMOptions().epochs(epochs).device(device).save_path(tmp));
    return seconds_since(t0);
  };
  const double t1 = timed_pretrain(1);
  const double t3 = timed_pretrain(3);
  std::remove(tmp.c_str());
  const double epoch_s = (t3 - t1) / 2.0;

  // Continuum removal of every training spectrum, once (an epoch does it once).
  const auto rows = data.view({bands, -1}).t().narrow(0, 0, pixels).contiguous();
  std::vector<double> cr;
  for (int r = 0; r < 3; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    lumora::continuum_remove_rows(rows, false);
    cr.push_back(seconds_since(t0));
  }

  // Fingerprint map of a side x side scene.
  const auto scene = torch::randn({bands, side, side});
  lumora::SpectralSSMEncoder encoder;
  encoder->to(torch::Device(device));
  std::vector<double> map_s, map_cr;
  for (int r = 0; r < 3; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    lumora::fingerprint_map(encoder, scene, torch::Device(device));
    map_s.push_back(seconds_since(t0));
    const auto scene_rows = scene.view({bands, -1}).t().contiguous();
    t0 = std::chrono::steady_clock::now();
    lumora::continuum_remove_rows(scene_rows, false);
    map_cr.push_back(seconds_since(t0));
  }

  std::cout << "{\"device\": \"" << (device.is_cuda() ? "cuda" : "cpu") << "\", \"threads\": " << at::get_num_threads() << ", \"pixels\": " << pixels
            << ", \"bands\": " << bands << ", \"batch_size\": 512"
            << ", \"epoch_s\": " << epoch_s << ", \"epoch_continuum_s\": " << median(cr)
            << ", \"epoch_model_only_s\": " << epoch_s - median(cr) << ", \"fp_map_side\": " << side
            << ", \"fp_map_s\": " << median(map_s) << ", \"fp_map_continuum_s\": " << median(map_cr)
            << ", \"fp_map_model_only_s\": " << median(map_s) - median(map_cr) << "}" << std::endl;
  return 0;
}
