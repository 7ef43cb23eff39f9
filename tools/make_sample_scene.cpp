// Writes the bundled sample scene data/sample/{data.mat,gt.mat}: a synthetic
// 64 x 64 x 48 cube of six crop-like fields with their own spectra, absorption
// features, illumination changes and noise; field borders are unlabelled.
// Deterministic: the same program always writes the same files.
//
//   build/bin/make-sample-scene data/sample
#include <cmath>
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "lumora/io/matfile.h"

namespace {

constexpr int kHeight = 64, kWidth = 64, kBands = 48, kClasses = 6;

// A small portable generator, so the scene does not depend on a library's
// distribution implementation.
struct SplitMix {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  double uniform() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
  double normal() {
    const double u1 = std::max(uniform(), 1e-12), u2 = uniform();
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * M_PI * u2);
  }
};

// Smooth base shape plus class-specific absorption dips, over band t in [0, 1].
double class_spectrum(int cls, double t) {
  static const double kLevel[kClasses] = {0.30, 0.45, 0.25, 0.55, 0.40, 0.35};
  static const double kSlope[kClasses] = {0.40, -0.20, 0.10, 0.05, 0.30, -0.10};
  static const double kWave[kClasses] = {0.05, 0.08, 0.12, 0.04, 0.02, 0.10};
  static const double kDip[kClasses][2] = {{0.30, 0.70}, {0.45, 0.85}, {0.20, 0.55},
                                           {0.60, 0.90}, {0.35, 0.50}, {0.15, 0.80}};
  double v = kLevel[cls] + kSlope[cls] * t + kWave[cls] * std::sin(2.0 * M_PI * (t * (1.5 + 0.3 * cls)));
  for (double centre : kDip[cls]) v -= 0.12 * std::exp(-std::pow((t - centre) / 0.04, 2.0));
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string out_dir = argc > 1 ? argv[1] : "data/sample";
  SplitMix rng{20261209};

  // Fields: Voronoi cells of 9 seed points, each cell one class.
  struct Seed {
    double r, c;
    int cls;
  };
  std::vector<Seed> seeds;
  for (int i = 0; i < 9; ++i) seeds.push_back({rng.uniform() * kHeight, rng.uniform() * kWidth, i % kClasses});

  lumora::NdArray cube = lumora::NdArray::zeros(lumora::DType::Float32, {kHeight, kWidth, kBands});
  lumora::NdArray gt = lumora::NdArray::zeros(lumora::DType::UInt8, {kHeight, kWidth});
  auto* cube_data = static_cast<float*>(cube.data);
  auto* gt_data = static_cast<uint8_t*>(gt.data);

  std::vector<double> field_gain(seeds.size());
  for (auto& g : field_gain) g = 0.9 + 0.2 * rng.uniform();

  for (int r = 0; r < kHeight; ++r) {
    for (int c = 0; c < kWidth; ++c) {
      size_t best = 0, second = 1;
      auto dist = [&](size_t i) { return std::hypot(r - seeds[i].r, c - seeds[i].c); };
      if (dist(second) < dist(best)) std::swap(best, second);
      for (size_t i = 2; i < seeds.size(); ++i) {
        if (dist(i) < dist(best)) {
          second = best;
          best = i;
        } else if (dist(i) < dist(second)) {
          second = i;
        }
      }
      const int cls = seeds[best].cls;
      // Pixels near a field border are mixed and left unlabelled.
      const bool border = dist(second) - dist(best) < 2.6;
      gt_data[r * kWidth + c] = border ? 0 : static_cast<uint8_t>(cls + 1);
      const double gain = field_gain[best] * (0.95 + 0.1 * rng.uniform());
      for (int b = 0; b < kBands; ++b) {
        const double t = static_cast<double>(b) / (kBands - 1);
        double v = class_spectrum(cls, t);
        if (border) v = 0.5 * (v + class_spectrum(seeds[second].cls, t));
        cube_data[(r * kWidth + c) * kBands + b] = static_cast<float>(gain * v + 0.015 * rng.normal());
      }
    }
  }

  int unlabelled = 0;
  for (int i = 0; i < kHeight * kWidth; ++i) unlabelled += gt_data[i] == 0;
  lumora::write_mat(out_dir + "/data.mat", {{"cube", cube}});
  lumora::write_mat(out_dir + "/gt.mat", {{"gt", gt}});
  std::cout << "wrote " << out_dir << "/data.mat and gt.mat (" << kHeight << " x " << kWidth << " x " << kBands
            << ", " << kClasses << " classes, " << unlabelled << " unlabelled pixels)\n";
  return 0;
}
