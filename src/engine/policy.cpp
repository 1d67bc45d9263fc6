#include "engine/policy.h"

#include <utility>

#include "compiler/compiler.h"
#include "compiler/policy_hash.h"
#include "documents/loader.h"
#include "governance/governance_checker.h"

namespace kavro::engine {

// Documents load in a fixed order (schema, policy, governance) and the first
// fault wins; governance is judged before compiling, so a rejected policy
// reports its violations even when it would not compile either.
Result<Policy, BuildError> Policy::build(std::string_view schema_text, std::string_view policy_text,
                                         std::optional<std::string_view> governance_text) {
  auto schema = documents::load_schema(schema_text);
  if (!schema) return fail(BuildError(Document::Schema, std::move(schema).error()));
  auto policy = documents::load_policy(policy_text);
  if (!policy) return fail(BuildError(Document::Policy, std::move(policy).error()));
  if (!governance_text) return from_documents(*schema, *policy, nullptr);
  auto governance = documents::load_governance(*governance_text);
  if (!governance) return fail(BuildError(Document::Governance, std::move(governance).error()));
  return from_documents(*schema, *policy, &governance->governance.rules);
}

Result<Policy, BuildError> Policy::from_documents(
    const documents::SchemaAst& schema, const documents::PolicyAst& policy,
    const std::vector<documents::GovernanceRule>* governance) {
  if (governance != nullptr) {
    auto violations = governance::find_violations(policy, *governance);
    if (!violations.empty()) {
      return fail(BuildError(Document::Governance, GovernanceFailure{std::move(violations)}));
    }
  }
  auto compiled = compiler::compile_policy(compiler::build_schema_index(schema), policy);
  if (!compiled) return fail(BuildError(Document::Policy, std::move(compiled).error()));
  return Policy(evaluation::Plan::build(std::move(compiled).value()));
}

evaluation::EvaluationResult Policy::evaluate(const evaluation::EvaluationInput& input) const {
  return evaluate_policy(plan_, input);
}

std::string Policy::policy_hash() const {
  return kavro::compiler::policy_hash(plan_.model());
}

}  // namespace kavro::engine
