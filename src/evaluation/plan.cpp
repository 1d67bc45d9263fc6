#include "evaluation/plan.h"

#include <utility>
#include <variant>
#include <vector>

#include "support/overloaded.h"

namespace kavro::evaluation {
namespace {

void assign(FieldSlots& slots, compiler::SubjectRef& subject) {
  subject.slot = slots.intern(subject.domain, subject.field);
}

void assign(FieldSlots& slots, compiler::AtomicCondition& atomic) {
  assign(slots, atomic.lhs);
  std::visit(Overloaded{[](compiler::RuntimeValue&) {},
                        [&](compiler::SubjectRef& subject) { assign(slots, subject); }},
             atomic.rhs);
}

void assign(FieldSlots& slots, std::vector<compiler::AtomicCondition>& members) {
  for (auto& member : members) assign(slots, member);
}

void assign(FieldSlots& slots, compiler::ConditionTree& tree) {
  for (auto& comparison : tree.comparisons) {
    assign(slots, comparison.lhs);
    if (auto* subject = std::get_if<compiler::SubjectRef>(&comparison.rhs)) assign(slots, *subject);
  }
}

void assign(FieldSlots& slots, compiler::RuleSequence& rules) {
  for (auto& rule : rules) {
    std::visit(Overloaded{[&](compiler::AtomicCondition& atomic) { assign(slots, atomic); },
                          [&](compiler::AllOf& all) { assign(slots, all.members); },
                          [&](compiler::AnyOf& any) { assign(slots, any.members); },
                          [&](compiler::ConditionTree& tree) { assign(slots, tree); }},
               rule.condition);
  }
}

}  // namespace

Plan Plan::build(compiler::CompiledPolicy model) {
  auto parts = std::make_unique<Parts>();
  parts->model = std::move(model);
  // Actor-scoped rules never decide, but their fields get slots too, so that
  // the fields an input converts do not depend on where a rule is scoped.
  for (auto& [name, rules] : parts->model.action_rules) assign(parts->field_slots, rules);
  for (auto& [name, rules] : parts->model.actor_rules) assign(parts->field_slots, rules);
  assign(parts->field_slots, parts->model.global_rules);
  // Built in place: the index points into the model's rule sequences.
  parts->rule_index = detail::RuleIndex::build(parts->model);
  return Plan(std::move(parts));
}

}  // namespace kavro::evaluation
