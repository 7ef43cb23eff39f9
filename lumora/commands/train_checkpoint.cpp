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

std::string file_text(const std::string& path) {
  if (!std::filesystem::exists(path)) return "";
  const std::vector<char> bytes = read_binary_file(path);
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace

void TrainCheckpointer::save(const c10::IValue& state, int64_t epoch) { write(state, epoch, false); }

void TrainCheckpointer::finish(int64_t epoch) { write(c10::IValue(), epoch, true); }

void TrainCheckpointer::write(const c10::IValue& state, int64_t epoch, bool finished) {
  Dict d = cli::new_checkpoint_record(kFormat, kVersion, identity_);
  d.insert("finished", finished);
  d.insert("epoch", epoch);
  d.insert("fit", state);
  d.insert("log", finished ? std::string() : file_text(log_path_));
  write_binary_file(path_, encode_tensor_file(d));
}

std::optional<StoredCheckpoint> read_checkpoint(const std::string& path) {
  if (!std::filesystem::exists(path)) return std::nullopt;
  const cli::CheckpointRecord record(path, kFormat, kVersion);
  auto at = [&](const char* key) { return record.at(key); };
  StoredCheckpoint out;
  out.identity = record.identity();
  if (!at("finished").isBool() || !at("epoch").isInt() || !at("log").isString())
    record.damaged("its 'finished', 'epoch' or 'log' entry is damaged");
  out.finished = at("finished").toBool();
  out.epoch = at("epoch").toInt();
  out.fit = at("fit");
  out.log = at("log").toStringRef();
  return out;
}

}  // namespace lumora::commands::train
