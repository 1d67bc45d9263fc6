// The enumerations of the compiled model. The numeric code of each variant is
// its position; names are the CamelCase variant names used by messages and the
// text form, spellings are those of the YAML documents.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kavro {

enum class Domain : std::uint8_t { Action = 0, Actor = 1, Snapshot = 2 };
enum class Operator : std::uint8_t {
  Equals = 0,
  NotEquals = 1,
  GreaterThan = 2,
  LessThan = 3,
  In = 4,
  NotIn = 5,
};
enum class FieldType : std::uint8_t { String = 0, Number = 1, Boolean = 2 };
enum class Effect : std::uint8_t { Allow = 0, Block = 1, RequireApproval = 2 };

inline constexpr int kDomainCount = 3;

std::string_view variant_name(Domain domain);
std::string_view variant_name(Operator op);
std::string_view variant_name(FieldType type);
std::string_view variant_name(Effect effect);

std::string_view spelling(Domain domain);
std::string_view spelling(Operator op);
std::string_view spelling(FieldType type);
std::string_view spelling(Effect effect);

// Exact, case-sensitive matches of the document spellings.
std::optional<Domain> domain_from_spelling(std::string_view text);
std::optional<Operator> operator_from_spelling(std::string_view text);

}  // namespace kavro
