// Work split over LibTorch's intra-op thread count from code that is not
// compiled with OpenMP (at::parallel_for would run serially there: its
// OpenMP body is compiled into the caller, and this project is not built
// with -fopenmp, so that it never brings a second OpenMP runtime next to the
// one LibTorch ships).
#pragma once

#include <cstdint>
#include <functional>

namespace lumora {

// Runs fn over [0, count) in contiguous parts, one per thread, each at least
// `grain` long; serially inside another parallel region. The first error
// thrown is rethrown once all parts have ended.
void parallel_ranges(int64_t count, int64_t grain, const std::function<void(int64_t, int64_t)>& fn);

}  // namespace lumora
