// A comparison of a slot with a literal made straight on the Arrow buffers of
// the one column that feeds the slot, for the layouts tables mostly carry
// (64- and 32-bit numbers, booleans, text with offsets), without making a
// view of each value: the same answer as evaluation::check_holds on the view
// the reader would make.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

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

// Whether compare_in_buffers reads `slot` of this batch.
bool readable_in_buffers(const BatchReader& reader, std::uint32_t slot);

// Writes the rows of `rows` (rows of the chunk that starts at the batch's
// logical row `first`) on which the literal `check` holds, from `out` on,
// and returns how many; nullopt when the slot's column cannot be read this
// way. The batch's text values must have passed check_values.
std::optional<std::uint32_t> compare_in_buffers(const BatchReader& reader,
                                                const evaluation::detail::Check& check,
                                                std::int64_t first,
                                                std::span<const std::uint32_t> rows,
                                                std::uint32_t* out);

}  // namespace kavro::columnar::detail
