// Records of the governance document. An absent optional member (or one given
// as null) places no restriction.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kavro::documents {

struct AppliesTo {
  std::vector<std::string> actions;
  bool operator==(const AppliesTo&) const = default;
};

struct SubjectFilter {
  std::optional<std::string> domain;
  std::optional<std::string> field;
  bool operator==(const SubjectFilter&) const = default;
};

struct WhenFilter {
  std::optional<SubjectFilter> subject;
  bool operator==(const WhenFilter&) const = default;
};

struct ScopeFilter {
  std::optional<bool> global;
  std::optional<std::string> action;
  bool operator==(const ScopeFilter&) const = default;
};

struct RuleFilter {
  std::optional<std::string> id;
  std::optional<ScopeFilter> scope;
  std::optional<std::string> effect;  // free text, compared with the effect spelling
  std::optional<WhenFilter> when;
  bool operator==(const RuleFilter&) const = default;
};

struct Selector {
  RuleFilter where;
  bool operator==(const Selector&) const = default;
};

struct ExistsConstraint {
  bool exists = false;
  bool operator==(const ExistsConstraint&) const = default;
};
struct MinCountConstraint {
  std::uint64_t min_count = 0;
  bool operator==(const MinCountConstraint&) const = default;
};
struct MaxCountConstraint {
  std::uint64_t max_count = 0;
  bool operator==(const MaxCountConstraint&) const = default;
};
struct ForbidConstraint {
  bool forbid = false;
  bool operator==(const ForbidConstraint&) const = default;
};
struct AllowedFieldsConstraint {
  std::vector<std::string> allowed_fields;
  bool operator==(const AllowedFieldsConstraint&) const = default;
};
// Alternatives in trial order: Exists, MinCount, MaxCount, Forbid, AllowedFields.
using Constraint = std::variant<ExistsConstraint, MinCountConstraint, MaxCountConstraint,
                                ForbidConstraint, AllowedFieldsConstraint>;

struct GovernanceRule {
  std::string id;
  std::optional<AppliesTo> applies_to;
  Selector select;
  Constraint must;
  std::string error;
  bool operator==(const GovernanceRule&) const = default;
};

struct GovernanceBlock {
  std::vector<GovernanceRule> rules;
  bool operator==(const GovernanceBlock&) const = default;
};

struct GovernanceAst {
  std::uint32_t version = 0;
  GovernanceBlock governance;
  bool operator==(const GovernanceAst&) const = default;
};

}  // namespace kavro::documents
