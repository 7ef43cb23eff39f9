// Loading benchmark: loads a scene and takes its three splits the way the
// commands do, and reports seconds and peak resident memory as one JSON line:
// the load with the first split, then with all three.
//
//   dataset_load --write DIR      writes DIR/data.mat, DIR/gt.mat (610 x 340 x 103, 10 classes)
//   dataset_load DATA GT [--repeat N]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>
#include <string>
#include <vector>

#include "lumora/core/process.h"
#include "lumora/core/torch_compat.h"
#include "lumora/datasets/cubeset.h"
#include "lumora/io/matfile.h"

namespace {

void write_scene(const std::string& dir) {
  torch::manual_seed(0);
  const int64_t h = 610, w = 340, c = 103;
  auto labels = (torch::arange(h).unsqueeze(1) / 61 + torch::arange(w).unsqueeze(0) / 170 * 0).remainder(10) + 1;
  labels.masked_fill_(torch::rand({h, w}) < 0.3, 0);
  auto cube = torch::rand({h, w, c}) * 0.1 + labels.unsqueeze(2).to(torch::kFloat32) * 0.05;
  lumora::write_mat(dir + "/data.mat", {{"paviaU", lumora::NdArray::from_tensor(cube)}});
  lumora::write_mat(dir + "/gt.mat", {{"paviaU_gt", lumora::NdArray::from_tensor(labels.to(torch::kUInt8))}});
}

double peak_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
  lumora::prepare_process();
  if (argc == 3 && std::string(argv[1]) == "--write") {
    write_scene(argv[2]);
    return 0;
  }
  if (argc < 3) {
    std::cerr << "usage: dataset_load DATA GT [--repeat N] | --write DIR\n";
    return 2;
  }
  const int repeat = argc >= 5 ? std::stoi(argv[4]) : 3;
  std::vector<double> one, three;
  for (int r = 0; r < repeat; ++r) {
    auto t0 = std::chrono::steady_clock::now();
    const lumora::LabelledScene scene(lumora::SceneOptions(argv[1], argv[2]));
    const lumora::HyperspectralDataset train(scene, lumora::Split::train);
    auto t1 = std::chrono::steady_clock::now();
    const lumora::HyperspectralDataset val(scene, lumora::Split::val);
    const lumora::HyperspectralDataset test(scene, lumora::Split::test);
    auto t2 = std::chrono::steady_clock::now();
    one.push_back(std::chrono::duration<double>(t1 - t0).count());
    three.push_back(std::chrono::duration<double>(t2 - t0).count());
  }
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  std::cout << "{\"load_median_s\": " << median(one) << ", \"three_datasets_median_s\": " << median(three)
            << ", \"peak_rss_mib\": " << peak_rss_mib() << "}" << std::endl;
  return 0;
}
