#include "columnar/chunk_columns.h"

#include <algorithm>

namespace kavro::columnar::detail {

ChunkColumns::ChunkColumns(std::uint32_t slots)
    : storage_(slots), columns_(slots, nullptr), decoded_(slots) {}

void ChunkColumns::start(std::int64_t first, std::int64_t count) {
  first_ = first;
  count_ = std::min(count, kRows);
  for (RowBits& bits : decoded_) bits.clear();
}

Result<Unit, ColumnarError> ChunkColumns::ensure(const BatchReader& reader, std::uint32_t slot,
                                                 const RowBits& rows) {
  if (storage_[slot] == nullptr) {
    // Value-initialised: absent.
    storage_[slot] = std::make_unique<evaluation::ValueView[]>(static_cast<std::size_t>(kRows));
    columns_[slot] = storage_[slot].get();
  }
  evaluation::ValueView* out = storage_[slot].get();
  RowBits& done = decoded_[slot];
  for (std::int64_t word = 0; word * 64 < count_; ++word) {
    const std::uint64_t want = rows.word(word) & ~done.word(word);
    if (want == 0) continue;
    const std::int64_t count = std::min<std::int64_t>(64, count_ - word * 64);
    auto read = reader.read_slot(slot, first_ + word * 64, count, want, out + word * 64);
    if (!read) return read;
    done.add_word(word, want);
  }
  return Unit{};
}

}  // namespace kavro::columnar::detail
