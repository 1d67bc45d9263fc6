#include "columnar/column_reader.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <tuple>

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

// Writes a value into a view: whole, or only the value's own member when the
// view already holds a value of that kind (kWhole false).
template <bool kWhole>
void put(evaluation::ValueView& view, double number) {
  if constexpr (kWhole) {
    view = evaluation::ValueView::of_number(number);
  } else {
    view.number = number;
  }
}
template <bool kWhole>
void put(evaluation::ValueView& view, bool boolean) {
  if constexpr (kWhole) {
    view = evaluation::ValueView::of_boolean(boolean);
  } else {
    view.boolean = boolean;
  }
}
template <bool kWhole>
void put(evaluation::ValueView& view, std::string_view text) {
  if constexpr (kWhole) {
    view = evaluation::ValueView::of_string(text);
  } else {
    view.text = text;
  }
}

// Decoders write the value at physical index i into a row's slot; one whose
// index leads out of the array's bounds sets `bad` instead, and the block is
// refused before anything reads it. Numbers convert as Python's float() of
// the same value: integers round to the nearest double, narrower floats widen
// exactly.
template <class T>
struct NumberDecoder {
  const void* data;
  bool bad = false;
  template <bool kWhole>
  void write(std::int64_t i, evaluation::ValueView& value) {
    put<kWhole>(value, static_cast<double>(load<T>(data, i)));
  }
};

struct HalfDecoder {
  const void* data;
  bool bad = false;
  template <bool kWhole>
  void write(std::int64_t i, evaluation::ValueView& value) {
    put<kWhole>(value, half_to_double(load<std::uint16_t>(data, i)));
  }
};

// The block's values taken as one word rather than a byte per row.
struct BooleanDecoder {
  std::uint64_t values;
  std::int64_t base;  // the physical index of the block's first row
  bool bad = false;
  template <bool kWhole>
  void write(std::int64_t i, evaluation::ValueView& value) {
    put<kWhole>(value, ((values >> (i - base)) & 1) != 0);
  }
};

// Text with offsets of type Offset; the array's last offset bounds every value.
template <class Offset>
struct OffsetTextDecoder {
  const void* offsets;
  const char* data;
  std::uint64_t limit;
  bool bad = false;
  template <bool kWhole>
  void write(std::int64_t i, evaluation::ValueView& value) {
    const std::int64_t begin = load<Offset>(offsets, i);
    const std::int64_t end = load<Offset>(offsets, i + 1);
    // Unsigned, a negative offset is above the (non-negative) limit.
    if (static_cast<std::uint64_t>(begin) > static_cast<std::uint64_t>(end) ||
        static_cast<std::uint64_t>(end) > limit) [[unlikely]] {
      bad = true;
      return;
    }
    put<kWhole>(value, std::string_view(data + begin, static_cast<std::size_t>(end - begin)));
  }
};

struct ViewTextDecoder {
  const ArrowArray& array;
  bool bad = false;
  template <bool kWhole>
  void write(std::int64_t i, evaluation::ValueView& value) {
    std::string_view text;
    bad |= !read_text(array, Layout::Utf8View, i, text);
    put<kWhole>(value, text);
  }
};

// Always writes whole views: a null entry makes a row absent.
struct DictionaryDecoder {
  const BoundColumn& column;
  bool bad = false;
  template <bool kWhole>
  void write(std::int64_t i, evaluation::ValueView& value) {
    const ArrowArray& dictionary = *column.dictionary;
    const std::int64_t key = index_at(*column.array, column.layout, i);
    if (key < 0 || key >= dictionary.length) {
      bad = true;
      return;
    }
    const std::int64_t at = key + dictionary.offset;
    if (const std::uint8_t* valid = validity_of(dictionary); valid != nullptr && !bit(valid, at)) {
      // A null entry of the dictionary: absent, which only the first column
      // of a field writes.
      if (column.writes_absent) value = evaluation::ValueView{};
      return;
    }
    std::string_view text;
    bad |= !read_text(dictionary, column.dictionary_layout, at, text);
    value = evaluation::ValueView::of_string(text);
  }
};

// Decodes the value of each row set in `rows` (physical index base + row)
// into out[row]; false when one lay out of bounds. A full block takes the
// plain loop.
template <bool kWhole, class Decoder>
bool scatter_as(Decoder decode, std::uint64_t rows, std::int64_t count, std::int64_t base,
                evaluation::ValueView* out) {
  if (rows == low_bits(count)) {
    for (std::int64_t row = 0; row < count; ++row) {
      decode.template write<kWhole>(base + row, out[row]);
    }
  } else {
    for (; rows != 0; rows &= rows - 1) {
      const int row = std::countr_zero(rows);
      decode.template write<kWhole>(base + row, out[row]);
    }
  }
  return !decode.bad;
}

