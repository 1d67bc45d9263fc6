// Reads the planned columns of one record batch into rows of ValueViews, the
// evaluator's input. Text values view the batch's own buffers: a block of
// rows is valid only while the batch is.
//
// Pure reading: no allocation per row, no Python. Work follows the values
// present, not rows times columns: validity is taken a block of rows at a
// time and only rows holding a value are written (and later cleared).
// Bounds of every buffer a row touches are checked when the batch is bound
// or the value is read, so a malformed batch fails with MalformedData rather
// than reading stray memory.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "columnar/arrow_abi.h"
#include "columnar/column_plan.h"
#include "columnar/columnar_error.h"
#include "evaluation/value_view.h"
#include "support/result.h"

namespace kavro::columnar::detail {

// One row of a RowBlock as the evaluator reads it: its values lie a column
// of the block apart. 32 rows keep a block of a few dozen slots (32 bytes a
// value) inside the first-level data cache between its read and its rows'
// evaluation; 64 rows would not fit, and the evaluator's reads would miss.
struct BlockRow {
  static constexpr std::int64_t kStride = 32;
  const evaluation::ValueView* values;  // the row's value of slot 0
  const evaluation::ValueView& at(std::uint32_t slot) const {
    return values[std::size_t{slot} * kStride];
  }
};

// Up to kRows rows of field values, a column of kRows values per slot (so a
// column is written front to back), and which rows of each slot may hold a
// value (so that a new read clears only those). Starts absent; reuse one
// block for every batch of a plan.
class RowBlock {
 public:
  static constexpr std::int64_t kRows = BlockRow::kStride;

  explicit RowBlock(std::uint32_t slots);

  BlockRow row(std::int64_t index) const { return {values_.data() + index}; }

 private:
  friend class BatchReader;

  std::vector<evaluation::ValueView> values_;
  // Per slot, bit r set when row r may hold a value.
  std::vector<std::uint64_t> filled_;
  // Per slot, the kind that every filled row holds (with the members of
  // other kinds zero), or Absent when rows may differ: a column of that kind
  // then rewrites only its values' own members.
  std::vector<evaluation::ValueKind> kinds_;
};

// A word whose low `count` bits are set (0 < count <= 64).
inline std::uint64_t low_bits(std::int64_t count) {
  return count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
}

// A bitmap (validity, or a boolean column's values) read up to 64 rows at a time.
struct Bitmap {
  // Null: every bit is set.
  const std::uint8_t* bits = nullptr;
  // The bit of logical row 0, and the bytes the buffer must hold.
  std::int64_t offset = 0;
  std::int64_t bytes = 0;

  // Bits of logical rows [first, first + count) as the low bits of a word,
  // 0 < count <= 64; all set when there is no bitmap.
  std::uint64_t word(std::int64_t first, std::int64_t count) const {
    const std::uint64_t mask = low_bits(count);
    if (bits == nullptr) return mask;
    const std::int64_t start = offset + first;
    const std::int64_t first_byte = start >> 3;
    const int shift = static_cast<int>(start & 7);
    std::uint64_t low;
    std::uint64_t high = 0;
    if (first_byte + 9 <= bytes) {
      std::memcpy(&low, bits + first_byte, sizeof low);
      high = bits[first_byte + 8];
    } else {
      low = tail(first_byte, ((start + count - 1) >> 3) - first_byte + 1, high);
    }
    std::uint64_t word = low >> shift;
    if (shift != 0) word |= high << (64 - shift);
    return word & mask;
  }

 private:
  // The word at `first_byte` near the buffer's end, reading only the `count`
  // bytes (at most nine) that hold the bits; the ninth goes to `high`.
  std::uint64_t tail(std::int64_t first_byte, std::int64_t count, std::uint64_t& high) const;
};

struct BoundColumn;
// Decodes a column's values for the rows set in a block; false when one lay
// out of its array's bounds. `whole`: write whole views, else only the
// members of the column's kind (the rows already hold that kind).
using DecodeRows = bool (*)(const BoundColumn& column, bool whole, std::uint64_t rows,
                            std::int64_t first, std::int64_t count, evaluation::ValueView* out);

// One planned column resolved against one batch: buffers and row offsets.
struct BoundColumn {
  std::uint32_t slot = compiler::kNoSlot;
  Layout layout = Layout::Null;
  // The enclosing struct column's position among the top-level columns
  // (-1: a flat column) and its validity.
  std::int64_t parent = -1;
  Bitmap parent_validity;
  Bitmap validity;
  // Logical row r sits at physical index r + offset of the column's buffers.
  std::int64_t offset = 0;
  const ArrowArray* array = nullptr;
  // Dictionary-encoded text: the dictionary and its text layout.
  const ArrowArray* dictionary = nullptr;
  Layout dictionary_layout = Layout::Null;
  // A decimal column's scale.
  std::int32_t scale = 0;
  // The column's name in messages (the plan's, which outlives the reader).
  const std::string* name = nullptr;
  // The first column of its field writes every row, absent ones too; later
  // columns of the same field write only their values.
  bool writes_absent = true;
  // Null in every row of the batch (or its struct is): nothing to read.
  bool all_null = false;
  // The kind of every value, when this column alone feeds its slot and has
  // no null dictionary entries to write as absent; Absent otherwise.
  evaluation::ValueKind kind = evaluation::ValueKind::Absent;
  // Chosen for the layout when the batch is bound.
  DecodeRows decode = nullptr;
};

class BatchReader {
 public:
  // `batch` must be a struct array of the schema `plan` was made from.
  static Result<BatchReader, ColumnarError> bind(const ColumnPlan& plan, const ArrowArray& batch);

  std::int64_t rows() const { return rows_; }

  // Fills rows [first, first + count) into the block's first `count` rows,
  // count <= RowBlock::kRows; slots no column feeds stay absent.
  Result<Unit, ColumnarError> read(std::int64_t first, std::int64_t count, RowBlock& block) const;

  // Writes one slot's value of each row set in `want` among the rows
  // [first, first + count), count <= 64, into out[row - first]: absent where
  // no column of the slot holds one. Other rows of `out` are left alone.
  Result<Unit, ColumnarError> read_slot(std::uint32_t slot, std::int64_t first, std::int64_t count,
                                        std::uint64_t want, evaluation::ValueView* out) const;

  // Reads every value of rows [first, first + count) of each text or
  // dictionary column (whose bounds are checked as values are read), so that
  // a malformed value fails whichever rows and slots are read afterwards.
  Result<Unit, ColumnarError> check_values(std::int64_t first, std::int64_t count) const;

  // The one column that feeds `slot`, when exactly one does; else null.
  const BoundColumn* sole_column(std::uint32_t slot) const {
    if (slot >= by_slot_.size() || by_slot_[slot].size() != 1) return nullptr;
    return &columns_[by_slot_[slot].front()];
  }
  // The batch's own validity (a row it marks null has no values at all).
  const Bitmap& validity() const { return validity_; }

 private:
  std::int64_t rows_ = 0;
  Bitmap validity_;
  std::vector<BoundColumn> columns_;
  // Per slot, its columns' positions in columns_, in schema order.
  std::vector<std::vector<std::uint32_t>> by_slot_;
};

}  // namespace kavro::columnar::detail
