#include "governance/violation_details.h"

#include <variant>

#include "documents/condition_members.h"
#include "governance/governance_checker.h"

namespace kavro {
namespace {

std::string joined(const std::vector<std::string>& items, std::string_view quote) {
  std::string text;
  for (const std::string& item : items) {
    if (!text.empty()) text += ", ";
    text += quote;
    text += item;
    text += quote;
  }
  return text;
}

std::string constraint_text(const Constraint& must) {
  if (const auto* exists = std::get_if<ExistsConstraint>(&must)) {
    return exists->exists ? "exists: true" : "exists: false";
  }
  if (const auto* min = std::get_if<MinCountConstraint>(&must)) {
    return "min_count: " + std::to_string(min->min_count);
  }
  if (const auto* max = std::get_if<MaxCountConstraint>(&must)) {
    return "max_count: " + std::to_string(max->max_count);
  }
  if (const auto* forbid = std::get_if<ForbidConstraint>(&must)) {
    return forbid->forbid ? "forbid: true" : "forbid: false";
  }
  return "allowed_fields: [" + joined(std::get<AllowedFieldsConstraint>(must).allowed_fields, "") +
         "]";
}

}  // namespace

ViolationDetails describe_violation(const GovernanceRule& rule, const PolicyAst& policy) {
  const RuleFilter& filter = rule.select.where;
  std::vector<std::string> selected;
  std::vector<std::string> outside;
  const auto* allowed = std::get_if<AllowedFieldsConstraint>(&rule.must);
  for (const RuleAst& candidate : policy.rules) {
    if (!rule_is_selected(filter, candidate)) continue;
    selected.push_back(candidate.id);
    if (allowed == nullptr) continue;
    for (const AtomicConditionAst& atomic : condition_members(candidate.when)) {
      std::string field = atomic.subject.domain + "." + atomic.subject.field;
      bool listed = false;
      for (const std::string& name : allowed->allowed_fields) listed = listed || name == field;
      if (!listed) outside.push_back("rule '" + candidate.id + "' reads " + field);
    }
  }
  std::string found;
  if (allowed != nullptr) {
    found = joined(outside, "");
  } else if (selected.empty()) {
    found = "no rule selected";
  } else {
    found = std::to_string(selected.size()) + (selected.size() == 1 ? " rule" : " rules") +
            " selected: " + joined(selected, "'");
  }
  return {constraint_text(rule.must), std::move(found)};
}

}  // namespace kavro