template <class Decoder>
bool scatter(Decoder decode, bool whole, std::uint64_t rows, std::int64_t count, std::int64_t base,
             evaluation::ValueView* out) {
  return whole ? scatter_as<true>(decode, rows, count, base, out)
               : scatter_as<false>(decode, rows, count, base, out);
}

// The C++ type of a numeric layout's values, in the order of Layout from Int8
// (float16 is read apart, as its bits).
template <Layout L>
using NumberOf = std::tuple_element_t<
    static_cast<std::size_t>(L) - static_cast<std::size_t>(Layout::Int8),
    std::tuple<std::int8_t, std::int16_t, std::int32_t, std::int64_t, std::uint8_t, std::uint16_t,
               std::uint32_t, std::uint64_t, std::uint16_t, float, double>>;

template <class Offset>
OffsetTextDecoder<Offset> offset_text(const ArrowArray& array) {
  const std::int64_t limit = load<Offset>(array.buffers[1], array.offset + array.length);
  // A negative last offset bounds no value.
  return {array.buffers[1], static_cast<const char*>(array.buffers[2]),
          static_cast<std::uint64_t>(std::max<std::int64_t>(limit, 0)), limit < 0};
}

// Decodes the rows set in `rows` of the block that starts at logical row
// `first` with the decoder for layout L.
template <Layout L>
bool decode_rows(const BoundColumn& column, bool whole, std::uint64_t rows, std::int64_t first,
                 std::int64_t count, evaluation::ValueView* out) {
  const ArrowArray& array = *column.array;
  const std::int64_t base = first + column.offset;
  const void* data = array.buffers[1];
  if constexpr (L == Layout::Boolean) {
    const Bitmap values{static_cast<const std::uint8_t*>(data), column.offset,
                        column.validity.bytes};
    return scatter(BooleanDecoder{values.word(first, count), base}, whole, rows, count, base, out);
  } else if constexpr (L == Layout::Float16) {
    return scatter(HalfDecoder{data}, whole, rows, count, base, out);
  } else if constexpr (L == Layout::Utf8) {
    return scatter(offset_text<std::int32_t>(array), whole, rows, count, base, out);
  } else if constexpr (L == Layout::LargeUtf8) {
    return scatter(offset_text<std::int64_t>(array), whole, rows, count, base, out);
  } else if constexpr (L == Layout::Utf8View) {
    return scatter(ViewTextDecoder{array}, whole, rows, count, base, out);
  } else {
    return scatter(NumberDecoder<NumberOf<L>>{data}, whole, rows, count, base, out);
  }
}

bool decode_dictionary(const BoundColumn& column, bool, std::uint64_t rows, std::int64_t first,
                       std::int64_t count, evaluation::ValueView* out) {
  return scatter_as<true>(DictionaryDecoder{column}, rows, count, first + column.offset, out);
}

bool decode_nothing(const BoundColumn&, bool, std::uint64_t, std::int64_t, std::int64_t,
                    evaluation::ValueView*) {
  return true;
}

DecodeRows decoder_for(const BoundColumn& column) {
  if (column.dictionary != nullptr) return decode_dictionary;
  switch (column.layout) {
    case Layout::Boolean:
      return decode_rows<Layout::Boolean>;
    case Layout::Int8:
      return decode_rows<Layout::Int8>;
    case Layout::Int16:
      return decode_rows<Layout::Int16>;
    case Layout::Int32:
      return decode_rows<Layout::Int32>;
    case Layout::Int64:
      return decode_rows<Layout::Int64>;
    case Layout::UInt8:
      return decode_rows<Layout::UInt8>;
    case Layout::UInt16:
      return decode_rows<Layout::UInt16>;
    case Layout::UInt32:
      return decode_rows<Layout::UInt32>;
    case Layout::UInt64:
      return decode_rows<Layout::UInt64>;
    case Layout::Float16:
      return decode_rows<Layout::Float16>;
    case Layout::Float32:
      return decode_rows<Layout::Float32>;
    case Layout::Float64:
      return decode_rows<Layout::Float64>;
    case Layout::Utf8:
      return decode_rows<Layout::Utf8>;
    case Layout::LargeUtf8:
      return decode_rows<Layout::LargeUtf8>;
    case Layout::Utf8View:
      return decode_rows<Layout::Utf8View>;
    case Layout::Null:
      break;
  }
  return decode_nothing;
}

// The kind of every value of a column of this (non-dictionary) layout.
evaluation::ValueKind kind_of(Layout layout) {
  switch (layout) {
    case Layout::Null:
      return evaluation::ValueKind::Absent;
    case Layout::Boolean:
      return evaluation::ValueKind::Boolean;
    case Layout::Utf8:
    case Layout::LargeUtf8:
    case Layout::Utf8View:
      return evaluation::ValueKind::String;
    default:
      return evaluation::ValueKind::Number;
  }
}

