#include "columnar/column_compare.h"

#include <cstring>
#include <string_view>

#include "support/text_equal.h"

namespace kavro::columnar::detail {

namespace {

using evaluation::ValueKind;
using evaluation::detail::Check;

bool valid_at(const Bitmap& bitmap, std::int64_t logical) {
  if (bitmap.bits == nullptr) return true;
  const std::int64_t at = bitmap.offset + logical;
  return ((bitmap.bits[at >> 3] >> (at & 7)) & 1) != 0;
}

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

// The rows where the column holds a value (the batch, its struct and itself
// all valid) for which holds(physical index) is true.
template <class Holds>
std::uint32_t collect_present(const BatchReader& reader, const BoundColumn& column,
                              std::int64_t first, std::span<const std::uint32_t> rows,
                              std::uint32_t* out, Holds holds) {
  const Bitmap& batch = reader.validity();
  const bool nulls = batch.bits != nullptr || column.validity.bits != nullptr ||
                     (column.parent >= 0 && column.parent_validity.bits != nullptr);
  std::uint32_t count = 0;
  if (!nulls) {
    for (const std::uint32_t row : rows) {
      out[count] = row;
      count += holds(first + row + column.offset) ? 1 : 0;
    }
    return count;
  }
  for (const std::uint32_t row : rows) {
    const std::int64_t logical = first + row;
    const bool present = valid_at(batch, logical) && valid_at(column.validity, logical) &&
                         (column.parent < 0 || valid_at(column.parent_validity, logical));
    out[count] = row;
    count += present && holds(logical + column.offset) ? 1 : 0;
  }
  return count;
}

template <class Load>
std::uint32_t compare_numbers(const BatchReader& reader, const BoundColumn& column,
                              const Check& check, std::int64_t first,
                              std::span<const std::uint32_t> rows, std::uint32_t* out, Load load) {
  const double literal = check.number;
  const unsigned accepts = check.accepts;
  return collect_present(reader, column, first, rows, out, [&](std::int64_t i) {
    return (number_outcome(load(i), literal) & accepts) != 0;
  });
}

template <class Offset>
std::uint32_t compare_texts(const BatchReader& reader, const BoundColumn& column,
                            const Check& check, std::int64_t first,
                            std::span<const std::uint32_t> rows, std::uint32_t* out) {
  const void* offsets = column.array->buffers[1];
  const char* data = static_cast<const char*>(column.array->buffers[2]);
  const std::string_view literal(check.text, check.extra);
  const unsigned if_equal = check.accepts & documents::kOutcomeEqual;
  const unsigned if_differs = check.accepts & documents::kOutcomeLess;
  return collect_present(reader, column, first, rows, out, [&](std::int64_t i) {
    const std::int64_t begin = load_at<Offset>(offsets, i);
    const std::int64_t end = load_at<Offset>(offsets, i + 1);
    const bool equal = end - begin == static_cast<std::int64_t>(literal.size()) &&
                       text_equal(std::string_view(data + begin, literal.size()), literal);
    return (equal ? if_equal : if_differs) != 0;
  });
}

}  // namespace

bool readable_in_buffers(const BatchReader& reader, std::uint32_t slot) {
  return direct_column(reader, slot) != nullptr;
}

std::optional<std::uint32_t> compare_in_buffers(const BatchReader& reader, const Check& check,
                                                std::int64_t first,
                                                std::span<const std::uint32_t> rows,
                                                std::uint32_t* out) {
  if (check.two_fields) return std::nullopt;
  const BoundColumn* found = direct_column(reader, check.slot);
  if (found == nullptr) return std::nullopt;
  const BoundColumn& column = *found;
  // Values of another kind than the literal's never compare.
  if (column.all_null || check.accepts == 0 || direct_kind(column.layout) != check.kind) return 0;
  const void* values = column.array->buffers[1];
  switch (column.layout) {
    case Layout::Float64:
      return compare_numbers(reader, column, check, first, rows, out,
                             [&](std::int64_t i) { return load_at<double>(values, i); });
    case Layout::Float32:
      return compare_numbers(reader, column, check, first, rows, out, [&](std::int64_t i) {
        return static_cast<double>(load_at<float>(values, i));
      });
    case Layout::Int64:
      return compare_numbers(reader, column, check, first, rows, out, [&](std::int64_t i) {
        return static_cast<double>(load_at<std::int64_t>(values, i));
      });
    case Layout::Int32:
      return compare_numbers(reader, column, check, first, rows, out, [&](std::int64_t i) {
        return static_cast<double>(load_at<std::int32_t>(values, i));
      });
    case Layout::Boolean: {
      const auto* bits = static_cast<const std::uint8_t*>(values);
      return compare_numbers(reader, column, check, first, rows, out, [&](std::int64_t i) {
        return ((bits[i >> 3] >> (i & 7)) & 1) != 0 ? 1.0 : 0.0;
      });
    }
    case Layout::Utf8:
      return compare_texts<std::int32_t>(reader, column, check, first, rows, out);
    case Layout::LargeUtf8:
      return compare_texts<std::int64_t>(reader, column, check, first, rows, out);
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
      break;
  }
  return std::nullopt;
}

}  // namespace kavro::columnar::detail
