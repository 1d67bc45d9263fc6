#include "columnar/column_reader.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>
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

ColumnarError malformed(const std::string& column, const char* what) {
  return {ColumnarError::Kind::MalformedData,
          "malformed Arrow data in column '" + column + "': " + what};
}

// a + b, false when the sum does not fit: offsets and lengths come from the
// producer, and a wrapped sum would pass every later comparison.
bool add_checked(std::int64_t a, std::int64_t b, std::int64_t& sum) {
  return !__builtin_add_overflow(a, b, &sum);
}

// Whether `elements` values of `bits` bits each can lie at `buffer` at all:
// their size is representable and does not run past the end of the address
// space (a size that does would wrap every pointer computed from it).
bool fits(const void* buffer, std::int64_t elements, std::int64_t bits) {
  if (elements < 0) return false;
  if (elements == 0) return true;
  std::int64_t total_bits = 0;
  if (buffer == nullptr || __builtin_mul_overflow(elements, bits, &total_bits)) return false;
  const auto bytes = static_cast<std::uint64_t>(total_bits / 8 + (total_bits % 8 != 0 ? 1 : 0));
  std::uintptr_t end = 0;
  return !__builtin_add_overflow(reinterpret_cast<std::uintptr_t>(buffer), bytes, &end);
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

// Bits per value of the layout's values buffer (buffers[1]); text layouts
// give their offsets' or views' width.
std::int64_t value_bits(Layout layout) {
  switch (layout) {
    case Layout::Null:
      return 0;
    case Layout::Boolean:
      return 1;
    case Layout::Int8:
    case Layout::UInt8:
      return 8;
    case Layout::Int16:
    case Layout::UInt16:
    case Layout::Float16:
      return 16;
    case Layout::Int32:
    case Layout::UInt32:
    case Layout::Float32:
    case Layout::Utf8:
    case Layout::Decimal32:
      return 32;
    case Layout::Int64:
    case Layout::UInt64:
    case Layout::Float64:
    case Layout::LargeUtf8:
    case Layout::Decimal64:
      return 64;
    case Layout::Decimal128:
    case Layout::Utf8View:
      return 128;
    case Layout::Decimal256:
      return 256;
  }
  return 0;
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
    case Layout::Int8:
    case Layout::Int16:
    case Layout::Int32:
    case Layout::Int64:
    case Layout::UInt8:
    case Layout::UInt16:
    case Layout::UInt32:
    case Layout::UInt64:
    case Layout::Float16:
    case Layout::Float32:
    case Layout::Float64:
    case Layout::Decimal32:
    case Layout::Decimal64:
    case Layout::Decimal128:
    case Layout::Decimal256:
      return evaluation::ValueKind::Number;
  }
  return evaluation::ValueKind::Absent;
}

// How many buffers a column of this layout must have.
std::int64_t buffers_needed(Layout layout) {
  switch (kind_of(layout)) {
    case evaluation::ValueKind::Absent:
      return 0;
    case evaluation::ValueKind::String:
      return 3;  // views: at least one variadic-sizes buffer besides validity and views
    case evaluation::ValueKind::Number:
    case evaluation::ValueKind::Boolean:
      return 2;
  }
  return 2;
}

// The physical length of `array`'s buffers (offset + length), checked.
bool extent_of(const ArrowArray& array, std::int64_t& extent) {
  return array.length >= 0 && array.offset >= 0 && add_checked(array.offset, array.length, extent);
}

