// Which code points quoted text writes as \u{..}: grapheme-extending ones and
// those of the control, format, surrogate, private-use, unassigned and
// separator categories (the ASCII space excepted). Pinned to one Unicode
// version so that the policy hash is the same on every machine.
#pragma once

#include <string_view>

namespace kavro::compiler::detail {

bool needs_unicode_escape(char32_t code_point);

// The Unicode version the table was generated from.
std::string_view unicode_escape_version();

}  // namespace kavro::compiler::detail
