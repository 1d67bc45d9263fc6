// Checks that every compiled policy must pass, shared by the fuzz targets:
// the model's invariants, a stable 64-digit hash, and evaluation against
// inputs derived from the policy's own literals (so that conditions both
// hold and fail). A broken expectation traps, which libFuzzer reports.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "compiler/compiled_policy.h"
#include "engine/policy.h"
#include "evaluation/evaluator.h"

namespace kavro::fuzzing {

template <class Visit>
void for_each_atomic(const kavro::RuleSequence& rules, Visit&& visit) {
  for (const auto& rule : rules) {
    std::visit(
        [&](const auto& condition) {
          using Condition = std::decay_t<decltype(condition)>;
          if constexpr (std::is_same_v<Condition, kavro::AtomicCondition>) {
            visit(condition);
          } else {
            // Invariant of every compiled list: at least two members.
            if (condition.members.size() < 2) __builtin_trap();
            for (const auto& member : condition.members) visit(member);
          }
        },
        rule.condition);
  }
}

template <class Visit>
void for_each_atomic(const kavro::CompiledPolicy& policy, Visit&& visit) {
  for (const auto& [name, rules] : policy.action_rules) for_each_atomic(rules, visit);
  for (const auto& [name, rules] : policy.actor_rules) for_each_atomic(rules, visit);
  for_each_atomic(policy.global_rules, visit);
}

// A value that makes the literal comparison hold (same = true) or one of the
// same kind that differs from it (same = false).
inline kavro::ValueView derived_value(const kavro::RuntimeValue& literal, bool same) {
  kavro::ValueView view = kavro::view_of(literal);
  if (same) return view;
  switch (view.kind) {
    case kavro::ValueKind::String:
      view.text = view.text.empty() ? std::string_view("x") : view.text.substr(1);
      break;
    case kavro::ValueKind::Number:
      view.number = view.number + 1.0;
      break;
    default:
      view.boolean = !view.boolean;
  }
  return view;
}

inline void evaluate_derived(const kavro::engine::Policy& built) {
  const kavro::CompiledPolicy& policy = built.model();
  std::vector<std::string_view> actions{"", "unknown"};
  for (const auto& [name, rules] : policy.action_rules) actions.push_back(name);

  for (bool same : {true, false}) {
    for (std::string_view action : actions) {
      kavro::EvaluationInput input(built.field_slots());
      for_each_atomic(policy, [&](const kavro::AtomicCondition& atomic) {
        // In and NotIn are rejected for every type, so never compiled.
        if (atomic.op == kavro::Operator::In || atomic.op == kavro::Operator::NotIn) {
          __builtin_trap();
        }
        if (const auto* literal = std::get_if<kavro::RuntimeValue>(&atomic.rhs)) {
          input.set_slot(atomic.lhs.slot, derived_value(*literal, same));
        }
      });
      if (!action.empty()) {
        input.set_slot(kavro::kActionTypeSlot, kavro::ValueView::of_string(action));
      }
      auto result = built.evaluate(input);
      if (result.matched_rule.has_value() == false && result.effect != kavro::Effect::Allow) {
        __builtin_trap();
      }
      // The equality index must decide exactly as a plain scan of the buckets.
      const kavro::CompiledRule* plain = nullptr;
      auto bucket = policy.action_rules.find(action);
      if (!action.empty() && bucket != policy.action_rules.end()) {
        plain = kavro::find_first_match(bucket->second, input);
      }
      if (plain == nullptr) plain = kavro::find_first_match(policy.global_rules, input);
      if (result.matched_rule != (plain ? std::optional(plain->rule_id) : std::nullopt)) {
        __builtin_trap();
      }
    }
  }
  kavro::EvaluationInput empty(built.field_slots());
  auto result = built.evaluate(empty);
  // Every comparison reads its left side from the input: nothing can match.
  if (result.matched_rule.has_value()) __builtin_trap();
}

inline void check_built(const kavro::engine::Policy& policy) {
  const std::string digest = policy.policy_hash();
  if (digest.size() != 64 || digest != policy.policy_hash()) __builtin_trap();
  evaluate_derived(policy);
}

}  // namespace kavro::fuzzing
