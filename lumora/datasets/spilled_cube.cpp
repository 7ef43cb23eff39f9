#include "lumora/datasets/spilled_cube.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <torch/torch.h>

#include "lumora/core/errors.h"
#include "lumora/io/matfile.h"

namespace lumora {
namespace {

constexpr int64_t kPieceValues = int64_t{1} << 22;  // 16 MB of float32 at a time

// An open, already unlinked file in $TMPDIR or /tmp.
int unlinked_temporary() {
  const char* dir = std::getenv("TMPDIR");
  const std::string base = dir && *dir ? dir : "/tmp";
  std::string name = base + "/lumora-cube-XXXXXX";
  const int fd = ::mkstemp(name.data());
  if (fd < 0)
    throw RuntimeError("cannot create a temporary file in '" + base + "' for the cube: " + std::strerror(errno));
  ::unlink(name.c_str());
  return fd;
}

void write_all(int fd, const void* data, size_t n, const std::string& path) {
  const auto* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t done = ::write(fd, p, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0)
      throw RuntimeError("cannot write the temporary copy of the cube in '" + path + "': " + std::strerror(errno) +
                         " (is the temporary folder full? set TMPDIR to a larger one)");
    p += done;
    n -= static_cast<size_t>(done);
  }
}

// The statistics a cube is normalised by, gathered piece by piece: mean and
// variance merged in double precision (Chan et al.), minimum and maximum.
struct Statistics {
  int64_t count = 0, bad = 0;
  double mean = 0, m2 = 0;
  float low = std::numeric_limits<float>::infinity(), high = -std::numeric_limits<float>::infinity();

  void add(const torch::Tensor& values) {
    const int64_t n = values.numel();
    if (n == 0) return;
    bad += n - torch::isfinite(values).sum().item<int64_t>();
    low = std::min(low, values.min().item<float>());
    high = std::max(high, values.max().item<float>());
    const torch::Tensor wide = values.to(torch::kFloat64);
    const double piece_mean = wide.mean().item<double>();
    const double piece_m2 = (wide - piece_mean).square().sum().item<double>();
    const double total = static_cast<double>(count + n);
    const double delta = piece_mean - mean;
    mean += delta * static_cast<double>(n) / total;
    m2 += piece_m2 + delta * delta * static_cast<double>(count) * static_cast<double>(n) / total;
    count += n;
  }

  CubeScale scale(bool min_max, const std::string& path) const {
    check_bad_values(bad, path);
    if (count == 0) throw ValueError("the cube in '" + path + "' holds no values");
    CubeScale s;
    if (min_max) {
      s.offset = low;
      s.spread = high - low;
    } else {
      s.offset = static_cast<float>(mean);
      s.spread = static_cast<float>(std::sqrt(m2 / static_cast<double>(count)));
    }
    if (!std::isfinite(s.offset) || !std::isfinite(s.spread)) fail_too_large(std::max(-low, high), path);
    return s;
  }
};

}  // namespace

SpilledCube::SpilledCube(const std::string& data_path, bool min_max, const std::optional<std::string>& data_key)
    : path_(data_path) {
  const MatFile file(data_path);
  const std::string key = cube_variable(file, data_key);
  const std::vector<int64_t> dims = stored_cube_dims(file, key);
  height_ = dims[0], width_ = dims[1], bands_ = dims[2];
  fd_ = unlinked_temporary();
  try {
    Statistics stats;
    file.stream(key, "cube", kPieceValues, [&](const NdArray& piece) {
      const torch::Tensor values = piece.to_float32().contiguous();
      stats.add(values);
      write_all(fd_, values.data_ptr<float>(), static_cast<size_t>(values.numel()) * sizeof(float), data_path);
    });
    scale_ = stats.scale(min_max, data_path);
  } catch (...) {
    ::close(fd_);
    throw;
  }
}

SpilledCube::~SpilledCube() {
  if (fd_ >= 0) ::close(fd_);
}

void SpilledCube::read_at(int64_t value_offset, float* out, int64_t count) const {
  auto* p = reinterpret_cast<char*>(out);
  size_t left = static_cast<size_t>(count) * sizeof(float);
  auto offset = static_cast<off_t>(value_offset * static_cast<int64_t>(sizeof(float)));
  while (left > 0) {
    const ssize_t done = ::pread(fd_, p, left, offset);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0)
      throw RuntimeError("cannot read back the temporary copy of the cube in '" + path_ + "': " +
                         (done < 0 ? std::strerror(errno) : "it ended early"));
    p += done;
    offset += done;
    left -= static_cast<size_t>(done);
  }
}

torch::Tensor SpilledCube::window(int64_t y0, int64_t y1, int64_t x0, int64_t x1) const {
  if (y0 < 0 || y1 > height_ || y0 > y1 || x0 < 0 || x1 > width_ || x0 > x1)
    throw ValueError("window rows [" + std::to_string(y0) + ", " + std::to_string(y1) + ") x columns [" +
                     std::to_string(x0) + ", " + std::to_string(x1) + ") lies outside the " +
                     std::to_string(height_) + " x " + std::to_string(width_) + " cube of '" + path_ + "'");
  const int64_t h = y1 - y0, w = x1 - x0;
  // Stored order: the rows of one column of one band lie together.
  torch::Tensor columns = torch::empty({bands_, w, h}, torch::kFloat32);
  float* out = columns.data_ptr<float>();
  for (int64_t c = 0; c < bands_; ++c) {
    const int64_t band_start = c * width_ * height_;
    if (h == height_) {
      read_at(band_start + x0 * height_, out + c * w * h, w * h);
      continue;
    }
    for (int64_t x = x0; x < x1; ++x) read_at(band_start + x * height_ + y0, out + (c * w + (x - x0)) * h, h);
  }
  torch::Tensor window = columns.permute({0, 2, 1}).contiguous();
  scale_.apply(window);
  return window;
}

torch::Tensor SpilledCube::band_planes(const std::vector<int64_t>& which) const {
  std::vector<torch::Tensor> planes;
  for (int64_t c : which) {
    if (c < 0 || c >= bands_)
      throw ValueError("band " + std::to_string(c) + " is outside the " + std::to_string(bands_) +
                       " bands of the cube in '" + path_ + "'");
    torch::Tensor plane = torch::empty({width_, height_}, torch::kFloat32);
    read_at(c * width_ * height_, plane.data_ptr<float>(), width_ * height_);
    planes.push_back(plane.t());
  }
  torch::Tensor out = torch::stack(planes).contiguous();
  scale_.apply(out);
  return out;
}

}  // namespace lumora
