// Builds a small policy through the engine's front door and evaluates it: a
// refund above 1000 is blocked unless the actor is a manager; during
// maintenance everything needs approval.
#include <cstdio>
#include <initializer_list>
#include <utility>

#include "engine/policy.h"

using namespace kavro;

namespace {

constexpr const char* kSchema = R"(version: 1
actions:
  refund:
    fields: {amount: number}
actor:
  fields: {role: string}
snapshot:
  fields: {maintenance: boolean}
)";

constexpr const char* kPolicy = R"(version: 1
rules:
  - id: deny-large-refunds
    scope: {action: refund}
    when:
      all:
        - {subject: {domain: action, field: amount}, operator: greater_than, value: {literal: 1000}}
        - {subject: {domain: actor, field: role}, operator: not_equals, value: {literal: manager}}
    effect: block
  - id: maintenance-approval
    scope: {global: true}
    when: {subject: {domain: snapshot, field: maintenance}, operator: equals, value: {literal: true}}
    effect: require_approval
)";

void decide(const engine::Policy& policy, const char* label,
            std::initializer_list<std::pair<const char*, evaluation::ValueView>> action,
            std::initializer_list<std::pair<const char*, evaluation::ValueView>> actor,
            std::initializer_list<std::pair<const char*, evaluation::ValueView>> snapshot) {
  evaluation::EvaluationInput input(policy.input_fields());
  for (const auto& [field, value] : action) input.set(documents::Domain::Action, field, value);
  for (const auto& [field, value] : actor) input.set(documents::Domain::Actor, field, value);
  for (const auto& [field, value] : snapshot) input.set(documents::Domain::Snapshot, field, value);
  const evaluation::EvaluationResult result = policy.evaluate(input);
  const std::string_view rule = result.matched_rule.value_or("(no rule)");
  std::printf("%-34s -> %-16s %.*s\n", label, documents::spelling(result.effect).data(),
              static_cast<int>(rule.size()), rule.data());
}

}  // namespace

int main() {
  auto built = engine::Policy::build(kSchema, kPolicy);
  if (!built) {
    std::printf("%s\n", built.error().render().c_str());
    return 1;
  }
  const engine::Policy& policy = *built;

  const auto refund = evaluation::ValueView::of_string("refund");
  decide(policy, "refund 1500 by clerk",
         {{"type", refund}, {"amount", evaluation::ValueView::of_number(1500)}},
         {{"role", evaluation::ValueView::of_string("clerk")}}, {});
  decide(policy, "refund 1500 by manager",
         {{"type", refund}, {"amount", evaluation::ValueView::of_number(1500)}},
         {{"role", evaluation::ValueView::of_string("manager")}}, {});
  decide(policy, "refund 20 during maintenance",
         {{"type", refund}, {"amount", evaluation::ValueView::of_number(20)}}, {},
         {{"maintenance", evaluation::ValueView::of_boolean(true)}});
  decide(policy, "empty request", {}, {}, {});
  return 0;
}
