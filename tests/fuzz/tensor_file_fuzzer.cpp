// Tensor files: a state dict (--ssm_load, best_model.pth) and a tree bundle
// (spt_models.pkl) read by name, as the programs read them, then every
// tensor touched so that a view outside its storage would show.
#include "fuzz_target.h"
#include "lumora/core/errors.h"
#include "lumora/core/state_dict.h"
#include "lumora/rssp/bundle.h"
#include "memory_file.h"

namespace lumora::fuzz {
namespace {

void touch(const StateDict& dict) {
  for (const auto& [name, t] : dict) (void)t.to(at::kDouble).sum().item<double>();
}

}  // namespace

void one_input(const uint8_t* data, size_t size) {
  static MemoryFile file;
  const std::string& path = file.write(data, size);
  try {
    touch(load_state_dict_file(path));
  } catch (const Error&) {
  }
  try {
    const Bundle bundle = load_bundle(path);
    for (const auto& [id, node] : bundle.trained_models)
      for (const auto& forest : node.forests) touch(forest.state_dict);
    if (bundle.ssm_state) touch(*bundle.ssm_state);
  } catch (const Error&) {
  }
}

}  // namespace lumora::fuzz
