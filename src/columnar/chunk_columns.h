// The values of a chunk of rows laid out column by column, one run of views
// per slot, decoded from a batch on demand: a slot is read only for the rows
// that something will look at, and each row of it only once per chunk.
// Views point into the batch: a chunk is valid only while its batch is.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "columnar/column_reader.h"
#include "columnar/columnar_error.h"
#include "evaluation/value_view.h"
#include "support/result.h"

namespace kavro::columnar::detail {

// One row of a chunk as the evaluator reads it (an Input of evaluator.h).
struct ChunkRow {
  const evaluation::ValueView* const* columns;
  std::uint32_t row;
  const evaluation::ValueView& at(std::uint32_t slot) const { return columns[slot][row]; }
};

// A set of a chunk's rows, one bit each.
class RowBits {
 public:
  static constexpr std::int64_t kWords = 16;
  void clear() { words_.fill(0); }
  void set(std::span<const std::uint32_t> rows) {
    for (const std::uint32_t row : rows) words_[row >> 6] |= std::uint64_t{1} << (row & 63);
  }
  void add_word(std::int64_t index, std::uint64_t bits) {
    words_[static_cast<std::size_t>(index)] |= bits;
  }
  std::uint64_t word(std::int64_t index) const { return words_[static_cast<std::size_t>(index)]; }

 private:
  std::array<std::uint64_t, kWords> words_{};
};

class ChunkColumns {
 public:
  static constexpr std::int64_t kRows = RowBits::kWords * 64;

  explicit ChunkColumns(std::uint32_t slots);

  // A new chunk, rows [first, first + count) of the batch: nothing decoded.
  void start(std::int64_t first, std::int64_t count);
  std::int64_t rows() const { return count_; }
  // The batch's logical row of the chunk's row 0.
  std::int64_t first() const { return first_; }

  // Decodes `slot` for the rows of `rows` not decoded yet in this chunk.
  Result<Unit, ColumnarError> ensure(const BatchReader& reader, std::uint32_t slot,
                                     const RowBits& rows);

  const evaluation::ValueView* column(std::uint32_t slot) const { return columns_[slot]; }
  ChunkRow row(std::uint32_t row) const { return {columns_.data(), row}; }

 private:
  std::int64_t first_ = 0;
  std::int64_t count_ = 0;
  // Per slot, kRows views (made on a slot's first use), and which rows of
  // this chunk hold their slot's value.
  std::vector<std::unique_ptr<evaluation::ValueView[]>> storage_;
  std::vector<const evaluation::ValueView*> columns_;
  std::vector<RowBits> decoded_;
};

}  // namespace kavro::columnar::detail
