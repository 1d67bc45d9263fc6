// Column typing: which columns of an Arrow schema feed which input fields of
// a compiled policy, and how each column's values become RuntimeValues.
//
// A table carries the request either as three struct columns `action`,
// `actor` and `snapshot`, or as flat columns named `action.<field>` (and so
// on); both may be mixed. Every field column of the three domains is typed,
// read by the policy or not, so that a table evaluate would reject fails
// before any row is decided. Columns outside the three domains are ignored.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "columnar/arrow_abi.h"
#include "columnar/columnar_error.h"
#include "evaluation/field_slots.h"
#include "support/result.h"

namespace kavro::columnar {

// The physical layout of a column's values (or of a dictionary's indices).
enum class Layout : std::uint8_t {
  Null,  // every row is null: the field is absent throughout
  Boolean,
  Int8,
  Int16,
  Int32,
  Int64,
  UInt8,
  UInt16,
  UInt32,
  UInt64,
  Float16,
  Float32,
  Float64,
  Utf8,
  LargeUtf8,
  Utf8View,
};

struct ColumnBinding {
  // Position of the column among the top-level columns.
  std::int64_t top = 0;
  // Position inside the struct column `top`; -1 for a flat column.
  std::int64_t child = -1;
  std::uint32_t slot = kNoSlot;
  Layout layout = Layout::Null;
  // Dictionary-encoded text: `layout` is the indices' integer layout and
  // `dictionary_layout` the text layout of the dictionary.
  bool dictionary = false;
  Layout dictionary_layout = Layout::Null;
};

// The columns that carry fields the policy reads, in schema order (a later
// column of the same field overrides an earlier one in each row).
struct ColumnPlan {
  std::vector<ColumnBinding> columns;
};

// Types the columns of `schema`, which must be a struct (a table or record
// batch). Fails with UnsupportedType naming the first column of another type.
Result<ColumnPlan, ColumnarError> plan_columns(const ArrowSchema& schema, const FieldSlots& slots);

}  // namespace kavro::columnar
