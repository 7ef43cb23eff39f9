#include "lumora/rssp/bundle.h"

#include <cmath>

#include "lumora/core/atomic_file.h"
#include "lumora/core/errors.h"
#include "lumora/core/format.h"
#include "lumora/core/tensor_file.h"

namespace lumora {
namespace {

int64_t int_entry(const c10::impl::GenericDict& dict, const std::string& key, int64_t fallback,
                  const std::string& path) {
  auto it = dict.find(key);
  if (it == dict.end()) return fallback;
  if (!it->value().isInt())
    throw TypeError("bundle '" + path + "': " + key + " is a " + it->value().tagKind() + ", not an integer");
  const int64_t v = it->value().toInt();
  if (v <= 0) throw ValueError("bundle '" + path + "': " + key + " must be positive, got " + std::to_string(v));
  return v;
}

std::optional<SplitRecord> split_entry(const c10::impl::GenericDict& dict, const std::string& path) {
  auto it = dict.find("split");
  if (it == dict.end() || it->value().isNone()) return std::nullopt;
  const std::string where = "bundle '" + path + "': split";
  if (!it->value().isGenericDict())
    throw TypeError(where + " is a " + it->value().tagKind() + ", not a mapping");
  const auto split = it->value().toGenericDict();
  for (const auto& item : split) {
    if (!item.key().isString()) throw TypeError(where + " has a key that is not text");
    const std::string& key = item.key().toStringRef();
    if (key != "train_ratio" && key != "val_ratio" && key != "seed")
      throw ValueError(where + " has an unexpected key '" + key + "'");
  }
  auto get = [&](const std::string& key) {
    auto field = split.find(key);
    if (field == split.end()) throw KeyError(where + " has no '" + key + "' entry");
    return field->value();
  };
  auto ratio = [&](const std::string& key) {
    const c10::IValue v = get(key);
    if (!v.isDouble() && !v.isInt())
      throw TypeError(where + "." + key + " is a " + v.tagKind() + ", not a number");
    const double r = v.isDouble() ? v.toDouble() : static_cast<double>(v.toInt());
    if (!std::isfinite(r) || r < 0.0 || r > 1.0)
      throw ValueError(where + "." + key + " must be a number from 0 to 1, got " + py_float(r));
    return r;
  };
  SplitRecord s;
  s.train_ratio = ratio("train_ratio");
  s.val_ratio = ratio("val_ratio");
  const c10::IValue seed = get("seed");
  if (!seed.isInt()) throw TypeError(where + ".seed is a " + seed.tagKind() + ", not an integer");
  s.seed = seed.toInt();
  if (s.seed < 0 || s.seed > 0xFFFFFFFFLL)
    throw ValueError(where + ".seed must be from 0 to 2**32 - 1, got " + std::to_string(s.seed));
  return s;
}

std::string prefixed(const std::string& path, const std::exception& e) {
  const std::string what = e.what();
  const std::string head = "bundle '" + path + "'";
  return what.rfind(head, 0) == 0 ? what : head + ": " + what;
}

}  // namespace

bool operator==(const SplitRecord& a, const SplitRecord& b) {
  return a.train_ratio == b.train_ratio && a.val_ratio == b.val_ratio && a.seed == b.seed;
}

void save_bundle(const Bundle& bundle, const std::string& path) {
  c10::impl::GenericDict dict(c10::StringType::get(), c10::AnyType::get());
  dict.insert("trained_models", trained_models_to_ivalue(bundle.trained_models));
  dict.insert("tree", tree_to_ivalue(bundle.tree));
  if (bundle.ssm_state) dict.insert("ssm_state", state_dict_to_ivalue(*bundle.ssm_state));
  dict.insert("d_model", bundle.d_model);
  dict.insert("d_state", bundle.d_state);
  if (bundle.split) {
    c10::impl::GenericDict split(c10::StringType::get(), c10::AnyType::get());
    split.insert("train_ratio", bundle.split->train_ratio);
    split.insert("val_ratio", bundle.split->val_ratio);
    split.insert("seed", bundle.split->seed);
    dict.insert("split", split);
  }
  write_binary_file(path, encode_tensor_file(dict));
}

Bundle load_bundle(const std::string& path) {
  const std::vector<char> bytes = read_binary_file(path);
  c10::IValue value;
  try {
    value = decode_tensor_file(bytes);
  } catch (const RuntimeError& e) {
    throw RuntimeError("cannot read bundle '" + path + "': " + e.what());
  }
  if (!value.isGenericDict()) throw TypeError("bundle '" + path + "' holds a " + value.tagKind() + ", not a mapping");
  const auto dict = value.toGenericDict();
  for (const auto& item : dict)
    if (!item.key().isString()) throw TypeError("bundle '" + path + "' has a key that is not text");
  auto required = [&](const std::string& key) {
    auto it = dict.find(key);
    if (it == dict.end()) throw KeyError("bundle '" + path + "' has no '" + key + "' entry");
    return it->value();
  };
  Bundle b;
  // Errors inside the records name their path; add the file.
  try {
    b.trained_models = trained_models_from_ivalue(required("trained_models"), "trained_models");
    b.tree = tree_from_ivalue(required("tree"), "tree");
  } catch (const KeyError& e) {
    throw KeyError(prefixed(path, e));
  } catch (const TypeError& e) {
    throw TypeError(prefixed(path, e));
  } catch (const ValueError& e) {
    throw ValueError(prefixed(path, e));
  }
  auto ssm = dict.find("ssm_state");
  if (ssm != dict.end() && !ssm->value().isNone())
    b.ssm_state = state_dict_from_ivalue(ssm->value(), "bundle '" + path + "' ssm_state");
  b.d_model = int_entry(dict, "d_model", 64, path);
  b.d_state = int_entry(dict, "d_state", 16, path);
  b.split = split_entry(dict, path);
  return b;
}

}  // namespace lumora
