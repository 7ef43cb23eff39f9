// Shared test helpers: temporary folders, tiny scenes written as real
// MAT-files, and running the built programs.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <torch/types.h>

#include "lumora/core/errors.h"
#include "lumora/io/ndarray.h"

namespace lumora::testing {

// A fresh directory removed when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// An (H, W) int64 label map as a row-major NdArray of the given type.
NdArray labels_array(const std::vector<std::vector<int64_t>>& rows, DType dtype = DType::UInt8);

// Writes a small scene: data.mat holding `cube` (H, W, C float) under
// `data_key`, gt.mat holding `labels` (H, W) under `gt_key`.
void write_scene(const std::string& dir, const torch::Tensor& cube, const torch::Tensor& labels,
                 const std::string& data_key = "cube", const std::string& gt_key = "gt");

// A scene of `classes` spatial blocks with class-dependent spectra plus noise.
struct TinyScene {
  torch::Tensor cube;    // (H, W, C) float32
  torch::Tensor labels;  // (H, W) int64, 0 on a border strip
};
TinyScene make_tiny_scene(int64_t height, int64_t width, int64_t bands, int64_t classes, uint64_t seed = 7);

struct RunResult {
  int exit_code = -1;  // 128 + the signal's number when a signal ended it
  std::string out;  // standard output
  std::string err;  // standard error
  int64_t peak_rss_kb = -1;  // run_program_measured only
  double seconds = 0.0;      // wall time, run_program_measured only
};
// Runs a built program (name relative to the build's bin folder) with arguments.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd = "");
// The same under /usr/bin/time -f %M, which gives the program's peak
// resident memory; also its wall time.
RunResult run_program_measured(const std::string& program, const std::vector<std::string>& args);
// Runs any executable, given by path.
RunResult run_command(const std::string& exe, const std::vector<std::string>& args, const std::string& cwd = "");

// A built program running beside the test, its output going to files.
class BackgroundProgram {
 public:
  // `env`: NAME=VALUE entries added to the program's environment.
  BackgroundProgram(const std::string& program, const std::vector<std::string>& args,
                    const std::vector<std::string>& env = {});
  ~BackgroundProgram();  // kills it when still running
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;

  // Waits for the end (at most `seconds`, then kills it): the exit code as
  // RunResult gives it, and its output.
  RunResult wait(double seconds = 600.0);
  void kill();
  // Sends `signal` and leaves the program running to handle it.
  void send(int signal);
  std::string out() const;  // the standard output so far

 private:
  int pid_ = -1;
  std::unique_ptr<TempDir> scratch_;
};

// A TCP port on the loopback interface that nothing listens on right now.
int free_port();

// The message of the error `fn` throws, checked to be of type E.
template <typename E = Error, typename F>
std::string error_of(F&& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    if constexpr (std::is_same_v<E, std::exception>) {
      return e.what();
    } else {
      if (dynamic_cast<const E*>(&e)) return e.what();
      return std::string("wrong exception type: ") + e.what();
    }
  }
  return "no error";
}

// Lowers this process's file-size limit (RLIMIT_FSIZE) to `bytes` while it
// lives and ignores SIGXFSZ, so that a write past the limit fails with EFBIG
// as it would on a full disk. Programs run meanwhile inherit both.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(uint64_t bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  uint64_t old_soft_ = 0;
  void (*old_handler_)(int) = nullptr;
};

// The names in a folder, sorted.
std::vector<std::string> entries(const std::string& folder);

std::string read_file(const std::string& path);
std::string source_dir();
std::string build_dir();
// Path of the shared folder beside the checkout, or "" when it is absent.
std::string shared_dir();

}  // namespace lumora::testing
