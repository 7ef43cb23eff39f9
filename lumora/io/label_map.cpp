#include "lumora/io/label_map.h"

#include <cmath>

#include "lumora/core/errors.h"
#include "lumora/core/format.h"

namespace lumora {
namespace {

// A value as the message shows it: whole numbers in full, others as Python prints them.
std::string value_text(double v) {
  if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 9.2e18) return std::to_string(static_cast<int64_t>(v));
  return py_float(v);
}

}  // namespace

void check_label_map(const NdArray& labels, const std::string& path, const std::string& variable) {
  if (labels.numel() == 0) return;
  const std::string subject =
      variable.empty() ? "the label map in '" + path + "'" : "the label map '" + variable + "' in '" + path + "'";
  auto too_large = [&](const std::string& value) {
    return ValueError(subject + " holds the class id " + value + "; class ids above " + std::to_string(kMaxClassId) +
                      " are not supported");
  };

  switch (labels.dtype) {
    case DType::Bool:
    case DType::UInt8:
    case DType::UInt16: return;  // every value is in range
    case DType::Float32:
    case DType::Float64: {
      const torch::Tensor v = labels.to_float64();
      const torch::Tensor bad = torch::isfinite(v).logical_not();
      if (const int64_t n = bad.sum().item<int64_t>())
        throw ValueError(subject + " holds " + thousands(n) + (n == 1 ? " value that is" : " values that are") +
                         " not finite (the first is " + py_float(v.masked_select(bad)[0].item<double>()) +
                         "); labels must be finite class ids, at most " + std::to_string(kMaxClassId));
      const double hi = v.max().item<double>();
      if (std::trunc(hi) > static_cast<double>(kMaxClassId)) throw too_large(value_text(hi));
      return;
    }
    case DType::UInt64: {
      // Values of 2^63 and more read as negative through the int64 carrier.
      const torch::Tensor raw = labels.raw();
      const torch::Tensor wrapped = raw.lt(0);
      if (wrapped.any().item<bool>())
        throw too_large(std::to_string(static_cast<uint64_t>(raw.masked_select(wrapped).max().item<int64_t>())));
      const int64_t hi = raw.max().item<int64_t>();
      if (hi > kMaxClassId) throw too_large(std::to_string(hi));
      return;
    }
    default: {
      const int64_t hi = labels.to_int64().max().item<int64_t>();
      if (hi > kMaxClassId) throw too_large(std::to_string(hi));
      return;
    }
  }
}

}  // namespace lumora
