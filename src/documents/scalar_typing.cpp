#include "documents/scalar_typing.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <system_error>

namespace kavro::documents::detail {
namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_sign(char c) {
  return c == '+' || c == '-';
}

std::optional<std::uint64_t> digits_value(std::string_view digits, unsigned base) {
  if (digits.empty()) return std::nullopt;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (char c : digits) {
    unsigned digit = 0;
    if (is_digit(c)) {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a') + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A') + 10;
    } else {
      return std::nullopt;
    }
    if (digit >= base || value > (kMax - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  return value;
}

// Decimal digits with a leading zero (0123, -007) are text, not numbers.
bool is_leading_zero_digits(std::string_view text) {
  if (!text.empty() && is_sign(text.front())) text.remove_prefix(1);
  if (text.size() < 2 || text.front() != '0') return false;
  for (char c : text.substr(1)) {
    if (!is_digit(c)) return false;
  }
  return true;
}

std::optional<TypedScalar> type_integer(std::string_view text) {
  std::string_view body = text;
  bool negative = false;
  if (!body.empty() && is_sign(body.front())) {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  if (body.size() >= 2 && body[0] == '0' && (body[1] == 'x' || body[1] == 'o' || body[1] == 'b')) {
    // Only a plus sign may precede a base prefix.
    if (negative) return std::nullopt;
    const unsigned base = body[1] == 'x' ? 16 : body[1] == 'o' ? 8 : 2;
    const auto value = digits_value(body.substr(2), base);
    if (!value) return std::nullopt;
    return TypedScalar(*value);
  }
  if (is_leading_zero_digits(body)) return std::nullopt;
  const auto value = digits_value(body, 10);
  if (!value) return std::nullopt;
  if (!negative || *value == 0) return TypedScalar(*value);
  constexpr std::uint64_t kMostNegative = std::uint64_t{1} << 63;
  if (*value > kMostNegative) return std::nullopt;
  return TypedScalar(static_cast<std::int64_t>(0 - *value));
}

struct DecimalParts {
  std::string_view integer_digits;
  std::string_view fraction_digits;
  std::int64_t exponent = 0;  // saturated far beyond the range of a double
};

std::size_t count_digits(std::string_view text, std::size_t from) {
  std::size_t end = from;
  while (end < text.size() && is_digit(text[end])) ++end;
  return end - from;
}

// [sign] (digits [. [digits]] | . digits) [(e|E) [sign] digits]
std::optional<DecimalParts> split_decimal(std::string_view text) {
  DecimalParts parts;
  std::size_t at = 0;
  if (at < text.size() && is_sign(text[at])) ++at;
  const std::size_t integer_count = count_digits(text, at);
  parts.integer_digits = text.substr(at, integer_count);
  at += integer_count;
  if (at < text.size() && text[at] == '.') {
    ++at;
    const std::size_t fraction_count = count_digits(text, at);
    parts.fraction_digits = text.substr(at, fraction_count);
    at += fraction_count;
  }
  if (parts.integer_digits.empty() && parts.fraction_digits.empty()) return std::nullopt;
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    bool negative = false;
    if (at < text.size() && is_sign(text[at])) negative = text[at++] == '-';
    const std::size_t exponent_count = count_digits(text, at);
    if (exponent_count == 0) return std::nullopt;
    constexpr std::int64_t kSaturated = std::int64_t{1} << 40;
    for (char c : text.substr(at, exponent_count)) {
      if (parts.exponent < kSaturated) parts.exponent = parts.exponent * 10 + (c - '0');
    }
    if (negative) parts.exponent = -parts.exponent;
    at += exponent_count;
  }
  if (at != text.size()) return std::nullopt;
  return parts;
}

// Whether a number that the conversion found out of range is too small
// (its first significant digit lies right of the decimal point).
bool is_below_one(const DecimalParts& parts) {
  const auto first = parts.integer_digits.find_first_not_of('0');
  if (first != std::string_view::npos) {
    const auto places = static_cast<std::int64_t>(parts.integer_digits.size() - first - 1);
    return places + parts.exponent < 0;
  }
  const auto first_fraction = parts.fraction_digits.find_first_not_of('0');
  return -static_cast<std::int64_t>(first_fraction + 1) + parts.exponent < 0;
}

std::optional<double> type_float(std::string_view text) {
  std::string_view unsigned_part = text;
  if (!unsigned_part.empty() && unsigned_part.front() == '+') unsigned_part.remove_prefix(1);
  if (unsigned_part == ".inf" || unsigned_part == ".Inf" || unsigned_part == ".INF") {
    return std::numeric_limits<double>::infinity();
  }
  if (text == "-.inf" || text == "-.Inf" || text == "-.INF") {
    return -std::numeric_limits<double>::infinity();
  }
  if (text == ".nan" || text == ".NaN" || text == ".NAN") {
    return std::numeric_limits<double>::quiet_NaN();
  }
  if (is_leading_zero_digits(text)) return std::nullopt;
  const auto parts = split_decimal(text);
  if (!parts) return std::nullopt;
  // The conversion does not take a leading plus sign.
  std::string_view digits = text.front() == '+' ? text.substr(1) : text;
  double value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error == std::errc::result_out_of_range) {
    if (!is_below_one(*parts)) return std::nullopt;
    return text.front() == '-' ? -0.0 : 0.0;
  }
  if (error != std::errc() || end != digits.data() + digits.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

bool is_null_text(std::string_view text) {
  return text.empty() || text == "~" || text == "null" || text == "Null" || text == "NULL";
}

TypedScalar type_scalar(std::string_view text, bool plain) {
  if (!plain) return text;
  if (is_null_text(text)) return NullScalar{};
  if (text == "true" || text == "True" || text == "TRUE") return true;
  if (text == "false" || text == "False" || text == "FALSE") return false;
  if (auto integer = type_integer(text)) return *integer;
  if (auto number = type_float(text)) return *number;
  return text;
}

std::string float_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // Shortest round-trip digits in scientific form, then laid out positionally.
  char buffer[64];
  const auto written =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  const std::string_view scientific(buffer, static_cast<std::size_t>(written.ptr - buffer));
  const std::size_t e = scientific.find('e');
  std::string_view mantissa = scientific.substr(0, e);
  std::string text;
  if (mantissa.front() == '-') {
    text += '-';
    mantissa.remove_prefix(1);
  }
  std::string digits;
  for (char c : mantissa) {
    if (c != '.') digits += c;
  }
  int exponent = 0;
  const std::string_view exponent_text = scientific.substr(e + 1);
  std::from_chars(exponent_text.data() + (exponent_text.front() == '+' ? 1 : 0),
                  exponent_text.data() + exponent_text.size(), exponent);
  const long point = static_cast<long>(exponent) + 1;  // digits left of the point
  const long count = static_cast<long>(digits.size());
  if (point <= 0) {
    text += "0.";
    text.append(static_cast<std::size_t>(-point), '0');
    text += digits;
  } else if (point >= count) {
    text += digits;
    text.append(static_cast<std::size_t>(point - count), '0');
    text += ".0";
  } else {
    text += std::string_view(digits).substr(0, static_cast<std::size_t>(point));
    text += '.';
    text += std::string_view(digits).substr(static_cast<std::size_t>(point));
  }
  return text;
}

std::string quoted_text(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  const auto append_code = [](std::string& out, unsigned code) {
    out += "\\u{";
    if (code >= 16) out += kHex[code >> 4];
    out += kHex[code & 15];
    out += '}';
  };
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    switch (byte) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\0':
        out += "\\0";
        continue;
      default:
        break;
    }
    if (byte < 0x20 || byte == 0x7f) {
      append_code(out, byte);
    } else if (byte == 0xc2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      // C1 control characters, encoded as C2 80 to C2 9F.
      append_code(out, static_cast<unsigned char>(text[++i]));
    } else {
      out += static_cast<char>(byte);
    }
  }
  out += '"';
  return out;
}

std::string describe_found(const TypedScalar& value) {
  struct Describe {
    std::string operator()(NullScalar) const { return "unit value"; }
    std::string operator()(bool b) const { return b ? "boolean `true`" : "boolean `false`"; }
    std::string operator()(std::uint64_t n) const { return "integer `" + std::to_string(n) + "`"; }
    std::string operator()(std::int64_t n) const { return "integer `" + std::to_string(n) + "`"; }
    std::string operator()(double x) const { return "floating point `" + float_text(x) + "`"; }
    std::string operator()(std::string_view s) const { return "string " + quoted_text(s); }
  };
  return std::visit(Describe{}, value);
}

}  // namespace kavro::documents::detail
