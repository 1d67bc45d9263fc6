#include "compiler/enums.h"

#include <array>

namespace kavro {
namespace {

constexpr std::array<std::string_view, 3> kDomainNames = {"Action", "Actor", "Snapshot"};
constexpr std::array<std::string_view, 3> kDomainSpellings = {"action", "actor", "snapshot"};
constexpr std::array<std::string_view, 6> kOperatorNames = {"Equals",   "NotEquals", "GreaterThan",
                                                            "LessThan", "In",        "NotIn"};
constexpr std::array<std::string_view, 6> kOperatorSpellings = {
    "equals", "not_equals", "greater_than", "less_than", "in", "not_in"};
constexpr std::array<std::string_view, 3> kFieldTypeNames = {"String", "Number", "Boolean"};
constexpr std::array<std::string_view, 3> kFieldTypeSpellings = {"string", "number", "boolean"};
constexpr std::array<std::string_view, 3> kEffectNames = {"Allow", "Block", "RequireApproval"};
constexpr std::array<std::string_view, 3> kEffectSpellings = {"allow", "block", "require_approval"};

template <class Enum, std::size_t N>
std::optional<Enum> find_spelling(const std::array<std::string_view, N>& spellings,
                                  std::string_view text) {
  for (std::size_t i = 0; i < N; ++i) {
    if (spellings[i] == text) return static_cast<Enum>(i);
  }
  return std::nullopt;
}

}  // namespace

std::string_view variant_name(Domain domain) {
  return kDomainNames[static_cast<int>(domain)];
}
std::string_view variant_name(Operator op) {
  return kOperatorNames[static_cast<int>(op)];
}
std::string_view variant_name(FieldType type) {
  return kFieldTypeNames[static_cast<int>(type)];
}
std::string_view variant_name(Effect effect) {
  return kEffectNames[static_cast<int>(effect)];
}

std::string_view spelling(Domain domain) {
  return kDomainSpellings[static_cast<int>(domain)];
}
std::string_view spelling(Operator op) {
  return kOperatorSpellings[static_cast<int>(op)];
}
std::string_view spelling(FieldType type) {
  return kFieldTypeSpellings[static_cast<int>(type)];
}
std::string_view spelling(Effect effect) {
  return kEffectSpellings[static_cast<int>(effect)];
}

std::optional<Domain> domain_from_spelling(std::string_view text) {
  return find_spelling<Domain>(kDomainSpellings, text);
}
std::optional<Operator> operator_from_spelling(std::string_view text) {
  return find_spelling<Operator>(kOperatorSpellings, text);
}

}  // namespace kavro