// Null when the array's buffers can hold its `extent` values of `layout`;
// otherwise what is wrong. Text data buffers are checked against their
// offsets or sizes when values are read.
const char* buffers_problem(const ArrowArray& array, Layout layout, std::int64_t extent) {
  const std::int64_t needed = buffers_needed(layout);
  if (array.n_buffers < needed) return "missing buffers";
  if (array.n_buffers > 0 && array.buffers == nullptr) return "null buffers array";
  if (array.null_count != 0 && array.buffers[0] != nullptr && !fits(array.buffers[0], extent, 1))
    return "validity bitmap beyond the address space";
  if (needed == 0) return nullptr;
  if (layout == Layout::Utf8View) {
    if (extent != 0 && !fits(array.buffers[1], extent, value_bits(layout)))
      return "null or oversized views buffer";
    // The last buffer holds one size per data buffer.
    const std::int64_t data_buffers = array.n_buffers - 3;
    if (data_buffers > 0 && !fits(array.buffers[array.n_buffers - 1], data_buffers, 64))
      return "null variadic sizes buffer";
    return nullptr;
  }
  if (extent == 0) return nullptr;
  const bool offsets = layout == Layout::Utf8 || layout == Layout::LargeUtf8;
  std::int64_t values = extent;
  if (offsets && !add_checked(extent, 1, values)) return "offsets beyond the address space";
  if (!fits(array.buffers[1], values, value_bits(layout))) return "null or oversized values buffer";
  if (offsets && array.buffers[2] == nullptr) return "null data buffer";
  return nullptr;
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
    const void* data = array.buffers[2 + buffer];
    if (static_cast<std::int64_t>(offset) + length > size || !fits(data, size, 8)) return false;
    text = {static_cast<const char*>(data) + offset, static_cast<std::size_t>(length)};
    return true;
  }
  if (begin < 0 || end < begin || end > limit || !fits(array.buffers[2], limit, 8)) return false;
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
    case Layout::Int64:
      return load<std::int64_t>(array.buffers[1], i);
    case Layout::UInt64: {
      const auto index = load<std::uint64_t>(array.buffers[1], i);
      return index > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                 ? -1
                 : static_cast<std::int64_t>(index);
    }
    // Planning accepts only integer indices; no other layout names an entry.
    case Layout::Null:
    case Layout::Boolean:
    case Layout::Float16:
    case Layout::Float32:
    case Layout::Float64:
    case Layout::Utf8:
    case Layout::LargeUtf8:
    case Layout::Utf8View:
    case Layout::Decimal32:
    case Layout::Decimal64:
    case Layout::Decimal128:
    case Layout::Decimal256:
      return -1;
  }
  return -1;
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

