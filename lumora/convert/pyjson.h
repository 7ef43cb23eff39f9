// JSON text laid out the way Python's json.dump(obj, f, indent=2) writes it:
// one member or element per line, two spaces per level, ": " after keys,
// "," ending every item but the last, empty containers as {} and [],
// every non-ASCII character as \uXXXX (surrogate pairs above U+FFFF),
// reals in Python's shortest repr and non-finite reals as NaN, Infinity,
// -Infinity. Text that is not valid UTF-8 has its bad bytes replaced by
// U+FFFD, as Python's decoders do with errors="replace".
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace lumora::convert {

std::string python_json_dump(const nlohmann::ordered_json& value, int indent = 2);

// `text` as a JSON string literal with Python's ensure_ascii escaping.
std::string python_json_string(const std::string& text);

// Decodes UTF-8 with invalid sequences replaced by U+FFFD, re-encoded as UTF-8.
std::string utf8_replace_invalid(const std::string& bytes);

}  // namespace lumora::convert
