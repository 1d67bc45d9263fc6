// JSON text appended to a string, as the standard Python encoder writes it
// with ensure_ascii off: texts raw in UTF-8 but for the quote, the backslash
// and control characters; numbers that read back to the same value and type
// (a float always looks like one; NaN and the infinities as the Python reader
// takes them). Never fails; the caller gives valid UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kavro {

void append_json_text(std::string& out, std::string_view utf8);
void append_json_float(std::string& out, double number);
void append_json_integer(std::string& out, std::int64_t number);

}  // namespace kavro
