// The words of the policy language: one table per enumeration, one row per
// word, in the enumeration's order. A row holds the word's document spelling,
// its CamelCase variant name (used by messages and the text form) and, for
// operators, the field types it applies to and the comparison outcomes it
// accepts. The readers, the compiler, the text form, the evaluator and the
// index all take words from here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "support/enumerator_count.h"

namespace kavro::documents {

enum class Domain : std::uint8_t { Action = 0, Actor = 1, Snapshot = 2 };
enum class Operator : std::uint8_t {
  Equals = 0,
  NotEquals = 1,
  GreaterThan = 2,
  LessThan = 3,
  In = 4,
  NotIn = 5,
  GreaterOrEqual = 6,
  LessOrEqual = 7,
  Present = 8,
  Absent = 9,
  StartsWith = 10,
  EndsWith = 11,
};
enum class FieldType : std::uint8_t { String = 0, Number = 1, Boolean = 2 };
enum class Effect : std::uint8_t { Allow = 0, Block = 1, RequireApproval = 2 };

// Outcomes of comparing a left value with a right value of the same type, one
// bit each. Texts and booleans have no order: when they differ, the outcome
// is kOutcomeLess.
inline constexpr std::uint8_t kOutcomeLess = 1;
inline constexpr std::uint8_t kOutcomeEqual = 2;
inline constexpr std::uint8_t kOutcomeGreater = 4;
inline constexpr std::uint8_t kOutcomeUnordered = 8;  // a NaN is involved

constexpr std::uint8_t type_bit(FieldType type) {
  return static_cast<std::uint8_t>(1U << static_cast<unsigned>(type));
}
inline constexpr std::uint8_t kEveryType =
    type_bit(FieldType::String) | type_bit(FieldType::Number) | type_bit(FieldType::Boolean);

template <class Enum>
struct Word {
  Enum value;
  std::string_view spelling;
  std::string_view variant_name;
};

// What the right-hand side of a version-2 comparison is.
enum class Operand : std::uint8_t {
  Value,  // a literal or another field, as in version 1
  List,   // a list literal
  None,   // no `value` key
  Text,   // a text literal
};

struct OperatorWord {
  Operator value;
  std::string_view spelling;
  std::string_view variant_name;
  std::uint8_t types;     // type_bit of each field type it applies to in version 1
  std::uint8_t accepts;   // the outcomes for which it holds, for a comparison of two values
  std::uint32_t since;    // the first policy language version that knows the word
  std::uint8_t v2_types;  // the field types it applies to from version 2 on
  Operand operand;        // what it compares with from version 2 on
};

inline constexpr std::array<Word<Domain>, 3> kDomains = {{
    {Domain::Action, "action", "Action"},
    {Domain::Actor, "actor", "Actor"},
    {Domain::Snapshot, "snapshot", "Snapshot"},
}};

inline constexpr std::uint8_t kNumberType = type_bit(FieldType::Number);
inline constexpr std::uint8_t kStringType = type_bit(FieldType::String);

inline constexpr std::array<OperatorWord, 12> kOperators = {{
    {Operator::Equals, "equals", "Equals", kEveryType, kOutcomeEqual, 1, kEveryType,
     Operand::Value},
    {Operator::NotEquals, "not_equals", "NotEquals", kEveryType,
     kOutcomeLess | kOutcomeGreater | kOutcomeUnordered, 1, kEveryType, Operand::Value},
    {Operator::GreaterThan, "greater_than", "GreaterThan", kNumberType, kOutcomeGreater, 1,
     kNumberType, Operand::Value},
    {Operator::LessThan, "less_than", "LessThan", kNumberType, kOutcomeLess, 1, kNumberType,
     Operand::Value},
    // Spelled by version 1 but applicable to no type there: always rejected.
    // From version 2 on they take a list literal.
    {Operator::In, "in", "In", 0, 0, 1, kEveryType, Operand::List},
    {Operator::NotIn, "not_in", "NotIn", 0, 0, 1, kEveryType, Operand::List},
    {Operator::GreaterOrEqual, "greater_or_equal", "GreaterOrEqual", kNumberType,
     kOutcomeGreater | kOutcomeEqual, 2, kNumberType, Operand::Value},
    {Operator::LessOrEqual, "less_or_equal", "LessOrEqual", kNumberType,
     kOutcomeLess | kOutcomeEqual, 2, kNumberType, Operand::Value},
    // Not comparisons of two values: no outcome mask, so the laid-out
    // checks of the rule index never take them (their rules are visited).
    {Operator::Present, "present", "Present", 0, 0, 2, kEveryType, Operand::None},
    {Operator::Absent, "absent", "Absent", 0, 0, 2, kEveryType, Operand::None},
    {Operator::StartsWith, "starts_with", "StartsWith", 0, 0, 2, kStringType, Operand::Text},
    {Operator::EndsWith, "ends_with", "EndsWith", 0, 0, 2, kStringType, Operand::Text},
}};

inline constexpr std::array<Word<FieldType>, 3> kFieldTypes = {{
    {FieldType::String, "string", "String"},
    {FieldType::Number, "number", "Number"},
    {FieldType::Boolean, "boolean", "Boolean"},
}};

inline constexpr std::array<Word<Effect>, 3> kEffects = {{
    {Effect::Allow, "allow", "Allow"},
    {Effect::Block, "block", "Block"},
    {Effect::RequireApproval, "require_approval", "RequireApproval"},
}};

inline constexpr int kDomainCount = static_cast<int>(kDomains.size());

template <class Enum>
struct Vocabulary;
template <>
struct Vocabulary<Domain> {
  static constexpr const auto& words = kDomains;
};
template <>
struct Vocabulary<Operator> {
  static constexpr const auto& words = kOperators;
};
template <>
struct Vocabulary<FieldType> {
  static constexpr const auto& words = kFieldTypes;
};
template <>
struct Vocabulary<Effect> {
  static constexpr const auto& words = kEffects;
};

template <class Enum>
constexpr const auto& word(Enum value) {
  return Vocabulary<Enum>::words[static_cast<std::size_t>(value)];
}
template <class Enum>
constexpr std::string_view spelling(Enum value) {
  return word(value).spelling;
}
template <class Enum>
constexpr std::string_view variant_name(Enum value) {
  return word(value).variant_name;
}

// Exact, case-sensitive match of a document spelling.
template <class Enum>
constexpr std::optional<Enum> from_spelling(std::string_view text) {
  for (const auto& entry : Vocabulary<Enum>::words) {
    if (entry.spelling == text) return entry.value;
  }
  return std::nullopt;
}

// The spellings and values in table order, as the document readers list them.
template <class Enum>
constexpr auto spellings_of() {
  std::array<std::string_view, Vocabulary<Enum>::words.size()> spellings{};
  for (std::size_t i = 0; i < spellings.size(); ++i) {
    spellings[i] = Vocabulary<Enum>::words[i].spelling;
  }
  return spellings;
}
template <class Enum>
constexpr auto values_of() {
  std::array<Enum, Vocabulary<Enum>::words.size()> values{};
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = Vocabulary<Enum>::words[i].value;
  return values;
}

constexpr bool applies_to(Operator op, FieldType type) {
  return (word(op).types & type_bit(type)) != 0;
}

// The operator spelled `text` in a document of language `version`, if that
// version knows it: version 1 keeps its own words and messages.
constexpr std::optional<Operator> operator_in_version(std::string_view text,
                                                      std::uint32_t version) {
  const auto op = from_spelling<Operator>(text);
  if (!op || word(*op).since > version) return std::nullopt;
  return op;
}

// True when `op` compares two values by outcome, as every version-1 operator
// does (greater_or_equal and less_or_equal too).
constexpr bool compares_values(Operator op) {
  return word(op).operand == Operand::Value;
}

// Rows must sit at their enumerator's position for word() to find them, one
// row per enumerator: a new enumerator fails to compile here until its row is
// added, and (switches over these enumerations being exhaustive, with
// -Werror=switch) wherever a switch does not handle it.
template <class Enum>
constexpr bool one_row_per_enumerator() {
  if (Vocabulary<Enum>::words.size() != enumerator_count<Enum>()) return false;
  for (std::size_t i = 0; i < Vocabulary<Enum>::words.size(); ++i) {
    if (static_cast<std::size_t>(Vocabulary<Enum>::words[i].value) != i) return false;
  }
  return true;
}
static_assert(one_row_per_enumerator<Domain>());
static_assert(one_row_per_enumerator<Operator>());
static_assert(one_row_per_enumerator<FieldType>());
static_assert(one_row_per_enumerator<Effect>());

}  // namespace kavro::documents
