#include "lumora/core/elapsed.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include <fmt/format.h>

namespace lumora {

double wall_time() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string format_elapsed(double seconds) {
  const auto secs = static_cast<int64_t>(std::trunc(seconds));
  const int64_t h = secs / 3600, rest = secs % 3600, m = rest / 60, s = rest % 60;
  if (h > 0) return fmt::format("{}h {}m {}s", h, m, s);
  if (m > 0) return fmt::format("{}m {}s", m, s);
  return fmt::format("{}s", s);
}

std::string elapsed_since(double start) { return format_elapsed(wall_time() - start); }

std::string clock_text(double seconds) {
  const auto total = static_cast<int64_t>(std::max(0.0, seconds));
  const int64_t h = total / 3600, m = (total % 3600) / 60, s = total % 60;
  return h > 0 ? fmt::format("{}:{:02d}:{:02d}", h, m, s) : fmt::format("{:02d}:{:02d}", m, s);
}

}  // namespace lumora
