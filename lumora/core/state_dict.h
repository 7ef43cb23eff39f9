// State dicts: the checkpoint format of every network. Keys are dotted
// attribute paths ordered as PyTorch orders them (a module's own parameters,
// then its own buffers, then its children in registration order); files are
// written with torch::pickle_save, which Python's torch.load reads.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <torch/nn/module.h>
#include <torch/types.h>

namespace lumora {

using StateDict = std::vector<std::pair<std::string, torch::Tensor>>;

// The module's parameters and buffers under their dotted paths (the tensors
// themselves, not copies).
StateDict state_dict(const torch::nn::Module& module);

// Detached CPU copies of a state dict (what records and files keep).
StateDict cpu_copy(const StateDict& dict);

// Copies every entry into the module's tensors. Strict: missing keys,
// unexpected keys and shape mismatches all fail, listed in one error.
void load_state_dict(torch::nn::Module& module, const StateDict& dict);

// Looks a key up; throws KeyError when absent.
const torch::Tensor& state_dict_at(const StateDict& dict, const std::string& key);

void save_state_dict(const StateDict& dict, const std::string& path);
// Reads a file that holds a mapping of text to tensors and nothing else.
StateDict load_state_dict_file(const std::string& path);
// load_state_dict_file, then a strict load into `module`; a mismatch names the file.
void load_state_dict_file_into(torch::nn::Module& module, const std::string& path);

// Conversions to and from the generic value the pickler handles.
c10::IValue state_dict_to_ivalue(const StateDict& dict);
// `where` names the value in errors (a file, or a path inside a bundle).
StateDict state_dict_from_ivalue(const c10::IValue& value, const std::string& where);

// Bytes of a whole file; errors name the file.
std::vector<char> read_binary_file(const std::string& path);

// The keep-the-best idiom of every training loop: a CPU copy of the weights
// of the strictly best score offered so far (starting from 0).
class BestWeights {
 public:
  // True (and the weights copied) when `score` beats every earlier one.
  bool offer(double score, const torch::nn::Module& module);
  // Copies the weights unconditionally (the caller decided they are the best).
  void keep(const torch::nn::Module& module);
  // Takes `weights` as the best (a resumed run's).
  void keep(StateDict weights) { weights_ = std::move(weights); }
  bool empty() const { return !weights_.has_value(); }
  double score() const { return score_; }
  const StateDict& weights() const { return *weights_; }
  // The best weights, or the module's present ones when none were kept.
  StateDict take_or_current(const torch::nn::Module& module);

 private:
  double score_ = 0.0;
  std::optional<StateDict> weights_;
};

}  // namespace lumora
