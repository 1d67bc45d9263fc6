#include "evaluation/plan.h"

#include <type_traits>
#include <utility>
#include <variant>

namespace kavro {
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

Plan Plan::build(CompiledPolicy model) {
  auto parts = std::make_unique<Parts>();
  parts->model = std::move(model);
  // Actor-scoped rules never decide, but their fields get slots too, so that
  // the fields an input converts do not depend on where a rule is scoped.
  for (auto& [name, rules] : parts->model.action_rules) assign(parts->field_slots, rules);
  for (auto& [name, rules] : parts->model.actor_rules) assign(parts->field_slots, rules);
  assign(parts->field_slots, parts->model.global_rules);
  // Built in place: the index points into the model's rule sequences.
  parts->rule_index = RuleIndex::build(parts->model);
  return Plan(std::move(parts));
}

}  // namespace kavro
