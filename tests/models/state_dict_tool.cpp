// Helper of state_dict_interop.py: writes and reads network state dicts with
// lumora's own code so that the script can check them against Python.
//
//   state_dict_tool save FILE DUMP        a seeded small network's state dict
//   state_dict_tool load FILE OUT DUMP    FILE into that network, then saved again
//   state_dict_tool keys BANDS CLASSES    key and shape of every entry, default network
//
// DUMP lists every entry as "key<TAB>dtype<TAB>shape<TAB>values", values in
// %.9g so float32 survives exactly. Errors: "error: <message>", exit 1.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include <torch/torch.h>

#include "lumora/core/errors.h"
#include "lumora/core/state_dict.h"
#include "lumora/models/cubeseg.h"

namespace {

using lumora::HyperspectralNet;
using lumora::HyperspectralNetOptions;

HyperspectralNet small_net() {
  return HyperspectralNet(HyperspectralNetOptions(8, 3).num_filters(2).num_blocks(2).base_filters(2));
}

std::string shape_of(const torch::Tensor& t) {
  std::string s;
  for (int64_t i = 0; i < t.dim(); ++i) s += (i ? "," : "") + std::to_string(t.size(i));
  return s;
}

void dump(const lumora::StateDict& dict, const std::string& path) {
  std::ofstream out(path);
  for (const auto& [k, v] : dict) {
    out << k << '\t' << c10::toString(v.scalar_type()) << '\t' << shape_of(v) << '\t';
    const auto flat = v.detach().to(torch::kCPU, torch::kFloat64).contiguous().view(-1);
    char buf[32];
    for (int64_t i = 0; i < flat.numel(); ++i) {
      std::snprintf(buf, sizeof buf, "%.9g", flat.data_ptr<double>()[i]);
      out << (i ? " " : "") << buf;
    }
    out << '\n';
  }
  if (!out) throw lumora::RuntimeError("cannot write '" + path + "'");
}

int run(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "save" && argc == 4) {
    torch::manual_seed(42);
    auto net = small_net();
    net->train();
    net->forward(torch::randn({1, 8, 32, 32}));  // running statistics move off their defaults
    lumora::save_state_dict(lumora::state_dict(*net), argv[2]);
    dump(lumora::state_dict(*net), argv[3]);
    return 0;
  }
  if (mode == "load" && argc == 5) {
    auto net = small_net();
    lumora::load_state_dict(*net, lumora::load_state_dict_file(argv[2]));
    lumora::save_state_dict(lumora::state_dict(*net), argv[3]);
    dump(lumora::state_dict(*net), argv[4]);
    return 0;
  }
  if (mode == "keys" && argc == 4) {
    HyperspectralNet net(HyperspectralNetOptions(std::stoll(argv[2]), std::stoll(argv[3])));
    for (const auto& [k, v] : lumora::state_dict(*net)) std::cout << k << '\t' << shape_of(v) << '\n';
    return 0;
  }
  std::cerr << "usage: state_dict_tool save FILE DUMP | load FILE OUT DUMP | keys BANDS CLASSES\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << "\n";
    return 1;
  }
}
