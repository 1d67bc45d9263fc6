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
  auto schema = load_schema(schema_text);
  if (!schema) return fail(BuildError(Document::Schema, std::move(schema).error()));
  auto policy = load_policy(policy_text);
  if (!policy) return fail(BuildError(Document::Policy, std::move(policy).error()));
  if (!governance_text) return from_documents(*schema, *policy, nullptr);
  auto governance = load_governance(*governance_text);
  if (!governance) return fail(BuildError(Document::Governance, std::move(governance).error()));
  return from_documents(*schema, *policy, &governance->governance.rules);
}

Result<Policy, BuildError> Policy::from_documents(const SchemaAst& schema, const PolicyAst& policy,
                                                  const std::vector<GovernanceRule>* governance) {
  if (governance != nullptr) {
    auto violations = find_violations(policy, *governance);
    if (!violations.empty()) {
      return fail(BuildError(Document::Governance, GovernanceFailure{std::move(violations)}));
    }
  }
  auto compiled = compile_policy(build_schema_index(schema), policy);
  if (!compiled) return fail(BuildError(Document::Policy, std::move(compiled).error()));
  return Policy(Plan::build(std::move(compiled).value()));
}

EvaluationResult Policy::evaluate(const EvaluationInput& input) const {
  return evaluate_policy(plan_, input);
}

std::string Policy::policy_hash() const {
  return kavro::policy_hash(plan_.model());
}

}  // namespace kavro::engine
