// The governance checker: a predicate over the policy document as written.
// It judges the policy and returns every violation, in governance order; it
// neither compiles nor changes anything.
#pragma once

#include <vector>

#include "documents/governance_ast.h"
#include "documents/policy_ast.h"
#include "governance/violation.h"

namespace kavro {

// Every violated governance rule, in governance document order. Costs about
// the size of both documents, however many rules each holds.
std::vector<GovernanceViolation> find_violations(const PolicyAst& policy,
                                                 const std::vector<GovernanceRule>& rules);

bool rule_is_selected(const RuleFilter& filter, const RuleAst& rule);

}  // namespace kavro
