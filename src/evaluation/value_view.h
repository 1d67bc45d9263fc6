// ValueView: a borrowed scalar, as evaluation reads input fields and the
// literals of the compiled model (RuntimeValue).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "compiler/runtime_value.h"
#include "documents/vocabulary.h"
#include "support/enumerator_count.h"
#include "support/overloaded.h"

namespace kavro::evaluation {

// Absent is zero so that zeroed memory reads as a row of absent values.
enum class ValueKind : std::uint8_t { Absent = 0, String = 1, Number = 2, Boolean = 3 };

// The field type of a present value's kind: the kinds follow the types.
constexpr documents::FieldType type_of(ValueKind kind) {
  return static_cast<documents::FieldType>(static_cast<int>(kind) - 1);
}
static_assert(type_of(ValueKind::String) == documents::FieldType::String &&
              type_of(ValueKind::Number) == documents::FieldType::Number &&
              type_of(ValueKind::Boolean) == documents::FieldType::Boolean);
static_assert(enumerator_count<ValueKind>() == documents::kFieldTypes.size() + 1);

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

inline ValueView view_of(const compiler::RuntimeValue& value) {
  return std::visit(Overloaded{[](const std::string& text) { return ValueView::of_string(text); },
                               [](double number) { return ValueView::of_number(number); },
                               [](bool boolean) { return ValueView::of_boolean(boolean); }},
                    value);
}

}  // namespace kavro::evaluation
