// What a run is made with, entry by entry, so that a resumed run goes on
// only with the same scene, split, network and options, and a refusal names
// what differs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <ATen/core/ivalue.h>
#include <torch/types.h>

namespace lumora::cli {

// ("--epochs", "300"), ("scene", "64 x 64 x 8 (values ...)"), ...
using RunIdentity = std::vector<std::pair<std::string, std::string>>;

// A fingerprint of a tensor's values (64-bit FNV-1a of its bytes, in hex).
std::string fingerprint(const torch::Tensor& t);

// "64 x 48 x 8 (values <fingerprint>)" for a (C, H, W) cube.
std::string scene_identity(const torch::Tensor& cube);

// A string-to-string mapping, and back; `damaged` is called (and must
// throw) when the value is not one.
c10::IValue identity_to_ivalue(const RunIdentity& identity);
RunIdentity identity_from_ivalue(const c10::IValue& value, const std::function<void()>& damaged);

// A checkpoint file's record: a mapping with the expected "format" and
// "version" and the run's "identity". Every error reads "cannot resume from
// '<path>': <what>".
class CheckpointRecord {
 public:
  // Reads `path` (which must exist); `kind` names the format in errors,
  // e.g. "lumora-train checkpoint".
  CheckpointRecord(std::string path, const std::string& kind, int64_t version);
  const std::string& path() const { return path_; }
  c10::IValue at(const char* key) const;
  const RunIdentity& identity() const { return identity_; }
  [[noreturn]] void damaged(const std::string& what) const;

 private:
  std::string path_;
  c10::impl::GenericDict record_;
  RunIdentity identity_;
};

// The record's common entries, written as CheckpointRecord reads them.
c10::impl::GenericDict new_checkpoint_record(const std::string& kind, int64_t version, const RunIdentity& identity);

// OptionError "cannot resume from '<path>': its <entry> is <old>, this run's
// is <new>" for the first entry that differs.
void check_same_run(const std::string& path, const RunIdentity& stored, const RunIdentity& now);

}  // namespace lumora::cli
