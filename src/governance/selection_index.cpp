#include "governance/selection_index.h"

#include <algorithm>
#include <variant>

#include "documents/vocabulary.h"
#include "support/text_hash.h"

namespace kavro {
namespace {

template <class T>
void sort_unique(std::vector<T>& values) {
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
}

}  // namespace

std::size_t SelectionIndex::GroupKeyHash::operator()(const GroupKey& key) const noexcept {
  return text_hash(std::string_view(reinterpret_cast<const char*>(key.data()), sizeof key));
}

SelectionIndex::SelectionIndex(const PolicyAst& policy, std::size_t allowed_fields_cap)
    : allowed_fields_cap_(allowed_fields_cap) {
  facts_.reserve(policy.rules.size());
  std::string field_key;
  for (const RuleAst& rule : policy.rules) {
    RuleFacts facts;
    facts.id = intern(rule.id);
    if (const auto* action = std::get_if<ActionScopeAst>(&rule.scope)) {
      facts.action = intern(action->action);
      if (action_used_.size() <= facts.action) action_used_.resize(facts.action + 1);
      action_used_[facts.action] = true;
    }
    if (const auto* global = std::get_if<GlobalScopeAst>(&rule.scope))
      facts.global = global->global;
    facts.effect = intern(spelling(rule.effect));
    for (const AtomicConditionAst& atomic : atomic_conditions(rule.when)) {
      facts.subjects.emplace_back(intern(atomic.subject.domain), intern(atomic.subject.field));
      field_key.assign(atomic.subject.domain).append(".").append(atomic.subject.field);
      facts.field_keys.push_back(intern(field_key));
    }
    sort_unique(facts.subjects);
    sort_unique(facts.field_keys);
    facts_.push_back(std::move(facts));
  }
}

SelectionIndex::NameId SelectionIndex::intern(std::string_view text) {
  const auto [entry, added] = names_.try_emplace(std::string(text), 0);
  if (added) entry->second = static_cast<NameId>(names_.size() - 1);
  return entry->second;
}

SelectionIndex::NameId SelectionIndex::find_name(std::string_view text) const {
  const auto found = names_.find(text);
  return found == names_.end() ? kNoName : found->second;
}

bool SelectionIndex::has_action_rule(std::string_view action) const {
  const NameId id = find_name(action);
  return id < action_used_.size() && action_used_[id];
}

SelectionIndex::Groups& SelectionIndex::groups_for(unsigned members) {
  std::unique_ptr<Groups>& groups = groups_[members];
  if (groups) return *groups;
  groups = std::make_unique<Groups>();
  for (std::uint32_t index = 0; index < facts_.size(); ++index) {
    const RuleFacts& facts = facts_[index];
    GroupKey key;
    key.fill(kNotTested);
    if (members & kId) key[0] = facts.id;
    if (members & kGlobal) key[1] = facts.global ? 1 : 0;
    if (members & kAction) key[2] = facts.action;
    if (members & kEffect) key[3] = facts.effect;
    if (!(members & kSubject)) {
      (*groups)[key].rules.push_back(index);
      continue;
    }
    // A rule joins the group of every subject it tests, once per group.
    for (const auto& [domain, field] : facts.subjects) {
      if (members & kDomain) key[4] = domain;
      if (members & kField) key[5] = field;
      std::vector<std::uint32_t>& rules = (*groups)[key].rules;
      if (rules.empty() || rules.back() != index) rules.push_back(index);
    }
  }
  return *groups;
}

SelectionIndex::Group* SelectionIndex::selected(const RuleFilter& filter) {
  unsigned members = 0;
  GroupKey key;
  key.fill(kNotTested);
  // A text the policy never uses matches no rule.
  const auto tested = [&](unsigned member, std::size_t slot, std::string_view text) {
    members |= member;
    key[slot] = find_name(text);
    return key[slot] != kNoName;
  };
  if (filter.id && !tested(kId, 0, *filter.id)) return nullptr;
  if (filter.scope && filter.scope->global) {
    members |= kGlobal;
    key[1] = *filter.scope->global ? 1 : 0;
  }
  if (filter.scope && filter.scope->action && !tested(kAction, 2, *filter.scope->action)) {
    return nullptr;
  }
  if (filter.effect && !tested(kEffect, 3, *filter.effect)) return nullptr;
  if (filter.when && filter.when->subject) {
    members |= kSubject;
    const SubjectFilter& subject = *filter.when->subject;
    if (subject.domain && !tested(kDomain, 4, *subject.domain)) return nullptr;
    if (subject.field && !tested(kField, 5, *subject.field)) return nullptr;
  }
  Groups& groups = groups_for(members);
  const auto found = groups.find(key);
  return found == groups.end() ? nullptr : &found->second;
}

std::uint64_t SelectionIndex::count(const RuleFilter& filter) {
  const Group* group = selected(filter);
  return group == nullptr ? 0 : group->rules.size();
}

const SelectionIndex::FieldUnion& SelectionIndex::fields_of(Group& group) {
  if (group.fields) return *group.fields;
  group.fields = std::make_unique<FieldUnion>();
  FieldUnion& fields = *group.fields;
  for (std::uint32_t index : group.rules) {
    const std::vector<NameId>& keys = facts_[index].field_keys;
    // More distinct keys than any list holds: every list misses one.
    if (keys.size() > allowed_fields_cap_) {
      fields.overflow = true;
      break;
    }
    fields.keys.insert(keys.begin(), keys.end());
    if (fields.keys.size() > allowed_fields_cap_) {
      fields.overflow = true;
      break;
    }
  }
  if (fields.overflow) fields.keys.clear();
  return fields;
}

bool SelectionIndex::selects_other_field(const RuleFilter& filter,
                                         const std::vector<std::string>& allowed) {
  Group* group = selected(filter);
  if (group == nullptr) return false;
  const FieldUnion& fields = fields_of(*group);
  if (fields.overflow) return true;
  std::unordered_set<NameId> allowed_ids;
  for (const std::string& text : allowed) {
    if (const NameId id = find_name(text); id != kNoName) allowed_ids.insert(id);
  }
  if (fields.keys.size() > allowed_ids.size()) return true;
  return std::any_of(fields.keys.begin(), fields.keys.end(),
                     [&](NameId key) { return !allowed_ids.contains(key); });
}

}  // namespace kavro
