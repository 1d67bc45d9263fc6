// The hash and the equality by which a sequence's equality index files a
// (key, value) pair: built into its table from documents, probed with request
// values on every evaluation, so they are inline and cheap.
#pragma once

#include <bit>
#include <cstdint>

#include "evaluation/value_view.h"
#include "support/text_equal.h"
#include "support/text_hash.h"

namespace kavro::evaluation::detail {

// 0.0 and -0.0 are equal numbers, so they must share a key.
inline double normalised(double number) {
  return number + 0.0;
}

// `value` is present, and normalised when it is a number.
inline std::uint64_t value_hash(std::size_t key, const ValueView& value) {
  std::uint64_t base = 0;
  switch (value.kind) {
    case ValueKind::String:
      base = text_hash(value.text);
      break;
    case ValueKind::Number:
      base = std::bit_cast<std::uint64_t>(value.number);
      break;
    case ValueKind::Boolean:
    case ValueKind::Absent:
      base = value.boolean ? 1 : 0;
      break;
  }
  const std::uint64_t tag = key * 4 + static_cast<std::uint64_t>(value.kind) + 1;
  // Keyed: literal numbers come from documents. One folded product mixes
  // every bit of the value into the low bits that pick a cell.
  const HashKey& secret = hash_key();
  return hash_detail::folded_product(base ^ secret[0], secret[1] + 0x9e3779b97f4a7c15ULL * tag);
}

// Same kind and equal by the Equals rule of that kind (values normalised).
inline bool same_value(const ValueView& left, const ValueView& right) {
  if (left.kind != right.kind) return false;
  switch (left.kind) {
    case ValueKind::String:
      return text_equal(left.text, right.text);
    case ValueKind::Number:
      return left.number == right.number;
    case ValueKind::Boolean:
    case ValueKind::Absent:
      return left.boolean == right.boolean;
  }
  return false;
}

}  // namespace kavro::evaluation::detail
