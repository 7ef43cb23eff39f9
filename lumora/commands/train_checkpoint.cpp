#include "lumora/commands/train_checkpoint.h"

#include <filesystem>

#include <fmt/format.h>

#include "lumora/core/atomic_file.h"
#include "lumora/core/errors.h"
#include "lumora/core/state_dict.h"
#include "lumora/core/tensor_file.h"

namespace lumora::commands::train {
namespace {

const char* const kFormat = "lumora-train checkpoint";
constexpr int64_t kVersion = 1;

using Dict = c10::impl::GenericDict;
Dict new_dict() { return Dict(c10::StringType::get(), c10::AnyType::get()); }

std::string file_text(const std::string& path) {
  if (!std::filesystem::exists(path)) return "";
  const std::vector<char> bytes = read_binary_file(path);
  return std::string(bytes.begin(), bytes.end());
}

[[noreturn]] void damaged(const std::string& path, const std::string& what) {
  throw ValueError("cannot resume from '" + path + "': " + what);
}

}  // namespace

std::string fingerprint(const torch::Tensor& t) {
  const torch::Tensor c = t.to(torch::kCPU).contiguous();
  const auto* bytes = static_cast<const unsigned char*>(c.data_ptr());
  const size_t n = static_cast<size_t>(c.numel()) * c.element_size();
  uint64_t h = 1469598103934665603ULL;
  for (size_t i = 0; i < n; ++i) h = (h ^ bytes[i]) * 1099511628211ULL;
  return fmt::format("{:016x}", h);
}

void TrainCheckpointer::save(const c10::IValue& state, int64_t epoch) { write(state, epoch, false); }

void TrainCheckpointer::finish(int64_t epoch) { write(c10::IValue(), epoch, true); }

void TrainCheckpointer::write(const c10::IValue& state, int64_t epoch, bool finished) {
  Dict d = new_dict();
  d.insert("format", std::string(kFormat));
  d.insert("version", kVersion);
  Dict identity = new_dict();
  for (const auto& [name, value] : identity_) identity.insert(name, value);
  d.insert("identity", identity);
  d.insert("finished", finished);
  d.insert("epoch", epoch);
  d.insert("fit", state);
  d.insert("log", finished ? std::string() : file_text(log_path_));
  write_binary_file(path_, encode_tensor_file(d));
}

std::optional<StoredCheckpoint> read_checkpoint(const std::string& path) {
  if (!std::filesystem::exists(path)) return std::nullopt;
  c10::IValue value;
  try {
    value = decode_tensor_file(read_binary_file(path));
  } catch (const Error& e) {
    damaged(path, e.what());
  }
  if (!value.isGenericDict()) damaged(path, "not a lumora-train checkpoint");
  const Dict d = value.toGenericDict();
  auto at = [&](const char* key) {
    const auto found = d.find(key);
    if (found == d.end()) damaged(path, std::string("no '") + key + "' entry");
    return found->value();
  };
  if (!at("format").isString() || at("format").toStringRef() != kFormat) damaged(path, "not a lumora-train checkpoint");
  if (!at("version").isInt() || at("version").toInt() != kVersion)
    damaged(path, "a checkpoint of another lumora version");
  StoredCheckpoint out;
  if (!at("identity").isGenericDict()) damaged(path, "its 'identity' entry is damaged");
  for (const auto& item : at("identity").toGenericDict()) {
    if (!item.key().isString() || !item.value().isString()) damaged(path, "its 'identity' entry is damaged");
    out.identity.emplace_back(item.key().toStringRef(), item.value().toStringRef());
  }
  if (!at("finished").isBool() || !at("epoch").isInt() || !at("log").isString())
    damaged(path, "its 'finished', 'epoch' or 'log' entry is damaged");
  out.finished = at("finished").toBool();
  out.epoch = at("epoch").toInt();
  out.fit = at("fit");
  out.log = at("log").toStringRef();
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

}  // namespace lumora::commands::train
