#include "lumora/commands/run_identity.h"

#include <fmt/format.h>

#include "lumora/core/errors.h"

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
