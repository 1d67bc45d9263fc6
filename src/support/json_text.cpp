#include "support/json_text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

namespace kavro {

namespace {

void append_escape(std::string& out, unsigned char byte) {
  switch (byte) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\b':
      out += "\\b";
      return;
    case '\f':
      out += "\\f";
      return;
    default:
      break;
  }
  constexpr char kHex[] = "0123456789abcdef";
  const char escape[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
  out.append(escape, sizeof escape);
}

}  // namespace

namespace detail {

void append_json_escaped(std::string& out, std::string_view utf8, std::size_t clean) {
  out.append(utf8.data(), clean);
  std::size_t start = clean;
  for (std::size_t i = clean; i < utf8.size(); ++i) {
    const auto byte = static_cast<unsigned char>(utf8[i]);
    if (!kJsonEscaped[byte]) continue;
    out.append(utf8.data() + start, i - start);
    append_escape(out, byte);
    start = i + 1;
  }
  out.append(utf8.data() + start, utf8.size() - start);
}

}  // namespace detail

void append_json_float(std::string& out, double number) {
  if (std::isnan(number)) {
    out += "NaN";
    return;
  }
  if (std::isinf(number)) {
    out += number > 0 ? "Infinity" : "-Infinity";
    return;
  }
  // Whole numbers below 10^16 read as Python writes them, digits and ".0";
  // the shortest-form search costs several times more.
  if (number == std::trunc(number) && std::fabs(number) < 1e16 &&
      !(number == 0 && std::signbit(number))) {
    append_json_integer(out, static_cast<std::int64_t>(number));
    out += ".0";
    return;
  }
  std::array<char, 32> digits{};
  const auto written = std::to_chars(digits.data(), digits.data() + digits.size(), number);
  const std::string_view text(digits.data(), static_cast<std::size_t>(written.ptr - digits.data()));
  out += text;
  // The shortest form of an integral float has neither point nor exponent:
  // without one it would read back as an integer.
  if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
}

void append_json_integer(std::string& out, std::int64_t number) {
  std::array<char, 24> digits;
  const auto written = std::to_chars(digits.data(), digits.data() + digits.size(), number);
  out.append(digits.data(), static_cast<std::size_t>(written.ptr - digits.data()));
}

}  // namespace kavro
