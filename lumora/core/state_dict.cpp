#include "lumora/core/state_dict.h"

#include <fstream>
#include <iterator>
#include <set>

#include "lumora/core/atomic_file.h"
#include "lumora/core/errors.h"
#include "lumora/core/format.h"
#include "lumora/core/tensor_file.h"

namespace lumora {
namespace {

void collect(const torch::nn::Module& module, const std::string& prefix, StateDict& out) {
  for (const auto& item : module.named_parameters(/*recurse=*/false)) out.emplace_back(prefix + item.key(), item.value());
  for (const auto& item : module.named_buffers(/*recurse=*/false)) out.emplace_back(prefix + item.key(), item.value());
  for (const auto& child : module.named_children()) collect(*child.value(), prefix + child.key() + ".", out);
}

// "lumora::HyperspectralNetImpl" -> "HyperspectralNet", as Python names it.
std::string class_name(const torch::nn::Module& module) {
  std::string name = module.name();
  const auto colon = name.rfind("::");
  if (colon != std::string::npos) name = name.substr(colon + 2);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, "Impl") == 0) name.resize(name.size() - 4);
  return name;
}

// Floating point, integer or boolean: values of one kind convert into each other safely.
int value_kind(const torch::Tensor& t) {
  if (t.is_floating_point()) return 0;
  return t.scalar_type() == torch::kBool ? 2 : 1;
}

std::string quoted_list(const std::vector<std::string>& keys) {
  std::string s;
  for (size_t i = 0; i < keys.size(); ++i) s += (i ? ", \"" : "\"") + keys[i] + "\"";
  return s;
}

}  // namespace

StateDict state_dict(const torch::nn::Module& module) {
  StateDict out;
  collect(module, "", out);
  return out;
}

StateDict cpu_copy(const StateDict& dict) {
  StateDict out;
  out.reserve(dict.size());
  for (const auto& [k, v] : dict) out.emplace_back(k, v.detach().to(torch::kCPU).clone());
  return out;
}

const torch::Tensor& state_dict_at(const StateDict& dict, const std::string& key) {
  for (const auto& [k, v] : dict)
    if (k == key) return v;
  throw KeyError("'" + key + "'");
}

void load_state_dict(torch::nn::Module& module, const StateDict& dict) {
  StateDict own = state_dict(module);
  std::vector<std::string> missing, unexpected, mismatched;
  std::map<std::string, const torch::Tensor*> given;
  for (const auto& [k, v] : dict) given[k] = &v;
  for (const auto& [k, v] : own) {
    auto it = given.find(k);
    if (it == given.end()) {
      missing.push_back(k);
    } else if (it->second->sizes() != v.sizes()) {
      mismatched.push_back("size mismatch for " + k + ": copying a param with shape " + shape_text(it->second->sizes().vec(), ShapeStyle::TorchSize) +
                           " from checkpoint, the shape in current model is " + shape_text(v.sizes().vec(), ShapeStyle::TorchSize) + ".");
    } else if (value_kind(*it->second) != value_kind(v)) {
      // copy_ would convert silently: integers or flags are never weights.
      mismatched.push_back("type mismatch for " + k + ": copying a param of type " +
                           std::string(c10::toString(it->second->scalar_type())) +
                           " from checkpoint, the type in current model is " +
                           std::string(c10::toString(v.scalar_type())) + ".");
    }
  }
  std::set<std::string> known;
  for (const auto& entry : own) known.insert(entry.first);
  for (const auto& [k, v] : dict)
    if (!known.count(k)) unexpected.push_back(k);
  if (!missing.empty() || !unexpected.empty() || !mismatched.empty()) {
    std::string msg = "Error(s) in loading state_dict for " + class_name(module) + ":";
    if (!missing.empty()) msg += "\n\tMissing key(s) in state_dict: " + quoted_list(missing) + ".";
    if (!unexpected.empty()) msg += "\n\tUnexpected key(s) in state_dict: " + quoted_list(unexpected) + ".";
    for (const auto& m : mismatched) msg += "\n\t" + m;
    throw RuntimeError(msg);
  }
  torch::NoGradGuard no_grad;
  for (auto& [k, v] : own) v.copy_(*given.at(k));
}

c10::IValue state_dict_to_ivalue(const StateDict& dict) {
  c10::Dict<std::string, torch::Tensor> out;
  for (const auto& [k, v] : dict) out.insert(k, v.detach().to(torch::kCPU));
  return out;
}

StateDict state_dict_from_ivalue(const c10::IValue& value, const std::string& where) {
  if (!value.isGenericDict()) throw TypeError(where + " holds a " + value.tagKind() + ", not a mapping of names to tensors");
  StateDict out;
  for (const auto& item : value.toGenericDict()) {
    if (!item.key().isString()) throw TypeError(where + " has a key that is not text (" + item.key().tagKind() + ")");
    const std::string key = item.key().toStringRef();
    if (!item.value().isTensor())
      throw TypeError(where + " entry '" + key + "' is a " + item.value().tagKind() + ", not a tensor");
    out.emplace_back(key, item.value().toTensor());
  }
  return out;
}

std::vector<char> read_binary_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FileNotFoundError("No such file: '" + path + "'");
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw RuntimeError("cannot read '" + path + "'");
  return bytes;
}

void save_state_dict(const StateDict& dict, const std::string& path) {
  write_binary_file(path, encode_tensor_file(state_dict_to_ivalue(dict)));
}

namespace {

// `reason`: the first line of the library's own complaint, when it gave one.
RuntimeError unreadable(const std::string& path, std::string reason = "") {
  reason = reason.substr(0, reason.find('\n'));
  return RuntimeError("cannot read '" + path + "': not a mapping of names to tensors saved by torch.save or this program" +
                      (reason.empty() ? "" : " (" + reason + ")"));
}

}  // namespace

StateDict load_state_dict_file(const std::string& path) {
  const std::vector<char> bytes = read_binary_file(path);
  c10::IValue value;
  try {
    value = decode_tensor_file(bytes);
  } catch (const RuntimeError& e) {
    throw unreadable(path, e.what());
  }
  return state_dict_from_ivalue(value, "'" + path + "'");
}

void load_state_dict_file_into(torch::nn::Module& module, const std::string& path) {
  const StateDict dict = load_state_dict_file(path);
  try {
    load_state_dict(module, dict);
  } catch (const RuntimeError& e) {
    throw RuntimeError("the weights in '" + path + "' do not fit: " + e.what());
  }
}

bool BestWeights::offer(double score, const torch::nn::Module& module) {
  if (!(score > score_)) return false;
  score_ = score;
  keep(module);
  return true;
}

void BestWeights::keep(const torch::nn::Module& module) { weights_ = cpu_copy(state_dict(module)); }

StateDict BestWeights::take_or_current(const torch::nn::Module& module) {
  if (!weights_) return cpu_copy(state_dict(module));
  StateDict out = std::move(*weights_);
  weights_.reset();
  return out;
}

}  // namespace lumora
