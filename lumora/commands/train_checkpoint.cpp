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

void TrainCheckpointer::save(const c10::IValue& state, int64_t epoch) { write(state, epoch, false); }

void TrainCheckpointer::finish(int64_t epoch) { write(c10::IValue(), epoch, true); }

void TrainCheckpointer::write(const c10::IValue& state, int64_t epoch, bool finished) {
  Dict d = new_dict();
  d.insert("format", std::string(kFormat));
  d.insert("version", kVersion);
  d.insert("identity", cli::identity_to_ivalue(identity_));
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
  out.identity = cli::identity_from_ivalue(at("identity"), [&] { damaged(path, "its 'identity' entry is damaged"); });
  if (!at("finished").isBool() || !at("epoch").isInt() || !at("log").isString())
    damaged(path, "its 'finished', 'epoch' or 'log' entry is damaged");
  out.finished = at("finished").toBool();
  out.epoch = at("epoch").toInt();
  out.fit = at("fit");
  out.log = at("log").toStringRef();
  return out;
}

}  // namespace lumora::commands::train
