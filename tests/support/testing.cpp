#include "support/testing.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "lumora/io/matfile.h"
#include "lumora/test_paths.h"

namespace fs = std::filesystem;

namespace lumora::testing {

TempDir::TempDir() {
  std::string tmpl = (fs::temp_directory_path() / "lumora-test-XXXXXX").string();
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

FileSizeLimit::FileSizeLimit(uint64_t bytes) {
  rlimit limit{};
  if (getrlimit(RLIMIT_FSIZE, &limit) != 0) throw std::runtime_error("getrlimit failed");
  old_soft_ = limit.rlim_cur;
  old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
  limit.rlim_cur = static_cast<rlim_t>(bytes);
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) throw std::runtime_error("setrlimit failed");
}

FileSizeLimit::~FileSizeLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = static_cast<rlim_t>(old_soft_);
  setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, old_handler_);
}

std::vector<std::string> entries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

NdArray labels_array(const std::vector<std::vector<int64_t>>& rows, DType dtype) {
  const int64_t h = static_cast<int64_t>(rows.size());
  const int64_t w = h ? static_cast<int64_t>(rows[0].size()) : 0;
  auto t = torch::empty({h, w}, torch::kInt64);
  for (int64_t r = 0; r < h; ++r)
    for (int64_t c = 0; c < w; ++c) t[r][c] = rows[r][c];
  NdArray wide = NdArray::from_tensor(t);
  if (dtype == DType::Int64) return wide;
  NdArray out = NdArray::zeros(dtype, {h, w});
  out.raw().copy_(t);  // same-width carrier: values fit the small test labels
  return out;
}

void write_scene(const std::string& dir, const torch::Tensor& cube, const torch::Tensor& labels,
                 const std::string& data_key, const std::string& gt_key) {
  write_mat(dir + "/data.mat", {{data_key, NdArray::from_tensor(cube)}});
  write_mat(dir + "/gt.mat", {{gt_key, NdArray::from_tensor(labels)}});
}

TinyScene make_tiny_scene(int64_t height, int64_t width, int64_t bands, int64_t classes, uint64_t seed) {
  torch::manual_seed(seed);
  auto labels = torch::zeros({height, width}, torch::kInt64);
  // Vertical stripes of classes, one unlabelled row at the top.
  for (int64_t r = 1; r < height; ++r)
    for (int64_t c = 0; c < width; ++c) labels[r][c] = 1 + (c * classes) / width;
  auto band = torch::linspace(0.0, 1.0, bands);
  auto cube = torch::empty({height, width, bands}, torch::kFloat32);
  auto spectra = torch::empty({classes + 1, bands});
  for (int64_t k = 0; k <= classes; ++k)
    spectra[k] = torch::sin(band * (k + 1) * 3.0) * 0.5 + 0.2 * static_cast<double>(k) + 1.0;
  cube.copy_(spectra.index({labels}) + 0.05 * torch::randn({height, width, bands}));
  return {cube, labels};
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string source_dir() { return LUMORA_TEST_SOURCE_DIR; }
std::string build_dir() { return LUMORA_TEST_BUILD_DIR; }

std::string shared_dir() {
  const fs::path p = fs::path(LUMORA_TEST_SOURCE_DIR).parent_path() / "shared";
  return fs::is_directory(p) ? p.string() : "";
}

namespace {

// Forks and runs `exe` with its output in the two files; `env` entries
// (NAME=VALUE) are added to its environment.
pid_t start_child(const std::string& exe, const std::vector<std::string>& args, const std::string& cwd,
                  const std::vector<std::string>& env, const std::string& out_path, const std::string& err_path) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  for (const auto& entry : env) putenv(const_cast<char*>(entry.c_str()));
  if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
  if (!freopen(out_path.c_str(), "w", stdout) || !freopen(err_path.c_str(), "w", stderr)) _exit(127);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(exe.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(exe.c_str(), argv.data());
  _exit(127);
}

}  // namespace

RunResult run_command(const std::string& exe, const std::vector<std::string>& args, const std::string& cwd) {
  TempDir scratch;
  const std::string out_path = scratch.file("out"), err_path = scratch.file("err");
  const pid_t pid = start_child(exe, args, cwd, {}, out_path, err_path);
  int status = 0;
  waitpid(pid, &status, 0);
  RunResult r;
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  return r;
}

BackgroundProgram::BackgroundProgram(const std::string& program, const std::vector<std::string>& args,
                                     const std::vector<std::string>& env)
    : scratch_(std::make_unique<TempDir>()) {
  const std::string exe = build_dir() + "/bin/" + program;
  pid_ = start_child(exe, args, "", env, scratch_->file("out"), scratch_->file("err"));
}

BackgroundProgram::~BackgroundProgram() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

RunResult BackgroundProgram::wait(double seconds) {
  RunResult r;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  int status = 0;
  while (pid_ > 0) {
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill();
      r.exit_code = -1;  // did not end in time
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  r.out = read_file(scratch_->file("out"));
  r.err = read_file(scratch_->file("err"));
  return r;
}

void BackgroundProgram::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

void BackgroundProgram::send(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

std::string BackgroundProgram::out() const { return read_file(scratch_->file("out")); }

int free_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("free_port: no socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof(address);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    throw std::runtime_error("free_port: cannot bind");
  }
  close(fd);
  return ntohs(address.sin_port);
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args, const std::string& cwd) {
  return run_command(build_dir() + "/bin/" + program, args, cwd);
}

RunResult run_program_measured(const std::string& program, const std::vector<std::string>& args) {
  TempDir scratch;
  const std::string report = scratch.file("time");
  std::vector<std::string> time_args = {"-o", report, "-f", "%M", build_dir() + "/bin/" + program};
  time_args.insert(time_args.end(), args.begin(), args.end());
  const auto start = std::chrono::steady_clock::now();
  // GNU time ends with the program's status, or 128 + its signal.
  RunResult r = run_command("/usr/bin/time", time_args, "");
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // The last line is the figure; a line about the exit status may precede it.
  std::stringstream lines(read_file(report));
  std::string line, last;
  while (std::getline(lines, line))
    if (!line.empty()) last = line;
  try {
    r.peak_rss_kb = std::stoll(last);
  } catch (const std::exception&) {
    r.peak_rss_kb = -1;
  }
  return r;
}

}  // namespace lumora::testing
