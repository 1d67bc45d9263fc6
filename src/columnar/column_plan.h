// Column typing: which columns of an Arrow schema feed which input fields of
// a compiled policy, and how each column's values become RuntimeValues.
//
// A table carries each part of the request either as a struct column
// (`action`, `actor`, `snapshot`) or as flat columns named `action.<field>`
// (and so on); parts may differ in form, one part may not use both. A column
// the policy reads is typed before any row is decided, so that a table
// evaluate would reject fails first; one it does not read is not typed, but
// it must name a field the schema declares and a column that looks like a
// request part without being one (`Action`, `action_amount`) is refused, so
// that a misnamed column cannot make every row fall through to allow. Other
// columns are ignored.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "columnar/arrow_abi.h"
#include "columnar/columnar_error.h"
#include "evaluation/field_slots.h"
#include "support/result.h"

namespace kavro::columnar {

// What the caller says about columns the policy does not read.
struct ColumnRules {
  // Whether the schema declares `field` for the domain; asked only of
  // columns the policy does not read. Empty: every field counts as declared.
  std::function<bool(documents::Domain domain, std::string_view field)> declared;
  // Ignore columns that look like request parts or name undeclared fields,
  // and take a table without request columns as one of empty requests,
  // instead of refusing the table.
  bool ignore_unknown_columns = false;
  // How rows are decided: the way measured cheaper on the data (see
  // path_choice.h), or always one way, for tests and benchmarks (the
  // decisions are the same): grouped by action with every rule sequence
  // deciding by columns, or by rows, or each row alone as evaluate does.
  enum class Way : std::uint8_t { Measured, Columns, GroupedRows, Rows };
  Way way = Way::Measured;
};

}  // namespace kavro::columnar

namespace kavro::columnar::detail {

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
  // Decimals of 32 to 256 bits, read as float() of the value (see `scale`).
  Decimal32,
  Decimal64,
  Decimal128,
  Decimal256,
};

struct ColumnBinding {
  // Position of the column among the top-level columns.
  std::int64_t top = 0;
  // Position inside the struct column `top`; -1 for a flat column.
  std::int64_t child = -1;
  std::uint32_t slot = compiler::kNoSlot;
  Layout layout = Layout::Null;
  // Dictionary-encoded text: `layout` is the indices' integer layout and
  // `dictionary_layout` the text layout of the dictionary.
  bool dictionary = false;
  Layout dictionary_layout = Layout::Null;
  // A decimal column's value is its integer times ten to the power -scale.
  std::int32_t scale = 0;
  // As messages name it: `action.amount` for both forms.
  std::string name = {};
};

// The columns that carry fields the policy reads, in schema order (a later
// column of the same field overrides an earlier one in each row).
struct ColumnPlan {
  std::vector<ColumnBinding> columns;
};

// Plans the columns of `schema`, which must be a struct (a table or record
// batch). Fails with UnsupportedType naming the first read column of another
// type, with UnknownColumn for a table without request columns, with a part
// in both forms or with a column `rules` refuse, and with MalformedData for
// a schema whose child pointers are null.
Result<ColumnPlan, ColumnarError> plan_columns(const ArrowSchema& schema,
                                               const evaluation::FieldSlots& slots,
                                               const ColumnRules& rules = {});

}  // namespace kavro::columnar::detail
