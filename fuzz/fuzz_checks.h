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

#include "../tests/cpp/policy_probe.h"
#include "compiler/compiled_policy.h"
#include "engine/policy.h"
#include "evaluation/evaluator.h"

namespace kavro::fuzzing {

template <class Visit>
void for_each_atomic(const kavro::compiler::RuleSequence& rules, Visit&& visit) {
  for (const auto& rule : rules) {
    std::visit(
        [&](const auto& condition) {
          using Condition = std::decay_t<decltype(condition)>;
          if constexpr (std::is_same_v<Condition, kavro::compiler::AtomicCondition>) {
            visit(condition);
          } else if constexpr (std::is_same_v<Condition, kavro::compiler::ConditionTree>) {
            // A tree's comparisons against one value or field derive inputs
            // like flat ones; lists and presence tests derive none.
            for (const auto& comparison : condition.comparisons) {
              if (const auto* literal =
                      std::get_if<kavro::compiler::RuntimeValue>(&comparison.rhs)) {
                visit(kavro::compiler::AtomicCondition{comparison.lhs, comparison.op, *literal});
              } else if (const auto* field =
                             std::get_if<kavro::compiler::SubjectRef>(&comparison.rhs)) {
                visit(kavro::compiler::AtomicCondition{comparison.lhs, comparison.op, *field});
              }
            }
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
void for_each_atomic(const kavro::compiler::CompiledPolicy& policy, Visit&& visit) {
  for (const auto& [name, rules] : policy.action_rules) for_each_atomic(rules, visit);
  for (const auto& [name, rules] : policy.actor_rules) for_each_atomic(rules, visit);
  for_each_atomic(policy.global_rules, visit);
}

// A value that makes the literal comparison hold (same = true) or one of the
// same kind that differs from it (same = false).
inline kavro::evaluation::ValueView derived_value(const kavro::compiler::RuntimeValue& literal,
                                                  bool same) {
  kavro::evaluation::ValueView view = kavro::evaluation::view_of(literal);
  if (same) return view;
  switch (view.kind) {
    case kavro::evaluation::ValueKind::String:
      view.text = view.text.empty() ? std::string_view("x") : view.text.substr(1);
      break;
    case kavro::evaluation::ValueKind::Number:
      view.number = view.number + 1.0;
      break;
    default:
      view.boolean = !view.boolean;
  }
  return view;
}

inline void evaluate_derived(const kavro::engine::Policy& built) {
  const kavro::compiler::CompiledPolicy& policy = kavro::engine::PolicyProbe::model(built);
  std::vector<std::string_view> actions{"", "unknown"};
  for (const auto& [name, rules] : policy.action_rules) actions.push_back(name);

  for (bool same : {true, false}) {
    for (std::string_view action : actions) {
      kavro::evaluation::EvaluationInput input(built.input_fields());
      for_each_atomic(policy, [&](const kavro::compiler::AtomicCondition& atomic) {
        // In and NotIn are compiled over lists only, never against one value.
        if (atomic.op == kavro::documents::Operator::In ||
            atomic.op == kavro::documents::Operator::NotIn) {
          __builtin_trap();
        }
        if (const auto* literal = std::get_if<kavro::compiler::RuntimeValue>(&atomic.rhs)) {
          input.set_slot(atomic.lhs.slot, derived_value(*literal, same));
        }
      });
      if (!action.empty()) {
        input.set_slot(kavro::evaluation::kActionTypeSlot,
                       kavro::evaluation::ValueView::of_string(action));
      }
      auto result = built.evaluate(input);
      if (result.matched_rule.has_value() == false && result.effect != policy.default_effect) {
        __builtin_trap();
      }
      // The equality index must decide exactly as a plain scan of the buckets.
      const kavro::compiler::CompiledRule* plain = nullptr;
      auto bucket = policy.action_rules.find(action);
      if (!action.empty() && bucket != policy.action_rules.end()) {
        plain = kavro::evaluation::find_first_match(bucket->second, input);
      }
      if (plain == nullptr) plain = kavro::evaluation::find_first_match(policy.global_rules, input);
      if (result.matched_rule != (plain ? std::optional(plain->rule_id) : std::nullopt)) {
        __builtin_trap();
      }
    }
  }
  kavro::evaluation::EvaluationInput empty(built.input_fields());
  auto result = built.evaluate(empty);
  // Every flat comparison reads its left side from the input: with none given,
  // only a tree (absent, not) can match.
  bool trees = false;
  const auto note_trees = [&](const kavro::compiler::RuleSequence& rules) {
    for (const auto& rule : rules) {
      trees = trees || std::holds_alternative<kavro::compiler::ConditionTree>(rule.condition);
    }
  };
  for (const auto& [name, rules] : policy.action_rules) note_trees(rules);
  for (const auto& [name, rules] : policy.actor_rules) note_trees(rules);
  note_trees(policy.global_rules);
  if (result.matched_rule.has_value() && !trees) __builtin_trap();
}

inline void check_built(const kavro::engine::Policy& policy) {
  const std::string digest = policy.policy_hash();
  if (digest.size() != 64 || digest != policy.policy_hash()) __builtin_trap();
  evaluate_derived(policy);
}

}  // namespace kavro::fuzzing