// Null count equal to the length: the producer says every slot is null.
bool every_slot_null(const ArrowArray& array) {
  return array.length > 0 && array.null_count == array.length;
}

// Whether `array` covers the logical rows [first, first + rows) it is asked for.
bool covers(const ArrowArray& array, std::int64_t first, std::int64_t rows) {
  return array.length >= 0 && array.offset >= 0 && first >= 0 && first + rows <= array.length;
}

// The validity of `array`, whose logical row 0 is bit `offset`.
Bitmap validity_bitmap(const ArrowArray& array, std::int64_t offset) {
  return {validity_of(array), offset, (array.offset + array.length + 7) / 8};
}

}  // namespace

std::uint64_t Bitmap::tail(std::int64_t first_byte, std::int64_t count, std::uint64_t& high) const {
  unsigned char window[16] = {};
  std::memcpy(window, bits + first_byte, static_cast<std::size_t>(count));
  std::uint64_t low;
  std::memcpy(&low, window, sizeof low);
  high = window[8];
  return low;
}

RowBlock::RowBlock(std::uint32_t slots)
    :  // Value-initialised: absent.
      values_(static_cast<std::size_t>(kRows) * std::max<std::uint32_t>(slots, 1)),
      filled_(std::max<std::uint32_t>(slots, 1), 0),
      kinds_(std::max<std::uint32_t>(slots, 1), evaluation::ValueKind::Absent) {}

Result<BatchReader, ColumnarError> BatchReader::bind(const ColumnPlan& plan,
                                                     const ArrowArray& batch) {
  BatchReader reader;
  if (batch.length < 0 || batch.offset < 0 || batch.n_children < 0) {
    return fail(malformed("negative length or offset"));
  }
  reader.rows_ = batch.length;
  reader.validity_ = validity_bitmap(batch, batch.offset);
  for (const ColumnBinding& planned : plan.columns) {
    if (planned.top >= batch.n_children) return fail(malformed("fewer columns than the schema"));
    const ArrowArray& top = *batch.children[planned.top];
    if (!covers(top, batch.offset, batch.length)) return fail(malformed("column too short"));
    BoundColumn column;
    column.slot = planned.slot;
    column.layout = planned.layout;
    const ArrowArray* array = &top;
    std::int64_t offset = batch.offset + top.offset;
    if (planned.child >= 0) {
      if (planned.child >= top.n_children) return fail(malformed("struct lacks a field"));
      column.parent = planned.top;
      column.parent_validity = validity_bitmap(top, offset);
      array = top.children[planned.child];
      if (!covers(*array, offset, batch.length)) return fail(malformed("field too short"));
      offset += array->offset;
    }
    column.array = array;
    column.offset = offset;
    column.validity = validity_bitmap(*array, offset);
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
    column.decode = decoder_for(column);
    column.writes_absent =
        std::none_of(reader.columns_.begin(), reader.columns_.end(),
                     [&](const BoundColumn& earlier) { return earlier.slot == column.slot; });
    reader.columns_.push_back(column);
  }
  for (BoundColumn& column : reader.columns_) {
    const bool alone =
        std::count_if(reader.columns_.begin(), reader.columns_.end(),
                      [&](const BoundColumn& other) { return other.slot == column.slot; }) == 1;
    if (alone && column.dictionary == nullptr) column.kind = kind_of(column.layout);
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
  const std::uint64_t valid_rows = validity_.word(first, count);
  // The fields of one struct column come one after another: its validity is
  // read once for them all.
  std::int64_t parent = -1;
  std::uint64_t parent_rows = valid_rows;
  for (const BoundColumn& column : columns_) {
    std::uint64_t rows = 0;
    if (!column.all_null) {
      if (column.parent != parent) {
        parent = column.parent;
        parent_rows = valid_rows & column.parent_validity.word(first, count);
      }
      rows = (column.parent < 0 ? valid_rows : parent_rows) & column.validity.word(first, count);
    }
    evaluation::ValueView* out = block.values_.data() + std::size_t{column.slot} * RowBlock::kRows;
    std::uint64_t& filled = block.filled_[column.slot];
    evaluation::ValueKind& kind = block.kinds_[column.slot];
    // Rows that hold a value of this column's kind need only its member.
    const bool whole = column.kind == evaluation::ValueKind::Absent || kind != column.kind ||
                       (rows & ~filled) != 0;
    kind = column.kind;
    if (column.writes_absent) {
      // Rows an earlier read filled that this one leaves without a value.
      for (std::uint64_t stale = filled & ~rows; stale != 0; stale &= stale - 1) {
        out[std::countr_zero(stale)] = evaluation::ValueView{};
      }
      filled = rows;
    } else {
      filled |= rows;
    }
    if (rows != 0 && !column.decode(column, whole, rows, first, count, out)) {
      return fail(malformed("value out of bounds"));
    }
  }
  return Unit{};
}

}  // namespace kavro::columnar::detail
