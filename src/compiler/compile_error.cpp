#include "compiler/compile_error.h"

#include <utility>

namespace kavro::compiler {

CompileError CompileError::unknown_action(std::string action) {
  return {CompileErrorKind::UnknownAction, std::move(action), {}, {}, {}};
}

CompileError CompileError::invalid_scope() {
  return {CompileErrorKind::InvalidScope, {}, {}, {}, {}};
}

CompileError CompileError::unknown_domain(std::string domain) {
  return {CompileErrorKind::UnknownDomain, std::move(domain), {}, {}, {}};
}

CompileError CompileError::unknown_field(documents::Domain domain, std::string field) {
  return {CompileErrorKind::UnknownField, std::string(spelling(domain)), std::move(field), {}, {}};
}

CompileError CompileError::unknown_operator(std::string op) {
  return {CompileErrorKind::UnknownOperator, std::move(op), {}, {}, {}};
}

CompileError CompileError::invalid_logical_condition() {
  return {CompileErrorKind::InvalidLogicalCondition, {}, {}, {}, {}};
}

CompileError CompileError::type_mismatch(documents::FieldType left, documents::FieldType right) {
  return {CompileErrorKind::TypeMismatch,
          std::string(variant_name(left)),
          std::string(variant_name(right)),
          {},
          {}};
}

// The type is named by its lower-case document word here, unlike the
// CamelCase names of the type-mismatch message.
CompileError CompileError::unsupported_operator(documents::Operator op, documents::FieldType type) {
  return {CompileErrorKind::UnsupportedOperator,
          std::string(variant_name(op)),
          std::string(spelling(type)),
          {},
          {}};
}

CompileError CompileError::invalid_comparison(std::string message) {
  return {CompileErrorKind::InvalidComparison, std::move(message), {}, {}, {}};
}

std::string_view CompileError::rule_part() const {
  if (!where.empty()) return where;
  switch (kind) {
    case CompileErrorKind::UnknownAction:
    case CompileErrorKind::InvalidScope:
      return ".scope";
    case CompileErrorKind::UnknownDomain:
    case CompileErrorKind::UnknownField:
    case CompileErrorKind::UnknownOperator:
    case CompileErrorKind::InvalidLogicalCondition:
    case CompileErrorKind::TypeMismatch:
    case CompileErrorKind::UnsupportedOperator:
    case CompileErrorKind::InvalidComparison:
      return ".when";
  }
  return "";
}

std::string CompileError::render() const {
  switch (kind) {
    case CompileErrorKind::UnknownAction:
      return "unknown action '" + first + "' in scope";
    case CompileErrorKind::InvalidScope:
      return "invalid scope configuration";
    case CompileErrorKind::UnknownDomain:
      return "unknown domain '" + first + "'";
    case CompileErrorKind::UnknownField:
      // The field leads the message although the domain is recorded first.
      return "unknown field '" + second + "' in domain '" + first + "'";
    case CompileErrorKind::UnknownOperator:
      return "unknown operator '" + first + "'";
    case CompileErrorKind::InvalidLogicalCondition:
      return "invalid logical condition: must contain at least two conditions";
    case CompileErrorKind::TypeMismatch:
      return "type mismatch: left is '" + first + "', right is '" + second + "'";
    case CompileErrorKind::UnsupportedOperator:
      return "operator '" + first + "' not supported for type '" + second + "'";
    case CompileErrorKind::InvalidComparison:
      return first;
  }
  return {};
}

}  // namespace kavro::compiler
