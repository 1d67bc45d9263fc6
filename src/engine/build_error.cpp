#include "engine/build_error.h"

#include "compiler/text_form.h"

namespace kavro::engine {

BuildError::BuildError(Document document, Reason reason)
    : document_(document), reason_(std::move(reason)) {
  if (const documents::LoadError* load = load_error()) {
    if (load->position()) place_ = place_of(*load->position());
    path_ = load->path();
  }
}

void BuildError::locate(std::optional<Place> place, std::string path) {
  place_ = place;
  path_ = std::move(path);
}

void BuildError::set_violations(std::vector<PlacedViolation> violations) {
  violations_ = std::move(violations);
}

std::string_view BuildError::document_name() const {
  switch (document_) {
    case Document::Schema:
      return "schema";
    case Document::Policy:
      return "policy";
    case Document::Governance:
      return "governance";
  }
  return "policy";
}

std::string_view BuildError::kind() const {
  const compiler::CompileError* compile = compile_error();
  if (compile == nullptr) return load_error() != nullptr ? "Load" : "GovernanceFailed";
  switch (compile->kind) {
    case compiler::CompileErrorKind::UnknownAction:
      return "UnknownAction";
    case compiler::CompileErrorKind::InvalidScope:
      return "InvalidScope";
    case compiler::CompileErrorKind::UnknownDomain:
      return "UnknownDomain";
    case compiler::CompileErrorKind::UnknownField:
      return "UnknownField";
    case compiler::CompileErrorKind::UnknownOperator:
      return "UnknownOperator";
    case compiler::CompileErrorKind::InvalidLogicalCondition:
      return "InvalidLogicalCondition";
    case compiler::CompileErrorKind::TypeMismatch:
      return "TypeMismatch";
    case compiler::CompileErrorKind::UnsupportedOperator:
      return "UnsupportedOperator";
    case compiler::CompileErrorKind::InvalidComparison:
      return "InvalidComparison";
  }
  return "Compile";
}

std::optional<documents::Position> BuildError::position() const {
  if (const documents::LoadError* load = load_error()) return load->position();
  return std::nullopt;
}

const std::optional<compiler::RuleRef>& BuildError::rule() const {
  static const std::optional<compiler::RuleRef> none;
  if (const compiler::CompileError* compile = compile_error()) return compile->rule;
  return none;
}

std::string BuildError::render() const {
  if (const documents::LoadError* load = load_error()) return load->render();
  if (const compiler::CompileError* compile = compile_error()) return compile->render();
  return "governance validation failed: " + violations_text(governance_failure()->violations);
}

std::string violations_text(const std::vector<governance::GovernanceViolation>& violations) {
  std::string text = "[";
  for (std::size_t i = 0; i < violations.size(); ++i) {
    if (i) text += ", ";
    text += "GovernanceViolation { rule_id: ";
    compiler::append_quoted_text(text, violations[i].rule_id);
    text += ", message: ";
    compiler::append_quoted_text(text, violations[i].message);
    text += " }";
  }
  text += ']';
  return text;
}

}  // namespace kavro::engine
