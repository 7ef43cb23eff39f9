// Element-type-generic operations on NdArray that the converter needs:
// reshaping views, windows, value ranges, distinct values, JSON lists.
// They work on any layout (strides) and on every element type, including
// the unsigned ones LibTorch lacks, without widening copies of the cube.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "lumora/io/ndarray.h"

namespace lumora::convert {

// Calls f(T{}) with the C++ element type of `dtype`.
template <class F>
decltype(auto) visit_dtype(DType dtype, F&& f) {
  switch (dtype) {
    case DType::Float64: return f(double{});
    case DType::Float32: return f(float{});
    case DType::Int8: return f(int8_t{});
    case DType::UInt8: return f(uint8_t{});
    case DType::Int16: return f(int16_t{});
    case DType::UInt16: return f(uint16_t{});
    case DType::Int32: return f(int32_t{});
    case DType::UInt32: return f(uint32_t{});
    case DType::Int64: return f(int64_t{});
    case DType::UInt64: return f(uint64_t{});
    case DType::Bool: return f(bool{});
  }
  return f(double{});
}

int64_t nbytes(const NdArray& a);

// The same elements without the length-1 axes (a view).
NdArray squeeze(const NdArray& a);

// Axes reordered (a view): result axis i is input axis perm[i].
NdArray transpose(const NdArray& a, const std::vector<int64_t>& perm);

// Rows [y0, y1) and columns [x0, x1) of the first two axes, the bounds
// clamped to the array's extent as slicing does (a view).
NdArray window(const NdArray& a, int64_t y0, int64_t y1, int64_t x0, int64_t x1);

// Smallest and largest element; both NaN when a real array holds a NaN.
struct ValueRange {
  double min = 0.0, max = 0.0;
};
ValueRange value_range(const NdArray& a);

// The distinct values in ascending order with their counts (NaN last, as one value).
struct ValueCount {
  std::string text;  // as Python prints the value: 3, 2.5, True
  bool zero = false;
  int64_t count = 0;
};
std::vector<ValueCount> value_counts(const NdArray& a);

// Nested lists of the elements (a scalar for a 0-d array), row-major.
nlohmann::ordered_json to_json(const NdArray& a);

// Calls fn(element) for every element, in memory order (fastest axis innermost).
template <class T, class Fn>
void for_each_element(const NdArray& a, Fn&& fn) {
  const int64_t nd = a.ndim();
  if (a.numel() == 0) return;
  std::vector<int64_t> axes;  // the axes by descending stride: innermost last
  for (int64_t i = 0; i < nd; ++i)
    if (a.shape[i] > 1) axes.push_back(i);
  std::sort(axes.begin(), axes.end(), [&](int64_t x, int64_t y) { return std::abs(a.strides[x]) > std::abs(a.strides[y]); });
  const T* base = static_cast<const T*>(a.data);
  if (axes.empty()) {
    fn(base[0]);
    return;
  }
  const int64_t inner = axes.back();
  const int64_t n_inner = a.shape[inner], s_inner = a.strides[inner];
  axes.pop_back();
  std::vector<int64_t> idx(axes.size(), 0);
  while (true) {
    const T* p = base;
    for (size_t k = 0; k < axes.size(); ++k) p += idx[k] * a.strides[axes[k]];
    if (s_inner == 1) {
      for (int64_t j = 0; j < n_inner; ++j) fn(p[j]);
    } else {
      for (int64_t j = 0; j < n_inner; ++j) fn(p[j * s_inner]);
    }
    int64_t k = static_cast<int64_t>(axes.size()) - 1;
    for (; k >= 0; --k) {
      if (++idx[k] < a.shape[axes[k]]) break;
      idx[k] = 0;
    }
    if (k < 0) break;
  }
}

}  // namespace lumora::convert
