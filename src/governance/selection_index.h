// Answers the two questions governance asks of a selection (how many policy
// rules a filter selects, and whether a selected rule tests a field outside a
// list) without walking the policy once per filter: the rules are grouped once
// per combination of filter members in use, by the values those members test.
// Reads the policy records, which must outlive it; not thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "documents/governance_ast.h"
#include "documents/policy_ast.h"
#include "support/string_map.h"

namespace kavro {

class SelectionIndex {
 public:
  // `allowed_fields_cap`: no `allowed_fields` list asked about is longer.
  SelectionIndex(const PolicyAst& policy, std::size_t allowed_fields_cap);

  // Whether some rule is scoped to exactly this action.
  bool has_action_rule(std::string_view action) const;
  std::uint64_t count(const RuleFilter& filter);
  // True when a selected rule tests a field (as "domain.field") outside the list.
  bool selects_other_field(const RuleFilter& filter, const std::vector<std::string>& allowed);

 private:
  // Texts of the policy as small numbers; a text the policy never uses has
  // none, and a filter that needs one selects nothing.
  using NameId = std::uint32_t;
  static constexpr NameId kNoName = UINT32_MAX;
  static constexpr NameId kNotTested = UINT32_MAX - 1;

  struct RuleFacts {
    NameId id = kNoName;
    NameId action = kNoName;  // action-scoped rules only
    NameId effect = kNoName;
    bool global = false;                              // a global scope whose flag is true
    std::vector<std::pair<NameId, NameId>> subjects;  // distinct (domain, field)
    std::vector<NameId> field_keys;                   // distinct "domain.field"
  };

  // Which filter members a group key holds.
  enum Member : unsigned {
    kId = 1,
    kGlobal = 2,
    kAction = 4,
    kEffect = 8,
    kSubject = 16,
    kDomain = 32,
    kField = 64,
    kMemberCombinations = 128,
  };
  // id, global, action, effect, domain, field; kNotTested where the
  // combination does not test the member.
  using GroupKey = std::array<NameId, 6>;
  struct GroupKeyHash {
    std::size_t operator()(const GroupKey& key) const noexcept;
  };
  // The field keys of a group's rules, or `overflow` once there are more
  // than any `allowed_fields` list can hold.
  struct FieldUnion {
    std::unordered_set<NameId> keys;
    bool overflow = false;
  };
  struct Group {
    std::vector<std::uint32_t> rules;  // indices into facts_, in document order
    std::unique_ptr<FieldUnion> fields;
  };
  using Groups = std::unordered_map<GroupKey, Group, GroupKeyHash>;

  NameId intern(std::string_view text);
  NameId find_name(std::string_view text) const;
  // The group a filter selects; null when it selects no rule.
  Group* selected(const RuleFilter& filter);
  Groups& groups_for(unsigned members);
  const FieldUnion& fields_of(Group& group);

  StringMap<NameId> names_;
  std::vector<RuleFacts> facts_;
  std::vector<bool> action_used_;  // by NameId
  std::size_t allowed_fields_cap_;
  std::array<std::unique_ptr<Groups>, kMemberCombinations> groups_;
};

}  // namespace kavro
