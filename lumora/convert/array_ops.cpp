#include "lumora/convert/array_ops.h"

#include <cmath>
#include <limits>
#include <map>
#include <type_traits>

#include "lumora/core/errors.h"
#include "lumora/core/format.h"

namespace lumora::convert {

int64_t nbytes(const NdArray& a) { return a.numel() * static_cast<int64_t>(dtype_size(a.dtype)); }

NdArray squeeze(const NdArray& a) {
  NdArray out = a;
  out.shape.clear();
  out.strides.clear();
  for (int64_t i = 0; i < a.ndim(); ++i) {
    if (a.shape[i] == 1) continue;
    out.shape.push_back(a.shape[i]);
    out.strides.push_back(a.strides[i]);
  }
  return out;
}

NdArray transpose(const NdArray& a, const std::vector<int64_t>& perm) {
  if (static_cast<int64_t>(perm.size()) != a.ndim()) throw ValueError("transpose: axis count mismatch");
  NdArray out = a;
  for (size_t i = 0; i < perm.size(); ++i) {
    out.shape[i] = a.shape[perm[i]];
    out.strides[i] = a.strides[perm[i]];
  }
  return out;
}

NdArray window(const NdArray& a, int64_t y0, int64_t y1, int64_t x0, int64_t x1) {
  if (a.ndim() < 2) throw ValueError("cannot cut a window from a " + std::to_string(a.ndim()) + "-D array");
  auto clamp = [](int64_t v, int64_t n) { return std::max<int64_t>(0, std::min(v, n)); };
  y0 = clamp(y0, a.shape[0]);
  y1 = std::max(y0, clamp(y1, a.shape[0]));
  x0 = clamp(x0, a.shape[1]);
  x1 = std::max(x0, clamp(x1, a.shape[1]));
  NdArray out = a;
  out.shape[0] = y1 - y0;
  out.shape[1] = x1 - x0;
  const int64_t offset = (y0 * a.strides[0] + x0 * a.strides[1]) * static_cast<int64_t>(dtype_size(a.dtype));
  out.data = static_cast<uint8_t*>(a.data) + offset;
  return out;
}

ValueRange value_range(const NdArray& a) {
  if (a.numel() == 0) throw ValueError("zero-size array has no minimum or maximum");
  return visit_dtype(a.dtype, [&](auto tag) {
    using T = decltype(tag);
    T lo = static_cast<const T*>(a.data)[0], hi = lo;
    bool nan = false;
    for_each_element<T>(a, [&](T v) {
      if constexpr (std::is_floating_point_v<T>) {
        if (v != v) {
          nan = true;
          return;
        }
        if (lo != lo) lo = hi = v;  // the first element was a NaN
      }
      if (v < lo) lo = v;
      if (hi < v) hi = v;
    });
    if (nan) return ValueRange{std::nan(""), std::nan("")};
    return ValueRange{static_cast<double>(lo), static_cast<double>(hi)};
  });
}

std::vector<ValueCount> value_counts(const NdArray& a) {
  return visit_dtype(a.dtype, [&](auto tag) {
    using T = decltype(tag);
    std::map<T, int64_t> counts;
    int64_t nans = 0;
    for_each_element<T>(a, [&](T v) {
      if constexpr (std::is_floating_point_v<T>) {
        if (v != v) {
          ++nans;
          return;
        }
      }
      ++counts[v];
    });
    std::vector<ValueCount> out;
    for (const auto& [v, n] : counts) {
      ValueCount c;
      if constexpr (std::is_same_v<T, bool>) {
        c.text = v ? "True" : "False";
      } else if constexpr (std::is_floating_point_v<T>) {
        c.text = py_float(static_cast<double>(v));
      } else {
        c.text = std::to_string(v);
      }
      c.zero = v == T(0);
      c.count = n;
      out.push_back(c);
    }
    if (nans) out.push_back({"nan", false, nans});
    return out;
  });
}

namespace {

template <class T>
nlohmann::ordered_json element_json(T v) {
  if constexpr (std::is_same_v<T, bool>) {
    return nlohmann::ordered_json(v);
  } else if constexpr (std::is_floating_point_v<T>) {
    return nlohmann::ordered_json(static_cast<double>(v));
  } else if constexpr (std::is_signed_v<T>) {
    return nlohmann::ordered_json(static_cast<int64_t>(v));
  } else {
    return nlohmann::ordered_json(static_cast<uint64_t>(v));
  }
}

template <class T>
nlohmann::ordered_json nested(const NdArray& a, int64_t axis, const T* p) {
  if (axis == a.ndim()) return element_json(*p);
  auto list = nlohmann::ordered_json::array();
  for (int64_t i = 0; i < a.shape[axis]; ++i) list.push_back(nested<T>(a, axis + 1, p + i * a.strides[axis]));
  return list;
}

}  // namespace

nlohmann::ordered_json to_json(const NdArray& a) {
  return visit_dtype(a.dtype, [&](auto tag) {
    using T = decltype(tag);
    return nested<T>(a, 0, static_cast<const T*>(a.data));
  });
}

}  // namespace lumora::convert
