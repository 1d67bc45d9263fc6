// RowInput: one request laid out as a row of ValueViews, one per field slot,
// as the evaluator reads it. Batch callers fill many rows in one block.
#pragma once

#include <cstdint>

#include "evaluation/value_view.h"

namespace kavro {

struct RowInput {
  const ValueView* values;
  const ValueView& at(std::uint32_t slot) const { return values[slot]; }
};

}  // namespace kavro
