#include "columnar/column_compare.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

namespace kavro::columnar::detail {

namespace {

using evaluation::ValueKind;

template <class T>
T load_at(const void* buffer, std::int64_t index) {
  T value;
  std::memcpy(&value, static_cast<const unsigned char*>(buffer) + index * sizeof(T), sizeof(T));
  return value;
}

// The kind of value a layout this file reads holds; Absent for the others.
ValueKind direct_kind(Layout layout) {
  switch (layout) {
    case Layout::Float64:
    case Layout::Float32:
    case Layout::Int64:
    case Layout::Int32:
      return ValueKind::Number;
    case Layout::Boolean:
      return ValueKind::Boolean;
    case Layout::Utf8:
    case Layout::LargeUtf8:
      return ValueKind::String;
    case Layout::Null:
    case Layout::Int8:
    case Layout::Int16:
    case Layout::UInt8:
    case Layout::UInt16:
    case Layout::UInt32:
    case Layout::UInt64:
    case Layout::Float16:
    case Layout::Utf8View:
    case Layout::Decimal32:
    case Layout::Decimal64:
    case Layout::Decimal128:
    case Layout::Decimal256:
      return ValueKind::Absent;
  }
  return ValueKind::Absent;
}

const BoundColumn* direct_column(const BatchReader& reader, std::uint32_t slot) {
  const BoundColumn* column = reader.sole_column(slot);
  if (column == nullptr || column->dictionary != nullptr) return nullptr;
  if (!column->all_null && direct_kind(column->layout) == ValueKind::Absent) return nullptr;
  return column;
}

// Writes kinds and, where present, put(position, physical index). Whether a
// row's value is there (the batch, the column's struct and the column itself
// all valid) is taken a word of 64 rows at a time.
template <class Put>
void gather(const BatchReader& reader, const BoundColumn& column, std::int64_t first,
            std::span<const std::uint32_t> rows, ValueKind kind, ValueKind* kinds, Put put) {
  const bool nulls = reader.validity().bits != nullptr || column.validity.bits != nullptr ||
                     (column.parent >= 0 && column.parent_validity.bits != nullptr);
  if (!nulls) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
      kinds[i] = kind;
      put(i, first + rows[i] + column.offset);
    }
    return;
  }
  std::int64_t word_first = std::numeric_limits<std::int64_t>::min() / 2;  // no word yet
  std::uint64_t present = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::int64_t logical = first + rows[i];
    if (logical < word_first || logical >= word_first + 64) {
      // Rows come in increasing order within a chunk, mostly a word apart.
      word_first = logical;
      const std::int64_t count = std::min<std::int64_t>(64, reader.rows() - logical);
      present = reader.validity().word(logical, count) & column.validity.word(logical, count);
      if (column.parent >= 0) present &= column.parent_validity.word(logical, count);
    }
    if (((present >> (logical - word_first)) & 1) != 0) {
      kinds[i] = kind;
      put(i, logical + column.offset);
    } else {
      kinds[i] = ValueKind::Absent;
    }
  }
}

template <class Offset>
void gather_texts(const BatchReader& reader, const BoundColumn& column, std::int64_t first,
                  std::span<const std::uint32_t> rows, ValueKind* kinds, std::string_view* texts) {
  const void* offsets = column.array->buffers[1];
  const char* data = static_cast<const char*>(column.array->buffers[2]);
  gather(reader, column, first, rows, ValueKind::String, kinds,
         [&](std::size_t i, std::int64_t at) {
           const std::int64_t begin = load_at<Offset>(offsets, at);
           const std::int64_t end = load_at<Offset>(offsets, at + 1);
           if (texts != nullptr) {
             texts[i] = std::string_view(data + begin, static_cast<std::size_t>(end - begin));
           }
         });
}

}  // namespace

bool gather_in_buffers(const BatchReader& reader, std::uint32_t slot, std::int64_t first,
                       std::span<const std::uint32_t> rows, ValueKind* kinds, double* numbers,
                       std::string_view* texts) {
  const BoundColumn* found = direct_column(reader, slot);
  if (found == nullptr) return false;
  const BoundColumn& column = *found;
  if (column.all_null) {
    std::fill(kinds, kinds + rows.size(), ValueKind::Absent);
    return true;
  }
  const void* values = column.array->buffers[1];
  const auto number = [&](auto load) {
    gather(reader, column, first, rows, ValueKind::Number, kinds,
           [&](std::size_t i, std::int64_t at) { numbers[i] = load(at); });
  };
  // direct_column let through only the layouts direct_kind names.
  const Layout layout = column.layout;
  if (layout == Layout::Float64) {
    number([&](std::int64_t at) { return load_at<double>(values, at); });
  } else if (layout == Layout::Float32) {
    number([&](std::int64_t at) { return static_cast<double>(load_at<float>(values, at)); });
  } else if (layout == Layout::Int64) {
    number([&](std::int64_t at) { return static_cast<double>(load_at<std::int64_t>(values, at)); });
  } else if (layout == Layout::Int32) {
    number([&](std::int64_t at) { return static_cast<double>(load_at<std::int32_t>(values, at)); });
  } else if (layout == Layout::Boolean) {
    const auto* bits = static_cast<const std::uint8_t*>(values);
    gather(reader, column, first, rows, ValueKind::Boolean, kinds,
           [&](std::size_t i, std::int64_t at) {
             numbers[i] = ((bits[at >> 3] >> (at & 7)) & 1) != 0 ? 1.0 : 0.0;
           });
  } else if (layout == Layout::Utf8) {
    gather_texts<std::int32_t>(reader, column, first, rows, kinds, texts);
  } else if (layout == Layout::LargeUtf8) {
    gather_texts<std::int64_t>(reader, column, first, rows, kinds, texts);
  } else {
    return false;
  }
  return true;
}

}  // namespace kavro::columnar::detail
