// Records of the governance document. An absent optional member (or one given
// as null) places no restriction.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kavro {

struct AppliesTo {
  std::vector<std::string> actions;
};

struct SubjectFilter {
  std::optional<std::string> domain;
  std::optional<std::string> field;
};

struct WhenFilter {
  std::optional<SubjectFilter> subject;
};

struct ScopeFilter {
  std::optional<bool> global;
  std::optional<std::string> action;
};

struct RuleFilter {
  std::optional<std::string> id;
  std::optional<ScopeFilter> scope;
  std::optional<std::string> effect;  // free text, compared with the effect spelling
  std::optional<WhenFilter> when;
};

struct Selector {
  RuleFilter where;
};

struct ExistsConstraint {
  bool exists = false;
};
struct MinCountConstraint {
  std::uint64_t min_count = 0;
};
struct MaxCountConstraint {
  std::uint64_t max_count = 0;
};
struct ForbidConstraint {
  bool forbid = false;
};
struct AllowedFieldsConstraint {
  std::vector<std::string> allowed_fields;
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
};

struct GovernanceBlock {
  std::vector<GovernanceRule> rules;
};

struct GovernanceAst {
  std::uint32_t version = 0;
  GovernanceBlock governance;
};

}  // namespace kavro
