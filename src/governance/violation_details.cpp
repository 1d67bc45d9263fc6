#include "governance/violation_details.h"

#include <string_view>
#include <utility>
#include <variant>

#include "documents/policy_ast.h"
#include "governance/governance_checker.h"
#include "support/overloaded.h"

namespace kavro::governance {
namespace {

// A report names a few items and counts the rest: a policy may select tens of
// thousands of rules, and every violation would otherwise list them all.
constexpr std::size_t kListedItems = 10;

struct Listing {
  std::vector<std::string> named;
  std::size_t total = 0;

  void add(std::string item) {
    if (named.size() < kListedItems) named.push_back(std::move(item));
    ++total;
  }

  std::string joined(std::string_view quote) const {
    std::string text;
    for (const std::string& item : named) {
      if (!text.empty()) text += ", ";
      text += quote;
      text += item;
      text += quote;
    }
    if (total > named.size()) text += " and " + std::to_string(total - named.size()) + " more";
    return text;
  }
};

}  // namespace

std::string describe_constraint(const documents::Constraint& must) {
  return std::visit(
      Overloaded{[](const documents::ExistsConstraint& exists) -> std::string {
                   return exists.exists ? "exists: true" : "exists: false";
                 },
                 [](const documents::MinCountConstraint& min) -> std::string {
                   return "min_count: " + std::to_string(min.min_count);
                 },
                 [](const documents::MaxCountConstraint& max) -> std::string {
                   return "max_count: " + std::to_string(max.max_count);
                 },
                 [](const documents::ForbidConstraint& forbid) -> std::string {
                   return forbid.forbid ? "forbid: true" : "forbid: false";
                 },
                 [](const documents::AllowedFieldsConstraint& allowed) -> std::string {
                   Listing fields;
                   for (const std::string& name : allowed.allowed_fields) fields.add(name);
                   return "allowed_fields: [" + fields.joined("") + "]";
                 }},
      must);
}

ViolationDetails describe_violation(const documents::GovernanceRule& rule,
                                    const documents::PolicyAst& policy) {
  const documents::RuleFilter& filter = rule.select.where;
  Listing selected;
  Listing outside;
  const auto* allowed = std::get_if<documents::AllowedFieldsConstraint>(&rule.must);
  for (const documents::RuleAst& candidate : policy.rules) {
    if (!rule_is_selected(filter, candidate)) continue;
    selected.add(candidate.id);
    if (allowed == nullptr) continue;
    for (const documents::AtomicConditionAst& atomic : atomic_conditions(candidate.when)) {
      std::string field = atomic.subject.domain + "." + atomic.subject.field;
      bool listed = false;
      for (const std::string& name : allowed->allowed_fields) listed = listed || name == field;
      if (!listed) outside.add("rule '" + candidate.id + "' reads " + field);
    }
  }
  std::string found;
  if (allowed != nullptr) {
    found = outside.joined("");
  } else if (selected.total == 0) {
    found = "no rule selected";
  } else {
    found = std::to_string(selected.total) + (selected.total == 1 ? " rule" : " rules") +
            " selected: " + selected.joined("'");
  }
  return {describe_constraint(rule.must), std::move(found)};
}

}  // namespace kavro::governance
