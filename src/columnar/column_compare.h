// A slot's values read straight from the Arrow buffers of the one column
// that feeds it, for the layouts tables mostly carry (64- and 32-bit numbers,
// booleans, text with offsets), without making a view of each value: the
// same values the reader's views would hold.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "columnar/column_reader.h"
#include "evaluation/rule_checks.h"

namespace kavro::columnar::detail {

// The outcome bits of comparing a number with a literal, as check_holds
// computes them (NaN compares unordered; -0 equals +0).
inline unsigned number_outcome(double value, double literal) {
  const unsigned less = value < literal;
  const unsigned equal = value == literal;
  const unsigned greater = value > literal;
  const unsigned unordered = (less | equal | greater) ^ 1U;
  return less | equal << 1 | greater << 2 | unordered << 3;
}

// Writes the value of `slot` in each of `rows` (rows of the chunk that starts
// at the batch's logical row `first`) by position: its kind (absent for a
// null), its number (a boolean's 0 or 1) and, with `texts`, its text. False,
// writing nothing, when the slot's column cannot be read this way; the
// caller then reads views. The batch's text values must have passed
// check_values.
bool gather_in_buffers(const BatchReader& reader, std::uint32_t slot, std::int64_t first,
                       std::span<const std::uint32_t> rows, evaluation::ValueKind* kinds,
                       double* numbers, std::string_view* texts);

}  // namespace kavro::columnar::detail
