#include "lumora/core/format.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace lumora {

std::string py_float(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  if (value == 0.0) return std::signbit(value) ? "-0.0" : "0.0";

  // Shortest round-trip digits in scientific form: "d.ddde+XX".
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string sci(buf, res.ptr);
  std::string sign;
  if (sci[0] == '-') {
    sign = "-";
    sci.erase(0, 1);
  }
  const auto e_pos = sci.find('e');
  std::string digits = sci.substr(0, e_pos);
  digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
  const int exp = std::atoi(sci.c_str() + e_pos + 1);
  const int n = static_cast<int>(digits.size());

  std::string out;
  if (exp >= -4 && exp < 16) {  // where Python switches to exponents
    if (exp >= n - 1) {
      out = digits + std::string(exp - (n - 1), '0') + ".0";
    } else if (exp >= 0) {
      out = digits.substr(0, exp + 1) + "." + digits.substr(exp + 1);
    } else {
      out = "0." + std::string(-exp - 1, '0') + digits;
    }
  } else {
    out = digits.substr(0, 1);
    if (n > 1) out += "." + digits.substr(1);
    char ebuf[16];
    std::snprintf(ebuf, sizeof ebuf, "e%c%02d", exp < 0 ? '-' : '+', std::abs(exp));
    out += ebuf;
  }
  return sign + out;
}

std::string thousands(int64_t value) {
  const bool negative = value < 0;
  std::string digits = std::to_string(value);
  if (negative) digits.erase(0, 1);
  std::string out;
  const int n = static_cast<int>(digits.size());
  for (int i = 0; i < n; ++i) {
    if (i > 0 && (n - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return negative ? "-" + out : out;
}

std::string py_repr(const std::string& text) {
  const bool has_single = text.find('\'') != std::string::npos;
  const bool has_double = text.find('"') != std::string::npos;
  const char quote = (has_single && !has_double) ? '"' : '\'';
  std::string out(1, quote);
  for (char ch : text) {
    if (ch == '\\' || ch == quote) {
      out += '\\';
      out += ch;
    } else if (ch == '\n') {
      out += "\\n";
    } else if (ch == '\r') {
      out += "\\r";
    } else if (ch == '\t') {
      out += "\\t";
    } else {
      out += ch;
    }
  }
  out += quote;
  return out;
}

std::string py_list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += ", ";
    out += py_repr(items[i]);
  }
  return out + "]";
}

std::string general(double value, int precision) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*g", precision, value);
  return buf;
}

std::string shape_text(const std::vector<int64_t>& shape, ShapeStyle style) {
  std::string out;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (i) out += style == ShapeStyle::Cross ? "x" : ", ";
    out += std::to_string(shape[i]);
  }
  switch (style) {
    case ShapeStyle::Tuple:
      return "(" + out + (shape.size() == 1 ? ",)" : ")");
    case ShapeStyle::TorchSize:
      return "torch.Size([" + out + "])";
    case ShapeStyle::Cross:
      break;
  }
  return out;
}

}  // namespace lumora