// float() of a decimal: its integer's decimal digits with the exponent
// -scale, converted by the correctly rounding from_chars, as Python converts
// the same text. `bytes` holds the integer in two's complement, native order.
double decimal_to_double(const unsigned char* bytes, int width, std::int32_t scale) {
  // As 32-bit limbs, least significant first (the platforms built for are
  // little-endian, as the format's native order is there).
  std::array<std::uint32_t, 8> limbs{};
  const int count = width / 4;
  std::memcpy(limbs.data(), bytes, static_cast<std::size_t>(width));
  const bool negative = (limbs[static_cast<std::size_t>(count - 1)] >> 31) != 0;
  if (negative) {
    std::uint64_t carry = 1;
    for (int i = 0; i < count; ++i) {
      const std::uint64_t sum = std::uint64_t{~limbs[static_cast<std::size_t>(i)]} + carry;
      limbs[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(sum);
      carry = sum >> 32;
    }
  }
  // Nine decimal digits at a time, least significant group first.
  std::array<std::uint32_t, 9> groups{};
  int group_count = 0;
  for (int top = count;;) {
    while (top > 0 && limbs[static_cast<std::size_t>(top - 1)] == 0) --top;
    if (top == 0) break;
    std::uint64_t remainder = 0;
    for (int i = top - 1; i >= 0; --i) {
      const std::uint64_t current = (remainder << 32) | limbs[static_cast<std::size_t>(i)];
      limbs[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(current / 1000000000);
      remainder = current % 1000000000;
    }
    groups[static_cast<std::size_t>(group_count++)] = static_cast<std::uint32_t>(remainder);
  }
  char text[128];
  char* at = text;
  if (negative) *at++ = '-';
  if (group_count == 0) *at++ = '0';
  for (int g = group_count - 1; g >= 0; --g) {
    char digits[10];
    const auto printed =
        std::to_chars(digits, digits + sizeof digits, groups[static_cast<std::size_t>(g)]);
    const auto length = static_cast<int>(printed.ptr - digits);
    if (g != group_count - 1) {
      for (int pad = length; pad < 9; ++pad) *at++ = '0';
    }
    std::memcpy(at, digits, static_cast<std::size_t>(length));
    at += length;
  }
  *at++ = 'e';
  at = std::to_chars(at, text + sizeof text, -static_cast<std::int64_t>(scale)).ptr;
  double value = 0;
  const auto parsed = std::from_chars(text, at, value);
  if (parsed.ec == std::errc::result_out_of_range) {
    // Beyond a double: infinite when the exponent is large, else zero.
    const double magnitude = scale < 0 ? std::numeric_limits<double>::infinity() : 0.0;
    value = negative ? -magnitude : magnitude;
  }
  return value;
}

template <int kWidth>
struct DecimalDecoder {
  const void* data;
  std::int32_t scale;
  bool bad = false;
  template <bool kWhole>
  void write(std::int64_t i, evaluation::ValueView& value) {
    put<kWhole>(value, decimal_to_double(static_cast<const unsigned char*>(data) + i * kWidth,
                                         kWidth, scale));
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
  // A negative last offset bounds no value, nor does one past the address space.
  return {array.buffers[1], static_cast<const char*>(array.buffers[2]),
          static_cast<std::uint64_t>(std::max<std::int64_t>(limit, 0)),
          limit < 0 || !fits(array.buffers[2], limit, 8)};
}

// Whether offsets [base, base + count] start at or above zero, never
// decrease and end within the data: then every row's text lies within it.
template <class Offset>
bool offsets_ordered(const OffsetTextDecoder<Offset>& text, std::int64_t base, std::int64_t count) {
  if (text.bad) return false;
  Offset previous = load<Offset>(text.offsets, base);
  if (previous < 0) return false;
  bool ordered = true;
  for (std::int64_t i = 1; i <= count; ++i) {
    const Offset next = load<Offset>(text.offsets, base + i);
    ordered &= previous <= next;
    previous = next;
  }
  return ordered && static_cast<std::uint64_t>(previous) <= text.limit;
}

// Whether the text of each row set in `rows` (physical index base + row)
// lies within the data, as the decoder would find when reading it.
template <class Offset>
bool offsets_in_bounds(const OffsetTextDecoder<Offset>& text, std::uint64_t rows,
                       std::int64_t base) {
  if (text.bad) return false;
  bool good = true;
  for (; rows != 0; rows &= rows - 1) {
    const std::int64_t i = base + std::countr_zero(rows);
    const auto begin = static_cast<std::uint64_t>(load<Offset>(text.offsets, i));
    const auto end = static_cast<std::uint64_t>(load<Offset>(text.offsets, i + 1));
    good &= begin <= end && end <= text.limit;
  }
  return good;
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
  } else if constexpr (L == Layout::Decimal32) {
    return scatter(DecimalDecoder<4>{data, column.scale}, whole, rows, count, base, out);
  } else if constexpr (L == Layout::Decimal64) {
    return scatter(DecimalDecoder<8>{data, column.scale}, whole, rows, count, base, out);
  } else if constexpr (L == Layout::Decimal128) {
    return scatter(DecimalDecoder<16>{data, column.scale}, whole, rows, count, base, out);
  } else if constexpr (L == Layout::Decimal256) {
    return scatter(DecimalDecoder<32>{data, column.scale}, whole, rows, count, base, out);
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
    case Layout::Decimal32:
      return decode_rows<Layout::Decimal32>;
    case Layout::Decimal64:
      return decode_rows<Layout::Decimal64>;
    case Layout::Decimal128:
      return decode_rows<Layout::Decimal128>;
    case Layout::Decimal256:
      return decode_rows<Layout::Decimal256>;
    case Layout::Null:
      break;
  }
  return decode_nothing;
}

// Null count equal to the length: the producer says every slot is null.
bool every_slot_null(const ArrowArray& array) {
  return array.length > 0 && array.null_count == array.length;
}

// Whether `array` covers the logical rows [first, first + rows) it is asked for.
bool covers(const ArrowArray& array, std::int64_t first, std::int64_t rows) {
  std::int64_t end = 0;
  return array.length >= 0 && array.offset >= 0 && first >= 0 && add_checked(first, rows, end) &&
         end <= array.length;
}

// The validity of `array`, whose logical row 0 is bit `offset`; `extent` is
// the array's checked offset + length.
Bitmap validity_bitmap(const ArrowArray& array, std::int64_t offset, std::int64_t extent) {
  return {validity_of(array), offset, extent / 8 + (extent % 8 != 0 ? 1 : 0)};
}

// The child arrays of a struct array, when every pointer to them is there.
bool children_present(const ArrowArray& array) {
  if (array.n_children < 0 || (array.n_children > 0 && array.children == nullptr)) return false;
  for (std::int64_t i = 0; i < array.n_children; ++i) {
    if (array.children[i] == nullptr) return false;
  }
  return true;
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
  std::int64_t batch_extent = 0;
  if (batch.length < 0 || batch.offset < 0 || batch.n_children < 0 ||
      !extent_of(batch, batch_extent)) {
    return fail(malformed("negative or overflowing length or offset"));
  }
  if (!children_present(batch)) return fail(malformed("null child array"));
  if (batch.null_count != 0 && batch.n_buffers > 0) {
    if (batch.buffers == nullptr) return fail(malformed("null buffers array"));
    if (batch.buffers[0] != nullptr && !fits(batch.buffers[0], batch_extent, 1))
      return fail(malformed("validity bitmap beyond the address space"));
  }
  reader.rows_ = batch.length;
  reader.validity_ = validity_bitmap(batch, batch.offset, batch_extent);
  for (const ColumnBinding& planned : plan.columns) {
    const std::string& name = planned.name;
    if (planned.top >= batch.n_children) return fail(malformed("fewer columns than the schema"));
    const ArrowArray& top = *batch.children[planned.top];
    std::int64_t top_extent = 0;
    if (!extent_of(top, top_extent) || !covers(top, batch.offset, batch.length)) {
      return fail(malformed(name, "column too short or its offset overflows"));
    }
    BoundColumn column;
    column.slot = planned.slot;
    column.layout = planned.layout;
    column.scale = planned.scale;
    column.name = &planned.name;
    const ArrowArray* array = &top;
    std::int64_t extent = top_extent;
    std::int64_t offset = 0;
    if (!add_checked(batch.offset, top.offset, offset)) {
      return fail(malformed(name, "offsets overflow"));
    }
    if (planned.child >= 0) {
      if (!children_present(top)) return fail(malformed(name, "null child array"));
      if (planned.child >= top.n_children) return fail(malformed(name, "struct lacks a field"));
      if (const char* problem = buffers_problem(top, Layout::Null, top_extent))
        return fail(malformed(name, problem));
      column.parent = planned.top;
      column.parent_validity = validity_bitmap(top, offset, top_extent);
      array = top.children[planned.child];
      if (!extent_of(*array, extent) || !covers(*array, offset, batch.length)) {
        return fail(malformed(name, "field too short or its offset overflows"));
      }
      if (!add_checked(offset, array->offset, offset)) {
        return fail(malformed(name, "offsets overflow"));
      }
    }
    if (const char* problem = buffers_problem(*array, planned.layout, extent))
      return fail(malformed(name, problem));
    column.array = array;
    column.offset = offset;
    column.validity = validity_bitmap(*array, offset, extent);
    if (planned.dictionary) {
      if (array->dictionary == nullptr) return fail(malformed(name, "dictionary missing"));
      column.dictionary = array->dictionary;
      column.dictionary_layout = planned.dictionary_layout;
      std::int64_t entries = 0;
      if (!extent_of(*column.dictionary, entries)) {
        return fail(malformed(name, "dictionary length or offset negative or overflowing"));
      }
      if (const char* problem =
              buffers_problem(*column.dictionary, planned.dictionary_layout, entries)) {
        return fail(malformed(name, problem));
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
  for (std::uint32_t i = 0; i < reader.columns_.size(); ++i) {
    const std::uint32_t slot = reader.columns_[i].slot;
    if (slot >= reader.by_slot_.size()) reader.by_slot_.resize(std::size_t{slot} + 1);
    reader.by_slot_[slot].push_back(i);
  }
  return reader;
}

Result<Unit, ColumnarError> BatchReader::check_values(std::int64_t first,
                                                      std::int64_t count) const {
  std::array<evaluation::ValueView, 64> scratch;
  for (const BoundColumn& column : columns_) {
    const bool text = column.dictionary != nullptr || column.layout == Layout::Utf8 ||
                      column.layout == Layout::LargeUtf8 || column.layout == Layout::Utf8View;
    if (!text || column.all_null) continue;
    // Offsets that never decrease from a start at or above zero to an end
    // within the data bound every text of the rows, null or not.
    if (column.dictionary == nullptr && column.layout == Layout::Utf8 &&
        offsets_ordered(offset_text<std::int32_t>(*column.array), first + column.offset, count))
      continue;
    if (column.dictionary == nullptr && column.layout == Layout::LargeUtf8 &&
        offsets_ordered(offset_text<std::int64_t>(*column.array), first + column.offset, count))
      continue;
    for (std::int64_t word = first; word < first + count; word += 64) {
      const std::int64_t rows_in_word = std::min<std::int64_t>(64, first + count - word);
      std::uint64_t rows =
          validity_.word(word, rows_in_word) & column.validity.word(word, rows_in_word);
      if (column.parent >= 0) rows &= column.parent_validity.word(word, rows_in_word);
      if (rows == 0) continue;
      bool good = true;
      if (column.dictionary == nullptr && column.layout == Layout::Utf8) {
        good =
            offsets_in_bounds(offset_text<std::int32_t>(*column.array), rows, word + column.offset);
      } else if (column.dictionary == nullptr && column.layout == Layout::LargeUtf8) {
        good =
            offsets_in_bounds(offset_text<std::int64_t>(*column.array), rows, word + column.offset);
      } else {
        good = column.decode(column, true, rows, word, rows_in_word, scratch.data());
      }
      if (!good) return fail(malformed(*column.name, "value out of bounds"));
    }
  }
  return Unit{};
}

Result<Unit, ColumnarError> BatchReader::read_slot(std::uint32_t slot, std::int64_t first,
                                                   std::int64_t count, std::uint64_t want,
                                                   evaluation::ValueView* out) const {
  if (count <= 0 || want == 0) return Unit{};
  if (count > 64) return fail(malformed("more rows asked of one word than it holds"));
  want &= low_bits(count);
  const std::uint64_t valid_rows = validity_.word(first, count) & want;
  // Rows the slot's first column leaves without a value are cleared first;
  // later columns then write only their own values over them.
  const std::vector<std::uint32_t>* columns = slot < by_slot_.size() ? &by_slot_[slot] : nullptr;
  for (std::size_t i = 0; columns != nullptr && i < columns->size(); ++i) {
    const BoundColumn& column = columns_[(*columns)[i]];
    std::uint64_t rows = 0;
    if (!column.all_null) {
      rows = valid_rows & column.validity.word(first, count);
      if (column.parent >= 0) rows &= column.parent_validity.word(first, count);
    }
    if (i == 0) {
      for (std::uint64_t stale = want & ~rows; stale != 0; stale &= stale - 1) {
        out[std::countr_zero(stale)] = evaluation::ValueView{};
      }
    }
    if (rows != 0 && !column.decode(column, true, rows, first, count, out)) {
      return fail(malformed(*column.name, "value out of bounds"));
    }
  }
  if (columns == nullptr || columns->empty()) {
    for (std::uint64_t stale = want; stale != 0; stale &= stale - 1) {
      out[std::countr_zero(stale)] = evaluation::ValueView{};
    }
  }
  return Unit{};
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
      return fail(malformed(*column.name, "value out of bounds"));
    }
  }
  return Unit{};
}

}  // namespace kavro::columnar::detail
