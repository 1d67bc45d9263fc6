// What a violated governance rule demanded and what the policy holds instead,
// in words, for error reports. Only describes: judging is find_violations'.
#pragma once

#include <string>

#include "documents/governance_ast.h"
#include "documents/policy_ast.h"

namespace kavro::governance {

struct ViolationDetails {
  std::string constraint;  // "max_count: 1", "allowed_fields: [actor.role]"
  std::string found;       // "2 rules selected: 'a', 'b'"
};

// The constraint as written, for example "max_count: 1".
std::string describe_constraint(const documents::Constraint& must);

ViolationDetails describe_violation(const documents::GovernanceRule& rule,
                                    const documents::PolicyAst& policy);

}  // namespace kavro::governance
