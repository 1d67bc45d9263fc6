// CompileError: the single error value of compiling. Renders itself as the
// message shown to the Python caller.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "documents/vocabulary.h"

namespace kavro::compiler {

enum class CompileErrorKind {
  UnknownAction,
  InvalidScope,
  UnknownDomain,
  UnknownField,
  UnknownOperator,
  InvalidLogicalCondition,
  TypeMismatch,
  UnsupportedOperator,
  // Version 2: a comparison its field's type does not allow; the message
  // names what may be written instead.
  InvalidComparison,
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
  // The part of the rule the error is about (".when.all[1]"), when it is
  // narrower than the rule's `when`; never rendered.
  std::string where;

  std::string render() const;
  // The part of its rule the error is about, as a location path suffix
  // (`where` when set, else ".scope" or ".when"): where the build places
  // it, and lint too.
  std::string_view rule_part() const;

  // Builders that fill the arguments in the form each message expects.
  static CompileError unknown_action(std::string action);
  static CompileError invalid_scope();
  static CompileError unknown_domain(std::string domain);
  static CompileError unknown_field(documents::Domain domain, std::string field);
  static CompileError unknown_operator(std::string op);
  static CompileError invalid_logical_condition();
  static CompileError type_mismatch(documents::FieldType left, documents::FieldType right);
  static CompileError unsupported_operator(documents::Operator op, documents::FieldType type);
  static CompileError invalid_comparison(std::string message);
};

}  // namespace kavro::compiler
