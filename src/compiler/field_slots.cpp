#include "compiler/field_slots.h"

#include <type_traits>

#include "compiler/compiled_policy.h"

namespace kavro {

void FieldSlots::clear() {
  for (auto& fields : by_domain_) fields.clear();
  size_ = 0;
  intern(Domain::Action, kActionTypeField);
}

std::uint32_t FieldSlots::intern(Domain domain, std::string_view field) {
  auto& fields = by_domain_[static_cast<int>(domain)];
  auto it = fields.find(field);
  if (it != fields.end()) return it->second;
  fields.emplace(std::string(field), size_);
  return size_++;
}

namespace {

void assign(FieldSlots& slots, SubjectRef& subject) {
  subject.slot = slots.intern(subject.domain, subject.field);
}

void assign(FieldSlots& slots, AtomicCondition& atomic) {
  assign(slots, atomic.lhs);
  if (auto* subject = std::get_if<SubjectRef>(&atomic.rhs)) assign(slots, *subject);
}

void assign(FieldSlots& slots, RuleSequence& rules) {
  for (auto& rule : rules) {
    std::visit(
        [&](auto& condition) {
          if constexpr (std::is_same_v<std::decay_t<decltype(condition)>, AtomicCondition>) {
            assign(slots, condition);
          } else {
            for (auto& member : condition.members) assign(slots, member);
          }
        },
        rule.condition);
  }
}

}  // namespace

void assign_field_slots(CompiledPolicy& policy) {
  policy.field_slots.clear();
  for (auto& [name, rules] : policy.action_rules) assign(policy.field_slots, rules);
  for (auto& [name, rules] : policy.actor_rules) assign(policy.field_slots, rules);
  assign(policy.field_slots, policy.global_rules);
  policy.rule_index = RuleIndex::build(policy);
}

}  // namespace kavro
