// The governance checker: applies governance rules to the policy document as
// written, before compilation. Collects every violation; with none, returns
// the compiler's result unchanged.
#pragma once

#include <string>
#include <vector>

#include "compiler/compile_error.h"
#include "compiler/compiled_policy.h"
#include "compiler/schema_index.h"
#include "documents/governance_ast.h"
#include "documents/policy_ast.h"
#include "support/result.h"

namespace kavro {

// Every violated governance rule, in governance document order. Costs about
// the size of both documents, however many rules each holds.
std::vector<GovernanceViolation> find_violations(const PolicyAst& policy,
                                                 const std::vector<GovernanceRule>& rules);

// find_violations, then the compiler when there is none.
Result<CompiledPolicy, CompileError> check_governance(const SchemaIndex& schema,
                                                      const PolicyAst& policy,
                                                      const std::vector<GovernanceRule>& rules);

bool rule_is_selected(const RuleFilter& filter, const RuleAst& rule);

// The text that follows "governance validation failed: ".
std::string render_violations(const std::vector<GovernanceViolation>& violations);

}  // namespace kavro
