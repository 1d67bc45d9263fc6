// Evaluates a small policy assembled in code: a refund above 1000 is blocked
// unless the actor is a manager; during maintenance everything needs approval.
#include <cstdio>
#include <initializer_list>

#include "compiler/compiled_policy.h"
#include "evaluation/evaluator.h"

using namespace kavro;

namespace {

AtomicCondition compare(Domain domain, const char* field, Operator op, RuntimeValue literal) {
  return {SubjectRef{domain, field}, op, std::move(literal)};
}

void decide(const CompiledPolicy& policy, const char* label,
            std::initializer_list<std::pair<const char*, ValueView>> action,
            std::initializer_list<std::pair<const char*, ValueView>> actor,
            std::initializer_list<std::pair<const char*, ValueView>> snapshot) {
  EvaluationInput input(policy.field_slots);
  for (const auto& [field, value] : action) input.set(Domain::Action, field, value);
  for (const auto& [field, value] : actor) input.set(Domain::Actor, field, value);
  for (const auto& [field, value] : snapshot) input.set(Domain::Snapshot, field, value);
  const EvaluationResult result = evaluate_policy(policy, input);
  const std::string_view rule = result.matched_rule.value_or("(no rule)");
  std::printf("%-34s -> %-16s %.*s\n", label, spelling(result.effect).data(),
              static_cast<int>(rule.size()), rule.data());
}

}  // namespace

int main() {
  CompiledPolicy policy;
  policy.action_rules["refund"].push_back(
      {"deny-large-refunds",
       AllOf{{compare(Domain::Action, "amount", Operator::GreaterThan, 1000.0),
              compare(Domain::Actor, "role", Operator::NotEquals, std::string("manager"))}},
       Effect::Block});
  policy.global_rules.push_back({"maintenance-approval",
                                 compare(Domain::Snapshot, "maintenance", Operator::Equals, true),
                                 Effect::RequireApproval});
  assign_field_slots(policy);

  const auto refund = ValueView::of_string("refund");
  decide(policy, "refund 1500 by clerk", {{"type", refund}, {"amount", ValueView::of_number(1500)}},
         {{"role", ValueView::of_string("clerk")}}, {});
  decide(policy, "refund 1500 by manager",
         {{"type", refund}, {"amount", ValueView::of_number(1500)}},
         {{"role", ValueView::of_string("manager")}}, {});
  decide(policy, "refund 20 during maintenance",
         {{"type", refund}, {"amount", ValueView::of_number(20)}}, {},
         {{"maintenance", ValueView::of_boolean(true)}});
  decide(policy, "empty request", {}, {}, {});
  return 0;
}
