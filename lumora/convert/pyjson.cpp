#include "lumora/convert/pyjson.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "lumora/core/format.h"

namespace lumora::convert {
namespace {

using json = nlohmann::ordered_json;

// Decodes `bytes` into code points; an invalid or truncated sequence yields
// U+FFFD for its first byte and decoding resumes at the next one.
std::vector<uint32_t> code_points(const std::string& bytes) {
  std::vector<uint32_t> out;
  out.reserve(bytes.size());
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char b = s[i];
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    int len = 0;
    uint32_t cp = 0, min = 0;
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2, cp = b & 0x1F, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3, cp = b & 0x0F, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4, cp = b & 0x07, min = 0x10000;
    }
    bool ok = len > 0 && i + len <= n;
    for (int k = 1; ok && k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80) ok = false;
      else cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    if (!ok) {
      out.push_back(0xFFFD);
      ++i;
    } else {
      out.push_back(cp);
      i += len;
    }
  }
  return out;
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void append_u(std::string& out, uint32_t unit) {
  char buf[16];  // a backslash, "u" and up to eight hex digits
  std::snprintf(buf, sizeof buf, "\\u%04x", unit);
  out += buf;
}

std::string real_text(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "Infinity" : "-Infinity";
  return py_float(v);
}

void dump(const json& v, int indent, int level, std::string& out) {
  const std::string inner(static_cast<size_t>(indent) * (level + 1), ' ');
  const std::string outer(static_cast<size_t>(indent) * level, ' ');
  switch (v.type()) {
    case json::value_t::object: {
      if (v.empty()) {
        out += "{}";
        return;
      }
      out += "{\n";
      bool first = true;
      for (auto it = v.begin(); it != v.end(); ++it) {
        if (!first) out += ",\n";
        first = false;
        out += inner + python_json_string(it.key()) + ": ";
        dump(it.value(), indent, level + 1, out);
      }
      out += "\n" + outer + "}";
      return;
    }
    case json::value_t::array: {
      if (v.empty()) {
        out += "[]";
        return;
      }
      out += "[\n";
      bool first = true;
      for (const auto& item : v) {
        if (!first) out += ",\n";
        first = false;
        out += inner;
        dump(item, indent, level + 1, out);
      }
      out += "\n" + outer + "]";
      return;
    }
    case json::value_t::string: out += python_json_string(v.get_ref<const std::string&>()); return;
    case json::value_t::boolean: out += v.get<bool>() ? "true" : "false"; return;
    case json::value_t::number_integer: out += std::to_string(v.get<int64_t>()); return;
    case json::value_t::number_unsigned: out += std::to_string(v.get<uint64_t>()); return;
    case json::value_t::number_float: out += real_text(v.get<double>()); return;
    case json::value_t::null:
    case json::value_t::discarded: out += "null"; return;
    case json::value_t::binary: {
      // Not produced by the loaders; written as its text like any value without a JSON form.
      std::string text;
      for (auto b : v.get_binary()) text += static_cast<char>(b);
      out += python_json_string(text);
      return;
    }
  }
}

}  // namespace

std::string utf8_replace_invalid(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (uint32_t cp : code_points(bytes)) append_utf8(out, cp);
  return out;
}

std::string python_json_string(const std::string& text) {
  std::string out = "\"";
  for (uint32_t cp : code_points(text)) {
    switch (cp) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\b': out += "\\b"; continue;
      case '\f': out += "\\f"; continue;
      default: break;
    }
    if (cp < 0x20 || cp > 0x7E) {
      if (cp >= 0x10000) {
        const uint32_t v = cp - 0x10000;
        append_u(out, 0xD800 | (v >> 10));
        append_u(out, 0xDC00 | (v & 0x3FF));
      } else {
        append_u(out, cp);
      }
    } else {
      out += static_cast<char>(cp);
    }
  }
  return out + "\"";
}

std::string python_json_dump(const json& value, int indent) {
  std::string out;
  dump(value, indent, 0, out);
  return out;
}

}  // namespace lumora::convert
