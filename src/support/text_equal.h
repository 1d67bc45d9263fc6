// Equality of two texts, inline: the texts the engine compares (field values
// against literals, action names) are mostly short, and a call to memcmp
// costs more than comparing them outright.
#pragma once

#include <cstring>
#include <string_view>

#include "support/text_hash.h"

namespace kavro {

inline bool text_equal(std::string_view left, std::string_view right) {
  if (left.size() != right.size()) return false;
  // With the length, the edges determine every byte of a text of at most 16.
  if (left.size() <= 16) return text_edges(left) == text_edges(right);
  return std::memcmp(left.data(), right.data(), left.size()) == 0;
}

}  // namespace kavro
