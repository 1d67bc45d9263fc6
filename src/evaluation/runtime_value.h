// RuntimeValue: the one scalar type of the engine. Input field values and the
// literals of compiled conditions share it, so they compare without conversion.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace kavro {

// Alternatives in this order: String, Number, Boolean.
using RuntimeValue = std::variant<std::string, double, bool>;

// Absent is zero so that zeroed memory reads as a row of absent values.
enum class ValueKind : std::uint8_t { Absent = 0, String = 1, Number = 2, Boolean = 3 };

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
    default:
      return ValueView::of_boolean(*std::get_if<2>(&value));
  }
}

}  // namespace kavro
