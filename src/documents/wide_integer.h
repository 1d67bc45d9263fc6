// Unsigned integers written wider than 64 bits, as a `version` may be: the
// u32 rule recognises an integer by its text, whatever its size, and names it
// in decimal when it is out of range. Pure functions; they never fail.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kavro {

// The decimal spelling of `text` when it is a plain unsigned integer (an
// optional plus, then decimal digits without a leading zero, or 0x, 0o or 0b
// and digits of that base), or nullopt. Numbers too long to convert cheaply
// (more than kWideIntegerBits significant bits behind a base prefix) are
// spelled as written, less the plus sign.
std::optional<std::string> unsigned_integer_decimal(std::string_view text);

inline constexpr std::size_t kWideIntegerBits = 1 << 16;

}  // namespace kavro
