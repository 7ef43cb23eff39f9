#include "lumora/core/parallel.h"

#include <ATen/Parallel.h>

#include <algorithm>
#include <exception>
#include <thread>
#include <vector>

namespace lumora {

void parallel_ranges(int64_t count, int64_t grain, const std::function<void(int64_t, int64_t)>& fn) {
  if (count <= 0) return;
  const int64_t least = std::max<int64_t>(grain, 1);
  int64_t threads = at::in_parallel_region() ? 1 : at::get_num_threads();
  threads = std::max<int64_t>(1, std::min(threads, (count + least - 1) / least));
  if (threads == 1) {
    fn(0, count);
    return;
  }
  const int64_t chunk = (count + threads - 1) / threads;
  std::vector<std::exception_ptr> errors(static_cast<size_t>(threads));
  auto run = [&](int64_t t) {
    try {
      fn(t * chunk, std::min(count, (t + 1) * chunk));
    } catch (...) {
      errors[static_cast<size_t>(t)] = std::current_exception();
    }
  };
  std::vector<std::thread> pool;
  for (int64_t t = 1; t < threads; ++t) pool.emplace_back(run, t);
  run(0);
  for (auto& th : pool) th.join();
  for (const auto& e : errors)
    if (e) std::rethrow_exception(e);
}

}  // namespace lumora
