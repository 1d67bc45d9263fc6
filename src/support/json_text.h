// JSON text appended to a string, as the standard Python encoder writes it
// with ensure_ascii off: texts raw in UTF-8 but for the quote, the backslash
// and control characters; numbers that read back to the same value and type
// (a float always looks like one; NaN and the infinities as the Python reader
// takes them). Never fails; the caller gives valid UTF-8.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace kavro {

namespace detail {
// Which bytes need an escape: the quote, the backslash and the controls.
inline constexpr std::array<bool, 256> kJsonEscaped = [] {
  std::array<bool, 256> table{};
  for (int byte = 0; byte < 0x20; ++byte) table[byte] = true;
  table['"'] = true;
  table['\\'] = true;
  return table;
}();
// The text from its first byte to escape, `clean` bytes in.
void append_json_escaped(std::string& out, std::string_view utf8, std::size_t clean);
}  // namespace detail

// Inline: most texts are short and need no escape, and a line holds dozens.
inline void append_json_text(std::string& out, std::string_view utf8) {
  std::size_t clean = 0;
  while (clean < utf8.size() && !detail::kJsonEscaped[static_cast<unsigned char>(utf8[clean])]) {
    ++clean;
  }
  out += '"';
  if (clean == utf8.size()) {
    out.append(utf8.data(), clean);
  } else {
    detail::append_json_escaped(out, utf8, clean);
  }
  out += '"';
}
void append_json_float(std::string& out, double number);
void append_json_integer(std::string& out, std::int64_t number);

}  // namespace kavro
