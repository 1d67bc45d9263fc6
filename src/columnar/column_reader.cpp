#include "columnar/column_reader.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

namespace kavro::columnar::detail {

namespace {

bool bit(const std::uint8_t* bits, std::int64_t index) {
  return (bits[index >> 3] >> (index & 7)) & 1;
}

// Null when every value is valid; the format lets producers omit the bitmap then.
const std::uint8_t* validity_of(const ArrowArray& array) {
  if (array.null_count == 0 || array.n_buffers < 1) return nullptr;
  return static_cast<const std::uint8_t*>(array.buffers[0]);
}

ColumnarError malformed(const char* what) {
  return {ColumnarError::Kind::MalformedData, std::string("malformed Arrow data: ") + what};
}

// IEEE half precision to double; every half is exactly representable.
double half_to_double(std::uint16_t half) {
  const int exponent = (half >> 10) & 0x1F;
  const int mantissa = half & 0x3FF;
  double magnitude;
  if (exponent == 0) {
    magnitude = std::ldexp(mantissa, -24);
  } else if (exponent == 0x1F) {
    magnitude = mantissa == 0 ? std::numeric_limits<double>::infinity()
                              : std::numeric_limits<double>::quiet_NaN();
  } else {
    magnitude = std::ldexp(mantissa + 1024, exponent - 25);
  }
  return (half & 0x8000) != 0 ? -magnitude : magnitude;
}

template <class T>
T load(const void* buffer, std::int64_t index) {
  T value;
  std::memcpy(&value, static_cast<const unsigned char*>(buffer) + index * sizeof(T), sizeof(T));
  return value;
}

std::int64_t buffers_needed(Layout layout) {
  switch (layout) {
    case Layout::Null:
      return 0;
    case Layout::Utf8:
    case Layout::LargeUtf8:
    case Layout::Utf8View:
      return 3;  // views: at least one variadic-sizes buffer besides validity and views
    default:
      return 2;
  }
}

bool buffers_present(const ArrowArray& array, Layout layout) {
  const std::int64_t needed = buffers_needed(layout);
  if (array.n_buffers < needed) return false;
  if (layout == Layout::Utf8View) return array.buffers[1] != nullptr || array.length == 0;
  for (std::int64_t i = 1; i < needed; ++i) {
    if (array.buffers[i] == nullptr && array.length != 0) return false;
  }
  return true;
}

// The text at physical index `i` of a text array, bounds-checked against the
// array's own last offset (or its variadic buffer sizes).
bool read_text(const ArrowArray& array, Layout layout, std::int64_t i, std::string_view& text) {
  std::int64_t begin = 0;
  std::int64_t end = 0;
  std::int64_t limit = 0;
  if (layout == Layout::Utf8) {
    begin = load<std::int32_t>(array.buffers[1], i);
    end = load<std::int32_t>(array.buffers[1], i + 1);
    limit = load<std::int32_t>(array.buffers[1], array.offset + array.length);
  } else if (layout == Layout::LargeUtf8) {
    begin = load<std::int64_t>(array.buffers[1], i);
    end = load<std::int64_t>(array.buffers[1], i + 1);
    limit = load<std::int64_t>(array.buffers[1], array.offset + array.length);
  } else {
    const auto* view = static_cast<const unsigned char*>(array.buffers[1]) + 16 * i;
    std::int32_t length;
    std::memcpy(&length, view, 4);
    if (length < 0) return false;
    if (length <= 12) {
      text = {reinterpret_cast<const char*>(view + 4), static_cast<std::size_t>(length)};
      return true;
    }
    std::int32_t buffer;
    std::int32_t offset;
    std::memcpy(&buffer, view + 8, 4);
    std::memcpy(&offset, view + 12, 4);
    // Buffers: validity, views, the variadic data buffers, their sizes.
    const std::int64_t data_buffers = array.n_buffers - 3;
    if (buffer < 0 || buffer >= data_buffers || offset < 0) return false;
    const auto size = load<std::int64_t>(array.buffers[array.n_buffers - 1], buffer);
    if (static_cast<std::int64_t>(offset) + length > size) return false;
    text = {static_cast<const char*>(array.buffers[2 + buffer]) + offset,
            static_cast<std::size_t>(length)};
    return true;
  }
  if (begin < 0 || end < begin || end > limit) return false;
  text = {static_cast<const char*>(array.buffers[2]) + begin,
          static_cast<std::size_t>(end - begin)};
  return true;
}

std::int64_t index_at(const ArrowArray& array, Layout layout, std::int64_t i) {
  switch (layout) {
    case Layout::Int8:
      return load<std::int8_t>(array.buffers[1], i);
    case Layout::Int16:
      return load<std::int16_t>(array.buffers[1], i);
    case Layout::Int32:
      return load<std::int32_t>(array.buffers[1], i);
    case Layout::UInt8:
      return load<std::uint8_t>(array.buffers[1], i);
    case Layout::UInt16:
      return load<std::uint16_t>(array.buffers[1], i);
    case Layout::UInt32:
      return load<std::uint32_t>(array.buffers[1], i);
    case Layout::UInt64: {
      const auto index = load<std::uint64_t>(array.buffers[1], i);
      return index > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                 ? -1
                 : static_cast<std::int64_t>(index);
    }
    default:
      return load<std::int64_t>(array.buffers[1], i);
  }
}

// Readers write the value at physical index i into a row's slot (a null
// dictionary entry is absent); false when the index leads out of the array's
// bounds.
// Numbers convert as Python's float() of the same value: integers round to
// the nearest double, narrower floats widen exactly.
template <class T>
auto number_reader(const ArrowArray& array) {
  return [data = array.buffers[1]](std::int64_t i, evaluation::ValueView& value) {
    value = evaluation::ValueView::of_number(static_cast<double>(load<T>(data, i)));
    return true;
  };
}

// Text with offsets of type Offset; the array's last offset bounds every value.
template <class Offset>
auto offset_text_reader(const ArrowArray& array) {
  const void* offsets = array.buffers[1];
  const auto* data = static_cast<const char*>(array.buffers[2]);
  const std::int64_t limit = load<Offset>(offsets, array.offset + array.length);
  return [offsets, data, limit](std::int64_t i, evaluation::ValueView& value) {
    const std::int64_t begin = load<Offset>(offsets, i);
    const std::int64_t end = load<Offset>(offsets, i + 1);
    if (begin < 0 || end < begin || end > limit) return false;
    value = evaluation::ValueView::of_string({data + begin, static_cast<std::size_t>(end - begin)});
    return true;
  };
}

auto view_text_reader(const ArrowArray& array) {
  return [&array](std::int64_t i, evaluation::ValueView& value) {
    std::string_view text;
    if (!read_text(array, Layout::Utf8View, i, text)) return false;
    value = evaluation::ValueView::of_string(text);
    return true;
  };
}

// Calls fill(reader) with the reader for the column's layout, chosen once per
// column so that the row loop runs without a switch.
template <class Fill>
bool with_reader(const BoundColumn& column, Fill&& fill) {
  const ArrowArray& array = *column.array;
  if (column.dictionary != nullptr) {
    return fill([&column, &array](std::int64_t i, evaluation::ValueView& value) {
      const ArrowArray& dictionary = *column.dictionary;
      const std::int64_t key = index_at(array, column.layout, i);
      if (key < 0 || key >= dictionary.length) return false;
      const std::int64_t at = key + dictionary.offset;
      if (const std::uint8_t* valid = validity_of(dictionary);
          valid != nullptr && !bit(valid, at)) {
        // A null entry of the dictionary: absent, which only the first
        // column of a field writes.
        if (column.writes_absent) value = evaluation::ValueView{};
        return true;
      }
      std::string_view text;
      if (!read_text(dictionary, column.dictionary_layout, at, text)) return false;
      value = evaluation::ValueView::of_string(text);
      return true;
    });
  }
  switch (column.layout) {
    case Layout::Boolean:
      return fill([bits = static_cast<const std::uint8_t*>(array.buffers[1])](
                      std::int64_t i, evaluation::ValueView& value) {
        value = evaluation::ValueView::of_boolean(bit(bits, i));
        return true;
      });
    case Layout::Int8:
      return fill(number_reader<std::int8_t>(array));
    case Layout::Int16:
      return fill(number_reader<std::int16_t>(array));
    case Layout::Int32:
      return fill(number_reader<std::int32_t>(array));
    case Layout::Int64:
      return fill(number_reader<std::int64_t>(array));
    case Layout::UInt8:
      return fill(number_reader<std::uint8_t>(array));
    case Layout::UInt16:
      return fill(number_reader<std::uint16_t>(array));
    case Layout::UInt32:
      return fill(number_reader<std::uint32_t>(array));
    case Layout::UInt64:
      return fill(number_reader<std::uint64_t>(array));
    case Layout::Float16:
      return fill([data = array.buffers[1]](std::int64_t i, evaluation::ValueView& value) {
        value = evaluation::ValueView::of_number(half_to_double(load<std::uint16_t>(data, i)));
        return true;
      });
    case Layout::Float32:
      return fill(number_reader<float>(array));
    case Layout::Float64:
      return fill(number_reader<double>(array));
    case Layout::Utf8:
      return fill(offset_text_reader<std::int32_t>(array));
    case Layout::LargeUtf8:
      return fill(offset_text_reader<std::int64_t>(array));
    case Layout::Utf8View:
      return fill(view_text_reader(array));
    case Layout::Null:
      break;
  }
  return true;
}

std::uint64_t low_bits(std::int64_t count) {
  return count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
}

// Bits [start, start + count) of a bitmap as the low bits of a word
// (0 < count <= 64), reading only the bytes that hold them.
std::uint64_t bits_at(const std::uint8_t* bits, std::int64_t start, std::int64_t count) {
  const std::int64_t first_byte = start >> 3;
  const auto bytes = static_cast<std::size_t>(((start + count - 1) >> 3) - first_byte + 1);
  unsigned char window[16] = {};
  std::memcpy(window, bits + first_byte, bytes);
  std::uint64_t low;
  std::memcpy(&low, window, sizeof low);
  const int shift = static_cast<int>(start & 7);
  std::uint64_t word = low >> shift;
  if (shift != 0) word |= static_cast<std::uint64_t>(window[8]) << (64 - shift);
  return word & low_bits(count);
}

// Reads the value of each row set in `rows` (physical index base + row)
// into out[row]. A full block takes the plain loop.
template <class Reader>
bool scatter(const Reader& reader, std::uint64_t rows, std::int64_t count, std::int64_t base,
             evaluation::ValueView* out) {
  if (rows == low_bits(count)) {
    for (std::int64_t row = 0; row < count; ++row) {
      if (!reader(base + row, out[row])) return false;
    }
    return true;
  }
  for (; rows != 0; rows &= rows - 1) {
    const int row = std::countr_zero(rows);
    if (!reader(base + row, out[row])) return false;
  }
  return true;
}

// Null count equal to the length: the producer says every slot is null.
bool every_slot_null(const ArrowArray& array) {
  return array.length > 0 && array.null_count == array.length;
}

// Whether `array` covers the logical rows [first, first + rows) it is asked for.
bool covers(const ArrowArray& array, std::int64_t first, std::int64_t rows) {
  return array.length >= 0 && array.offset >= 0 && first >= 0 && first + rows <= array.length;
}

}  // namespace

RowBlock::RowBlock(std::uint32_t slots)
    :  // Value-initialised: absent.
      values_(static_cast<std::size_t>(kRows) * std::max<std::uint32_t>(slots, 1)),
      filled_(std::max<std::uint32_t>(slots, 1), 0) {}

Result<BatchReader, ColumnarError> BatchReader::bind(const ColumnPlan& plan,
                                                     const ArrowArray& batch) {
  BatchReader reader;
  if (batch.length < 0 || batch.offset < 0 || batch.n_children < 0) {
    return fail(malformed("negative length or offset"));
  }
  reader.rows_ = batch.length;
  reader.top_validity_ = validity_of(batch);
  reader.top_offset_ = batch.offset;
  for (const ColumnBinding& planned : plan.columns) {
    if (planned.top >= batch.n_children) return fail(malformed("fewer columns than the schema"));
    const ArrowArray& top = *batch.children[planned.top];
    if (!covers(top, batch.offset, batch.length)) return fail(malformed("column too short"));
    BoundColumn column{planned.slot, planned.layout};
    const ArrowArray* array = &top;
    std::int64_t offset = batch.offset + top.offset;
    if (planned.child >= 0) {
      if (planned.child >= top.n_children) return fail(malformed("struct lacks a field"));
      column.parent_validity = validity_of(top);
      column.parent_offset = offset;
      array = top.children[planned.child];
      if (!covers(*array, offset, batch.length)) return fail(malformed("field too short"));
      offset += array->offset;
    }
    column.array = array;
    column.offset = offset;
    column.validity = validity_of(*array);
    if (!buffers_present(*array, planned.layout)) return fail(malformed("missing buffers"));
    if (planned.dictionary) {
      if (array->dictionary == nullptr) return fail(malformed("dictionary missing"));
      column.dictionary = array->dictionary;
      column.dictionary_layout = planned.dictionary_layout;
      if (column.dictionary->length < 0 || column.dictionary->offset < 0 ||
          !buffers_present(*column.dictionary, planned.dictionary_layout)) {
        return fail(malformed("dictionary missing buffers"));
      }
    }
    column.all_null = every_slot_null(*array) || (planned.child >= 0 && every_slot_null(top));
    column.writes_absent =
        std::none_of(reader.columns_.begin(), reader.columns_.end(),
                     [&](const BoundColumn& earlier) { return earlier.slot == column.slot; });
    reader.columns_.push_back(column);
  }
  return reader;
}

Result<Unit, ColumnarError> BatchReader::read(std::int64_t first, std::int64_t count,
                                              RowBlock& block) const {
  if (count <= 0) return Unit{};
  // One validity word per column covers the block: more rows would be lost.
  if (count > RowBlock::kRows) {
    return fail(malformed("more rows asked of one block than it holds"));
  }
  std::uint64_t valid_rows = low_bits(count);
  if (top_validity_ != nullptr) valid_rows &= bits_at(top_validity_, first + top_offset_, count);
  for (const BoundColumn& column : columns_) {
    std::uint64_t rows = 0;
    if (!column.all_null) {
      rows = valid_rows;
      if (column.parent_validity != nullptr) {
        rows &= bits_at(column.parent_validity, first + column.parent_offset, count);
      }
      if (column.validity != nullptr)
        rows &= bits_at(column.validity, first + column.offset, count);
    }
    evaluation::ValueView* out = block.values_.data() + std::size_t{column.slot} * RowBlock::kRows;
    std::uint64_t& filled = block.filled_[column.slot];
    if (column.writes_absent) {
      // Rows an earlier read filled that this one leaves without a value.
      for (std::uint64_t stale = filled & ~rows; stale != 0; stale &= stale - 1) {
        out[std::countr_zero(stale)] = evaluation::ValueView{};
      }
      filled = rows;
    } else {
      filled |= rows;
    }
    if (rows == 0) continue;
    const bool read = with_reader(column, [&](const auto& reader) {
      return scatter(reader, rows, count, first + column.offset, out);
    });
    if (!read) return fail(malformed("value out of bounds"));
  }
  return Unit{};
}

}  // namespace kavro::columnar::detail
