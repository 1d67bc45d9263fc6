// ValueView: a borrowed scalar, as evaluation reads input fields and the
// literals of the compiled model (RuntimeValue).
#pragma once

#include <cstdint>
#include <string_view>

#include "compiler/runtime_value.h"
#include "documents/vocabulary.h"

namespace kavro {

// Absent is zero so that zeroed memory reads as a row of absent values.
enum class ValueKind : std::uint8_t { Absent = 0, String = 1, Number = 2, Boolean = 3 };

// The field type of a present value's kind: the kinds follow the types.
constexpr FieldType type_of(ValueKind kind) {
  return static_cast<FieldType>(static_cast<int>(kind) - 1);
}
static_assert(type_of(ValueKind::String) == FieldType::String &&
              type_of(ValueKind::Number) == FieldType::Number &&
              type_of(ValueKind::Boolean) == FieldType::Boolean);

// A borrowed RuntimeValue. The evaluator compares views so that input values
// can point into storage owned by the caller (no copy per request).
struct ValueView {
  ValueKind kind = ValueKind::Absent;
  bool boolean = false;
  double number = 0.0;
  std::string_view text;

  static ValueView of_string(std::string_view text) {
    return {ValueKind::String, false, 0.0, text};
  }
  static ValueView of_number(double number) { return {ValueKind::Number, false, number, {}}; }
  static ValueView of_boolean(bool boolean) { return {ValueKind::Boolean, boolean, 0.0, {}}; }

  bool present() const { return kind != ValueKind::Absent; }
};

inline ValueView view_of(const RuntimeValue& value) {
  switch (value.index()) {
    case 0:
      return ValueView::of_string(*std::get_if<0>(&value));
    case 1:
      return ValueView::of_number(*std::get_if<1>(&value));
    case 2:
      return ValueView::of_boolean(*std::get_if<2>(&value));
  }
  return {};
}

}  // namespace kavro
