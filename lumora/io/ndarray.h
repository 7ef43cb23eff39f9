// A typed n-d array as the file readers hand it over: any numeric element
// type (also those LibTorch lacks, such as uint16), any strides, memory kept
// alive by whoever produced it (matio, GDAL, HDF5 buffers) without a copy.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <torch/types.h>

namespace lumora {

enum class DType { Float64, Float32, Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64, Bool };

// numpy's name of the element type ("float64", "uint16", "bool").
std::string dtype_name(DType dtype);
size_t dtype_size(DType dtype);

struct NdArray {
  DType dtype = DType::Float64;
  std::vector<int64_t> shape;
  std::vector<int64_t> strides;  // in elements
  std::shared_ptr<void> owner;   // keeps `data` alive
  void* data = nullptr;

  // A row-major array that owns fresh zeroed memory.
  static NdArray zeros(DType dtype, std::vector<int64_t> shape);
  // A row-major copy of a tensor of any LibTorch-supported numeric type.
  static NdArray from_tensor(const torch::Tensor& tensor);

  int64_t ndim() const { return static_cast<int64_t>(shape.size()); }
  int64_t numel() const;
  // The elements as a tensor of the same byte size (the real type when
  // LibTorch has it, a same-width integer otherwise) sharing this memory.
  torch::Tensor raw() const;
  // Value conversions as numpy's astype does them.
  torch::Tensor to_float32() const;
  torch::Tensor to_float64() const;
  torch::Tensor to_int64() const;
  // This array with its elements laid out row-major (copies unless already so).
  NdArray contiguous() const;
};

std::vector<int64_t> row_major_strides(const std::vector<int64_t>& shape);

}  // namespace lumora
