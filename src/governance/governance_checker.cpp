#include "governance/governance_checker.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <variant>

#include "documents/vocabulary.h"
#include "governance/selection_index.h"
#include "support/overloaded.h"

namespace kavro::governance {
namespace {

bool scope_matches(const documents::ScopeFilter& filter, const documents::ScopeAst& scope) {
  if (filter.global) {
    const auto* global = std::get_if<documents::GlobalScopeAst>(&scope);
    // `global: false` selects every rule that is not a global rule in effect,
    // including a global scope whose flag is false.
    if ((global != nullptr && global->global) != *filter.global) return false;
  }
  if (filter.action) {
    const auto* action = std::get_if<documents::ActionScopeAst>(&scope);
    if (action == nullptr || action->action != *filter.action) return false;
  }
  return true;
}

// Only left-hand subjects are examined; domain and field must match within
// the same condition.
bool subject_matches(const documents::SubjectFilter& filter, const documents::ConditionAst& when) {
  for (const auto& atomic : documents::atomic_conditions(when)) {
    if ((!filter.domain || *filter.domain == atomic.subject.domain) &&
        (!filter.field || *filter.field == atomic.subject.field)) {
      return true;
    }
  }
  return false;
}

// The gate decides only whether the rule is checked; it does not narrow the
// selection.
bool gate_open(const documents::GovernanceRule& rule, const detail::SelectionIndex& index) {
  if (!rule.applies_to) return true;
  for (const auto& name : rule.applies_to->actions) {
    if (index.has_action_rule(name)) return true;
  }
  return false;
}

bool constraint_violated(const documents::GovernanceRule& rule, detail::SelectionIndex& index) {
  const documents::RuleFilter& filter = rule.select.where;
  return std::visit(Overloaded{[&](const documents::AllowedFieldsConstraint& fields) {
                                 return index.selects_other_field(filter, fields.allowed_fields);
                               },
                               [&](const documents::ExistsConstraint& exists) {
                                 const std::uint64_t selected = index.count(filter);
                                 return exists.exists ? selected == 0 : selected > 0;
                               },
                               [&](const documents::MinCountConstraint& min) {
                                 return index.count(filter) < min.min_count;
                               },
                               [&](const documents::MaxCountConstraint& max) {
                                 return index.count(filter) > max.max_count;
                               },
                               [&](const documents::ForbidConstraint& forbid) {
                                 return forbid.forbid && index.count(filter) > 0;
                               }},
                    rule.must);
}

std::size_t longest_allowed_fields(const std::vector<documents::GovernanceRule>& rules) {
  std::size_t longest = 0;
  for (const auto& rule : rules) {
    if (const auto* fields = std::get_if<documents::AllowedFieldsConstraint>(&rule.must)) {
      longest = std::max(longest, fields->allowed_fields.size());
    }
  }
  return longest;
}

}  // namespace

bool rule_is_selected(const documents::RuleFilter& filter, const documents::RuleAst& rule) {
  if (filter.id && *filter.id != rule.id) return false;
  if (filter.scope && !scope_matches(*filter.scope, rule.scope)) return false;
  if (filter.effect && *filter.effect != documents::spelling(rule.effect)) return false;
  if (filter.when && filter.when->subject && !subject_matches(*filter.when->subject, rule.when)) {
    return false;
  }
  return true;
}

std::vector<GovernanceViolation> find_violations(
    const documents::PolicyAst& policy, const std::vector<documents::GovernanceRule>& rules) {
  detail::SelectionIndex index(policy, longest_allowed_fields(rules));
  std::vector<GovernanceViolation> violations;
  for (const auto& rule : rules) {
    if (gate_open(rule, index) && constraint_violated(rule, index)) {
      violations.push_back({rule.id, rule.error});
    }
  }
  return violations;
}

}  // namespace kavro::governance
