// CompileError: the single error value of compiling and of the governance
// check. Renders itself as the message shown to the Python caller.
#pragma once

#include <string>
#include <vector>

#include "compiler/enums.h"

namespace kavro {

struct GovernanceViolation {
  std::string rule_id;
  std::string message;
};

enum class CompileErrorKind {
  UnknownAction,
  InvalidScope,
  UnknownDomain,
  UnknownField,
  UnknownOperator,
  InvalidLogicalCondition,
  TypeMismatch,
  UnsupportedOperator,
  GovernanceFailed,
};

struct CompileError {
  CompileErrorKind kind;
  std::string first;                            // first text argument, when the kind has one
  std::string second;                           // second text argument, when the kind has two
  std::vector<GovernanceViolation> violations;  // GovernanceFailed only

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
  static CompileError governance_failed(std::vector<GovernanceViolation> violations);
};

}  // namespace kavro
