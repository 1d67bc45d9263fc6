#include "engine/build_error.h"

#include "compiler/text_form.h"

namespace kavro::engine {

std::optional<Position> BuildError::position() const {
  if (const LoadError* load = load_error()) return load->position();
  return std::nullopt;
}

const std::optional<RuleRef>& BuildError::rule() const {
  static const std::optional<RuleRef> none;
  if (const CompileError* compile = compile_error()) return compile->rule;
  return none;
}

std::string BuildError::render() const {
  if (const LoadError* load = load_error()) return load->render();
  if (const CompileError* compile = compile_error()) return compile->render();
  return "governance validation failed: " + violations_text(governance_failure()->violations);
}

std::string violations_text(const std::vector<GovernanceViolation>& violations) {
  std::string text = "[";
  for (std::size_t i = 0; i < violations.size(); ++i) {
    if (i) text += ", ";
    text += "GovernanceViolation { rule_id: ";
    append_quoted_text(text, violations[i].rule_id);
    text += ", message: ";
    append_quoted_text(text, violations[i].message);
    text += " }";
  }
  text += ']';
  return text;
}

}  // namespace kavro::engine
