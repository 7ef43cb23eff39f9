#include "lumora/io/ndarray.h"

#include <cstring>

#include "lumora/core/errors.h"

namespace lumora {
namespace {

// The LibTorch type that carries an element of `dtype` bit for bit.
torch::ScalarType carrier(DType dtype) {
  switch (dtype) {
    case DType::Float64: return torch::kFloat64;
    case DType::Float32: return torch::kFloat32;
    case DType::Int8: return torch::kInt8;
    case DType::UInt8: return torch::kUInt8;
    case DType::Int16:
    case DType::UInt16: return torch::kInt16;
    case DType::Int32:
    case DType::UInt32: return torch::kInt32;
    case DType::Int64:
    case DType::UInt64: return torch::kInt64;
    case DType::Bool: return torch::kBool;
  }
  throw ValueError("unknown element type");
}

// Exact values of the unsigned types that have no LibTorch type, widened.
torch::Tensor unsigned_values(const torch::Tensor& raw, DType dtype) {
  switch (dtype) {
    case DType::UInt16: return raw.to(torch::kInt32).bitwise_and(0xFFFF);
    case DType::UInt32: return raw.to(torch::kInt64).bitwise_and(static_cast<int64_t>(0xFFFFFFFF));
    default: return raw;
  }
}

}  // namespace

std::string dtype_name(DType dtype) {
  switch (dtype) {
    case DType::Float64: return "float64";
    case DType::Float32: return "float32";
    case DType::Int8: return "int8";
    case DType::UInt8: return "uint8";
    case DType::Int16: return "int16";
    case DType::UInt16: return "uint16";
    case DType::Int32: return "int32";
    case DType::UInt32: return "uint32";
    case DType::Int64: return "int64";
    case DType::UInt64: return "uint64";
    case DType::Bool: return "bool";
  }
  return "?";
}

size_t dtype_size(DType dtype) { return torch::elementSize(carrier(dtype)); }

std::vector<int64_t> row_major_strides(const std::vector<int64_t>& shape) {
  std::vector<int64_t> strides(shape.size(), 1);
  for (int64_t i = static_cast<int64_t>(shape.size()) - 2; i >= 0; --i)
    strides[i] = strides[i + 1] * std::max<int64_t>(shape[i + 1], 1);
  return strides;
}

int64_t NdArray::numel() const {
  int64_t n = 1;
  for (auto d : shape) n *= d;
  return n;
}

NdArray NdArray::zeros(DType dtype, std::vector<int64_t> shape) {
  NdArray a;
  a.dtype = dtype;
  a.shape = std::move(shape);
  a.strides = row_major_strides(a.shape);
  const size_t bytes = static_cast<size_t>(std::max<int64_t>(a.numel(), 1)) * dtype_size(dtype);
  std::shared_ptr<uint8_t[]> buffer(new uint8_t[bytes]());
  a.data = buffer.get();
  a.owner = std::shared_ptr<void>(buffer, buffer.get());
  return a;
}

NdArray NdArray::from_tensor(const torch::Tensor& tensor) {
  static const std::vector<std::pair<torch::ScalarType, DType>> kTypes = {
      {torch::kFloat64, DType::Float64}, {torch::kFloat32, DType::Float32}, {torch::kInt8, DType::Int8},
      {torch::kUInt8, DType::UInt8},     {torch::kInt16, DType::Int16},     {torch::kInt32, DType::Int32},
      {torch::kInt64, DType::Int64},     {torch::kBool, DType::Bool}};
  for (const auto& [scalar, dtype] : kTypes) {
    if (tensor.scalar_type() != scalar) continue;
    auto copy = tensor.detach().to(torch::kCPU).contiguous().clone();
    NdArray a;
    a.dtype = dtype;
    a.shape = copy.sizes().vec();
    a.strides = row_major_strides(a.shape);
    a.data = copy.data_ptr();
    a.owner = std::make_shared<torch::Tensor>(copy);
    return a;
  }
  throw TypeError(std::string("unsupported tensor type ") + c10::toString(tensor.scalar_type()));
}

torch::Tensor NdArray::raw() const {
  auto keep = owner;
  return torch::from_blob(data, shape, strides, [keep](void*) {}, torch::TensorOptions().dtype(carrier(dtype)));
}

torch::Tensor NdArray::to_float32() const {
  if (dtype == DType::UInt64) return to_float64().to(torch::kFloat32);
  return unsigned_values(raw(), dtype).to(torch::kFloat32);
}

torch::Tensor NdArray::to_float64() const {
  if (dtype == DType::UInt64) {
    // Values at or above 2^63 read as negative int64: add 2^64 back.
    auto v = raw().to(torch::kFloat64);
    return torch::where(v < 0, v + 18446744073709551616.0, v);
  }
  return unsigned_values(raw(), dtype).to(torch::kFloat64);
}

torch::Tensor NdArray::to_int64() const { return unsigned_values(raw(), dtype).to(torch::kInt64); }

NdArray NdArray::contiguous() const {
  if (strides == row_major_strides(shape)) return *this;
  auto copy = raw().contiguous();
  NdArray a = *this;
  a.strides = row_major_strides(shape);
  a.data = copy.data_ptr();
  a.owner = std::make_shared<torch::Tensor>(copy);
  return a;
}

}  // namespace lumora
