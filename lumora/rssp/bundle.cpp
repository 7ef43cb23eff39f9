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

// The split record as JSON, read by the one reader of split records.
nlohmann::ordered_json split_json(const c10::impl::GenericDict& split, const std::string& where) {
  nlohmann::ordered_json record = nlohmann::ordered_json::object();
  for (const auto& item : split) {
    if (!item.key().isString()) throw TypeError(where + " has a key that is not text");
    const std::string& key = item.key().toStringRef();
    const c10::IValue& v = item.value();
    if (v.isDouble())
      record[key] = v.toDouble();
    else if (v.isInt())
      record[key] = v.toInt();
    else if (v.isString())
      record[key] = v.toStringRef();
    else if (v.isBool())
      record[key] = v.toBool();
    else
      throw TypeError(where + "." + key + " is a " + v.tagKind() + ", not a number or a text");
  }
  return record;
}

std::optional<SplitProtocol> split_entry(const c10::impl::GenericDict& dict, const std::string& path) {
  auto it = dict.find("split");
  if (it == dict.end() || it->value().isNone()) return std::nullopt;
  const std::string where = "bundle '" + path + "': split";
  if (!it->value().isGenericDict())
    throw TypeError(where + " is a " + it->value().tagKind() + ", not a mapping");
  return protocol_from_json(split_json(it->value().toGenericDict(), where), where);
}

std::string prefixed(const std::string& path, const std::exception& e) {
  const std::string what = e.what();
  const std::string head = "bundle '" + path + "'";
  return what.rfind(head, 0) == 0 ? what : head + ": " + what;
}

}  // namespace

void save_bundle(const Bundle& bundle, const std::string& path) {
  c10::impl::GenericDict dict(c10::StringType::get(), c10::AnyType::get());
  dict.insert("trained_models", trained_models_to_ivalue(bundle.trained_models));
  dict.insert("tree", tree_to_ivalue(bundle.tree));
  if (bundle.ssm_state) dict.insert("ssm_state", state_dict_to_ivalue(*bundle.ssm_state));
  dict.insert("d_model", bundle.d_model);
  dict.insert("d_state", bundle.d_state);
  if (bundle.split) {
    c10::impl::GenericDict split(c10::StringType::get(), c10::AnyType::get());
    const nlohmann::ordered_json record = protocol_to_json(*bundle.split);
    for (const auto& item : record.items()) {
      const auto& v = item.value();
      if (v.is_number_float())
        split.insert(item.key(), v.get<double>());
      else if (v.is_number_integer())
        split.insert(item.key(), v.get<int64_t>());
      else
        split.insert(item.key(), v.get<std::string>());
    }
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
