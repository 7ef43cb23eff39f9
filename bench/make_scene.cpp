// Writes a benchmark scene DIR/data.mat (variable `cube`, H x W x C float32)
// and DIR/gt.mat (`gt`, H x W uint8): K classes in bands of 10 rows and 37
// columns, each with its own random spectrum plus noise, as
// bench/train_epochs.sh makes with numpy; here without Python (the GPU check
// runs where scipy may be missing).
//
//   make_scene DIR [HEIGHT 145] [WIDTH 145] [BANDS 200] [CLASSES 16]
#include <cstdint>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "lumora/io/matfile.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 6) {
    std::cerr << "usage: make_scene DIR [HEIGHT] [WIDTH] [BANDS] [CLASSES]\n";
    return 2;
  }
  const std::string dir = argv[1];
  auto arg = [&](int i, int64_t fallback) { return argc > i ? std::stoll(argv[i]) : fallback; };
  const int64_t h = arg(2, 145), w = arg(3, 145), c = arg(4, 200), k = arg(5, 16);
  std::mt19937 rng(0);
  std::uniform_real_distribution<float> uniform(0.f, 1.f);
  std::normal_distribution<float> noise(0.f, 0.1f);
  std::vector<float> spectra((k + 1) * c);
  for (auto& v : spectra) v = uniform(rng);

  auto cube = lumora::NdArray::zeros(lumora::DType::Float32, {h, w, c});
  auto gt = lumora::NdArray::zeros(lumora::DType::UInt8, {h, w});
  auto* cube_data = static_cast<float*>(cube.data);
  auto* gt_data = static_cast<uint8_t*>(gt.data);
  for (int64_t r = 0; r < h; ++r) {
    for (int64_t col = 0; col < w; ++col) {
      const int64_t label = (r / 10 + col / 37) % (k + 1);
      gt_data[r * w + col] = static_cast<uint8_t>(label);
      for (int64_t b = 0; b < c; ++b) cube_data[(r * w + col) * c + b] = spectra[label * c + b] + noise(rng);
    }
  }
  lumora::write_mat(dir + "/data.mat", {{"cube", cube}});
  lumora::write_mat(dir + "/gt.mat", {{"gt", gt}});
  std::cout << "wrote " << dir << "/data.mat and gt.mat (" << h << " x " << w << " x " << c << ", " << k
            << " classes)\n";
  return 0;
}
