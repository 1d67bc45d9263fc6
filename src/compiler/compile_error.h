// CompileError: the single error value of compiling. Renders itself as the
// message shown to the Python caller.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "documents/vocabulary.h"

namespace kavro {

enum class CompileErrorKind {
  UnknownAction,
  InvalidScope,
  UnknownDomain,
  UnknownField,
  UnknownOperator,
  InvalidLogicalCondition,
  TypeMismatch,
  UnsupportedOperator,
};

// The policy rule a compile error belongs to.
struct RuleRef {
  std::size_t index = 0;  // in the document's rule list, from 0
  std::string id;
};

struct CompileError {
  CompileErrorKind kind;
  std::string first;   // first text argument, when the kind has one
  std::string second;  // second text argument, when the kind has two
  // Set by compile_policy for every error found inside a rule; never rendered.
  std::optional<RuleRef> rule;

  std::string render() const;

  // Builders that fill the arguments in the form each message expects.
  static CompileError unknown_action(std::string action);
  static CompileError invalid_scope();
  static CompileError unknown_domain(std::string domain);
  static CompileError unknown_field(Domain domain, std::string field);
  static CompileError unknown_operator(std::string op);
  static CompileError invalid_logical_condition();
  static CompileError type_mismatch(FieldType left, FieldType right);
  static CompileError unsupported_operator(Operator op, FieldType type);
};

}  // namespace kavro
