// CompileError: the single error value of compiling and of the governance
// check. Renders itself as the message shown to the Python caller.
#pragma once

#include <string>
#include <vector>

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
  std::string first;   // first text argument, when the kind has one
  std::string second;  // second text argument, when the kind has two
  std::vector<GovernanceViolation> violations;  // GovernanceFailed only

  std::string render() const;
};

}  // namespace kavro
