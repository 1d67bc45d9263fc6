// The texts of the record readers' messages, shared by direct and trial
// reading. Location and position are added by the caller.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace kavro {

// "invalid type: <found>, expected <expected>"
std::string invalid_type(std::string_view found, std::string_view expected);
// "invalid value: integer `<n>`, expected <expected>"
std::string invalid_integer_value(std::string_view integer, std::string_view expected);
// "unknown variant `<text>`, expected one of `a`, `b`, `c`"; every named value
// has three or more spellings (the readers assert it), so the shorter forms of
// this message never arise and are not written.
std::string unknown_variant(std::string_view text, std::span<const std::string_view> spellings);
std::string missing_field(std::string_view key);
std::string duplicate_field(std::string_view key);
// "invalid length <n>, expected struct <Record> with <k> elements"
std::string invalid_length(std::size_t length, std::string_view record, std::size_t fields);
std::string no_matching_variant(std::string_view choice);

}  // namespace kavro
