// Number and text formatting that matches what Python prints.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumora {

// Python's repr of a float: shortest round-trip digits, "2.0", "0.0001",
// "1e-05", "1e+16", "inf", "nan".
std::string py_float(double value);

// Thousands separator as Python's "{:,}": 1234567 -> "1,234,567".
std::string thousands(int64_t value);

// Python's repr of a list of texts: ['a', 'b'].
std::string py_list(const std::vector<std::string>& items);

// Python's repr of a text: single quotes unless the text holds one.
std::string py_repr(const std::string& text);

// C's "%.{precision}g", as Python's "%" operator prints it.
std::string general(double value, int precision);

// How a shape is written: Tuple as Python prints a tuple ("(145, 145, 200)",
// "(95,)", "()"), TorchSize as PyTorch prints a tensor's size
// ("torch.Size([3, 4])"), Cross as the library's own messages ("3x4").
enum class ShapeStyle { Tuple, TorchSize, Cross };
std::string shape_text(const std::vector<int64_t>& shape, ShapeStyle style = ShapeStyle::Tuple);

}  // namespace lumora
