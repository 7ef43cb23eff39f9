#include "lumora/commands/run_identity.h"

#include <fmt/format.h>

#include "lumora/core/errors.h"
#include "lumora/core/state_dict.h"
#include "lumora/core/tensor_file.h"

namespace lumora::cli {

std::string fingerprint(const torch::Tensor& t) {
  const torch::Tensor c = t.to(torch::kCPU).contiguous();
  const auto* bytes = static_cast<const unsigned char*>(c.data_ptr());
  const size_t n = static_cast<size_t>(c.numel()) * c.element_size();
  uint64_t h = 1469598103934665603ULL;
  for (size_t i = 0; i < n; ++i) h = (h ^ bytes[i]) * 1099511628211ULL;
  return fmt::format("{:016x}", h);
}

std::string scene_identity(const torch::Tensor& cube) {
  return fmt::format("{} x {} x {} (values {})", cube.size(1), cube.size(2), cube.size(0), fingerprint(cube));
}

c10::IValue identity_to_ivalue(const RunIdentity& identity) {
  c10::impl::GenericDict d(c10::StringType::get(), c10::AnyType::get());
  for (const auto& [name, value] : identity) d.insert(name, value);
  return d;
}

RunIdentity identity_from_ivalue(const c10::IValue& value, const std::function<void()>& damaged) {
  if (!value.isGenericDict()) damaged();
  RunIdentity out;
  for (const auto& item : value.toGenericDict()) {
    if (!item.key().isString() || !item.value().isString()) damaged();
    out.emplace_back(item.key().toStringRef(), item.value().toStringRef());
  }
  return out;
}

CheckpointRecord::CheckpointRecord(std::string path, const std::string& kind, int64_t version)
    : path_(std::move(path)), record_(c10::StringType::get(), c10::AnyType::get()) {
  c10::IValue value;
  try {
    value = decode_tensor_file(read_binary_file(path_));
  } catch (const Error& e) {
    damaged(e.what());
  }
  if (!value.isGenericDict()) damaged("not a " + kind);
  record_ = value.toGenericDict();
  if (!at("format").isString() || at("format").toStringRef() != kind) damaged("not a " + kind);
  if (!at("version").isInt() || at("version").toInt() != version) damaged("a checkpoint of another lumora version");
  identity_ = identity_from_ivalue(at("identity"), [&] { damaged("its 'identity' entry is damaged"); });
}

c10::IValue CheckpointRecord::at(const char* key) const {
  const auto found = record_.find(key);
  if (found == record_.end()) damaged(std::string("no '") + key + "' entry");
  return found->value();
}

void CheckpointRecord::damaged(const std::string& what) const {
  throw ValueError("cannot resume from '" + path_ + "': " + what);
}

c10::impl::GenericDict new_checkpoint_record(const std::string& kind, int64_t version, const RunIdentity& identity) {
  c10::impl::GenericDict d(c10::StringType::get(), c10::AnyType::get());
  d.insert("format", kind);
  d.insert("version", version);
  d.insert("identity", identity_to_ivalue(identity));
  return d;
}

void check_same_run(const std::string& path, const RunIdentity& stored, const RunIdentity& now) {
  for (const auto& [name, value] : now) {
    std::string before = "(not recorded)";
    for (const auto& [stored_name, stored_value] : stored)
      if (stored_name == name) before = stored_value;
    if (before != value)
      throw OptionError("cannot resume from '" + path + "': its " + name + " is " + before + ", this run's is " +
                        value);
  }
}

}  // namespace lumora::cli
