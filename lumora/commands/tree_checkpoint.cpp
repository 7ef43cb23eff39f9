#include "lumora/commands/tree_checkpoint.h"

#include <filesystem>
#include <regex>

#include <fmt/format.h>

#include "lumora/core/atomic_file.h"
#include "lumora/core/errors.h"
#include "lumora/core/paths.h"
#include "lumora/core/tensor_file.h"

namespace lumora::commands::treefit {
namespace {

namespace fs = std::filesystem;

const char* const kFormat = "lumora-treefit checkpoint";
constexpr int64_t kVersion = 1;

using Dict = c10::impl::GenericDict;

bool is_job_file(const fs::path& p) {
  static const std::regex name(R"(job_[0-9]+\.job)");
  return std::regex_match(p.filename().string(), name);
}

}  // namespace

TreeCheckpoint::TreeCheckpoint(const std::string& out_dir)
    : folder_(path_join(out_dir, "checkpoint")), record_path_(path_join(folder_, "run.pt")) {}

std::optional<TreeRunRecord> TreeCheckpoint::read_record() const {
  if (!fs::exists(record_path_)) return std::nullopt;
  const cli::CheckpointRecord record(record_path_, kFormat, kVersion);
  auto at = [&](const char* key) { return record.at(key); };
  TreeRunRecord out;
  out.identity = record.identity();
  if (!at("finished").isBool() || !at("history_bytes").isInt())
    record.damaged("its 'finished' or 'history_bytes' entry is damaged");
  out.finished = at("finished").toBool();
  out.history_bytes = at("history_bytes").toInt();
  if (!at("encoder").isNone()) out.encoder = state_dict_from_ivalue(at("encoder"), "'" + record_path_ + "' encoder");
  return out;
}

void TreeCheckpoint::start(const TreeRunRecord& record) {
  make_dirs(folder_);
  remove_jobs();
  write_record(record);
}

void TreeCheckpoint::write_record(const TreeRunRecord& record) {
  Dict d = cli::new_checkpoint_record(kFormat, kVersion, record.identity);
  d.insert("finished", record.finished);
  d.insert("history_bytes", record.history_bytes);
  d.insert("encoder", record.encoder ? state_dict_to_ivalue(*record.encoder) : c10::IValue());
  write_binary_file(record_path_, encode_tensor_file(d));
}

void TreeCheckpoint::finish(TreeRunRecord record) {
  record.finished = true;
  record.encoder.reset();
  write_record(record);
  remove_jobs();
}

int64_t TreeCheckpoint::jobs_kept() const {
  if (!fs::is_directory(folder_)) return 0;
  int64_t n = 0;
  for (const auto& entry : fs::directory_iterator(folder_)) n += is_job_file(entry.path()) ? 1 : 0;
  return n;
}

std::string TreeCheckpoint::job_path(size_t index) const { return path_join(folder_, fmt::format("job_{}.job", index)); }

bool TreeCheckpoint::has(size_t index) const { return fs::exists(job_path(index)); }

std::string TreeCheckpoint::read(size_t index) const {
  const std::vector<char> bytes = read_binary_file(job_path(index));
  return {bytes.begin(), bytes.end()};
}

void TreeCheckpoint::keep(size_t index, const std::string& bytes) {
  write_binary_file(job_path(index), std::vector<char>(bytes.begin(), bytes.end()));
}

void TreeCheckpoint::remove_jobs() const {
  if (!fs::is_directory(folder_)) return;
  for (const auto& entry : fs::directory_iterator(folder_))
    if (is_job_file(entry.path())) fs::remove(entry.path());
}

int64_t history_length(const std::string& path) {
  return fs::exists(path) ? static_cast<int64_t>(fs::file_size(path)) : -1;
}

void restore_history(const std::string& path, int64_t bytes) {
  if (bytes < 0) {
    fs::remove(path);
    return;
  }
  if (history_length(path) < bytes)
    throw ValueError(fmt::format("cannot resume: '{}' is shorter than when the run began ({} bytes); it was changed "
                                 "since",
                                 path, bytes));
  fs::resize_file(path, static_cast<uintmax_t>(bytes));
}

}  // namespace lumora::commands::treefit
