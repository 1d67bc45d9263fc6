// How a scalar is typed when its kind matters: null, boolean, integer, float
// or text. Only plain untagged scalars are typed; every other scalar is text.
// Also renders a value as the "<found>" part of an invalid-type message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace kavro::documents::detail {

struct NullScalar {};

// Alternatives: null, boolean, non-negative integer, negative integer, float,
// text (a view of the scalar's own text).
using TypedScalar =
    std::variant<NullScalar, bool, std::uint64_t, std::int64_t, double, std::string_view>;

TypedScalar type_scalar(std::string_view text, bool plain);

bool is_null_text(std::string_view text);

// "unit value", "boolean `true`", "integer `5`", "floating point `2.0`",
// "string \"x\"".
std::string describe_found(const TypedScalar& value);

// Shortest round-trip digits, always positional, with at least one decimal
// place ("2.0", "0.0001", "100000000000000000000.0"); "inf", "-inf", "NaN".
std::string float_text(double value);

// The text in double quotes. Escaped: the quote, the backslash, \n \r \t \0
// and every other C0 or C1 control character and DEL as \u{hex}.
std::string quoted_text(std::string_view text);

}  // namespace kavro::documents::detail
