#include "governance/governance_checker.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <variant>

#include "documents/vocabulary.h"

namespace kavro {
namespace {

// `All` and `Any` lists count alike: only their members are inspected.
std::span<const AtomicConditionAst> atomic_conditions(const ConditionAst& when) {
  if (const auto* atomic = std::get_if<AtomicConditionAst>(&when)) return {atomic, 1};
  if (const auto* all = std::get_if<AllConditionAst>(&when)) return all->all;
  return std::get<AnyConditionAst>(when).any;
}

bool scope_matches(const ScopeFilter& filter, const ScopeAst& scope) {
  if (filter.global) {
    const auto* global = std::get_if<GlobalScopeAst>(&scope);
    // `global: false` selects every rule that is not a global rule in effect,
    // including a global scope whose flag is false.
    if ((global != nullptr && global->global) != *filter.global) return false;
  }
  if (filter.action) {
    const auto* action = std::get_if<ActionScopeAst>(&scope);
    if (action == nullptr || action->action != *filter.action) return false;
  }
  return true;
}

// Only left-hand subjects are examined; domain and field must match within
// the same condition.
bool subject_matches(const SubjectFilter& filter, const ConditionAst& when) {
  for (const auto& atomic : atomic_conditions(when)) {
    if ((!filter.domain || *filter.domain == atomic.subject.domain) &&
        (!filter.field || *filter.field == atomic.subject.field)) {
      return true;
    }
  }
  return false;
}

using NameSet = std::unordered_set<std::string_view>;

NameSet scoped_actions(const PolicyAst& policy) {
  NameSet actions;
  for (const auto& rule : policy.rules) {
    if (const auto* action = std::get_if<ActionScopeAst>(&rule.scope)) {
      actions.insert(action->action);
    }
  }
  return actions;
}

// The gate decides only whether the rule is checked; it does not narrow the
// selection.
bool gate_open(const GovernanceRule& rule, const NameSet& policy_actions) {
  if (!rule.applies_to) return true;
  for (const auto& name : rule.applies_to->actions) {
    if (policy_actions.contains(name)) return true;
  }
  return false;
}

std::uint64_t count_selected(const RuleFilter& filter, const PolicyAst& policy) {
  std::uint64_t count = 0;
  for (const auto& rule : policy.rules) count += rule_is_selected(filter, rule) ? 1 : 0;
  return count;
}

// True when a selected rule tests a field (as "domain.field") outside the list.
bool reads_other_field(const RuleFilter& filter, const PolicyAst& policy,
                       const std::vector<std::string>& allowed_fields) {
  const NameSet allowed(allowed_fields.begin(), allowed_fields.end());
  std::string key;
  for (const auto& rule : policy.rules) {
    if (!rule_is_selected(filter, rule)) continue;
    for (const auto& atomic : atomic_conditions(rule.when)) {
      key.assign(atomic.subject.domain).append(".").append(atomic.subject.field);
      if (!allowed.contains(key)) return true;
    }
  }
  return false;
}

bool constraint_violated(const GovernanceRule& rule, const PolicyAst& policy) {
  const RuleFilter& filter = rule.select.where;
  if (const auto* fields = std::get_if<AllowedFieldsConstraint>(&rule.must)) {
    return reads_other_field(filter, policy, fields->allowed_fields);
  }
  const std::uint64_t selected = count_selected(filter, policy);
  if (const auto* exists = std::get_if<ExistsConstraint>(&rule.must)) {
    return exists->exists ? selected == 0 : selected > 0;
  }
  if (const auto* min = std::get_if<MinCountConstraint>(&rule.must)) {
    return selected < min->min_count;
  }
  if (const auto* max = std::get_if<MaxCountConstraint>(&rule.must)) {
    return selected > max->max_count;
  }
  return std::get<ForbidConstraint>(rule.must).forbid && selected > 0;
}

}  // namespace

bool rule_is_selected(const RuleFilter& filter, const RuleAst& rule) {
  if (filter.id && *filter.id != rule.id) return false;
  if (filter.scope && !scope_matches(*filter.scope, rule.scope)) return false;
  if (filter.effect && *filter.effect != spelling(rule.effect)) return false;
  if (filter.when && filter.when->subject && !subject_matches(*filter.when->subject, rule.when)) {
    return false;
  }
  return true;
}

std::vector<GovernanceViolation> find_violations(const PolicyAst& policy,
                                                 const std::vector<GovernanceRule>& rules) {
  const NameSet policy_actions = scoped_actions(policy);
  std::vector<GovernanceViolation> violations;
  for (const auto& rule : rules) {
    if (gate_open(rule, policy_actions) && constraint_violated(rule, policy)) {
      violations.push_back({rule.id, rule.error});
    }
  }
  return violations;
}

}  // namespace kavro
