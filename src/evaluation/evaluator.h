// The decision procedure. Pure and infallible: it reads the compiled policy
// and one input, allocates nothing, and may run for any number of calls at
// once. A result views the deciding rule's id inside the policy.
//
// The building blocks are templates over the input so that tests can observe
// which lookups happen; an Input provides `const ValueView& at(slot) const`
// (EvaluationInput is the one used in production).
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "compiler/compiled_policy.h"
#include "evaluation/evaluation_input.h"
#include "evaluation/evaluation_result.h"
#include "evaluation/plan.h"
#include "support/overloaded.h"
#include "support/text_equal.h"

namespace kavro::evaluation {

template <class Input>
ValueView lookup_subject(const compiler::SubjectRef& subject, const Input& input) {
  return input.at(subject.slot);
}

// Compares two values by the operator's row of the vocabulary. Different
// kinds never compare; an operator holds only for the types it applies to.
inline bool compare_values(documents::Operator op, const ValueView& left, const ValueView& right) {
  if (left.kind != right.kind || !left.present()) return false;
  return applies_to(op, type_of(left.kind)) && (word(op).accepts & outcome_of(left, right)) != 0;
}

// The value a comparison is made against: its literal, or the input's value
// of the other subject.
template <class Input>
ValueView right_of(const compiler::AtomicCondition& atomic, const Input& input) {
  return std::visit(
      Overloaded{
          [](const compiler::RuntimeValue& literal) { return view_of(literal); },
          [&](const compiler::SubjectRef& subject) { return lookup_subject(subject, input); }},
      atomic.rhs);
}

template <class Input>
bool atomic_holds(const compiler::AtomicCondition& atomic, const Input& input) {
  const ValueView left = lookup_subject(atomic.lhs, input);
  if (!left.present()) return false;
  const ValueView right = right_of(atomic, input);
  if (!right.present()) return false;
  return compare_values(atomic.op, left, right);
}

// A comparison of a version-2 condition. Every operator asks for the field
// with a value of its declared type, but absent, its exact complement.
template <class Input>
bool comparison_holds(const compiler::Comparison& comparison, const Input& input) {
  const ValueView left = lookup_subject(comparison.lhs, input);
  const bool typed = left.present() && type_of(left.kind) == comparison.type;
  return std::visit(
      Overloaded{[&](const compiler::RuntimeValue& literal) {
                   if (!typed) return false;
                   const ValueView right = view_of(literal);
                   switch (comparison.op) {
                     case documents::Operator::StartsWith:
                       return right.kind == ValueKind::String && left.text.starts_with(right.text);
                     case documents::Operator::EndsWith:
                       return right.kind == ValueKind::String && left.text.ends_with(right.text);
                     case documents::Operator::Equals:
                     case documents::Operator::NotEquals:
                     case documents::Operator::GreaterThan:
                     case documents::Operator::LessThan:
                     case documents::Operator::GreaterOrEqual:
                     case documents::Operator::LessOrEqual:
                     case documents::Operator::In:
                     case documents::Operator::NotIn:
                     case documents::Operator::Present:
                     case documents::Operator::Absent:
                       break;
                   }
                   return compare_values(comparison.op, left, right);
                 },
                 [&](const compiler::SubjectRef& subject) {
                   // As version 1 compares two fields: by the kinds the values have.
                   const ValueView right = lookup_subject(subject, input);
                   return left.present() && right.present() &&
                          compare_values(comparison.op, left, right);
                 },
                 [&](const compiler::MemberList& list) {
                   if (!typed) return false;
                   bool member = false;
                   switch (left.kind) {
                     case ValueKind::String:
                       member = list.set->contains_text(left.text);
                       break;
                     case ValueKind::Number:
                       member = list.set->contains_number(left.number);
                       break;
                     case ValueKind::Boolean:
                       member = list.set->contains_boolean(left.boolean);
                       break;
                     case ValueKind::Absent:
                       return false;
                   }
                   return member == (comparison.op == documents::Operator::In);
                 },
                 [&](const compiler::NoOperand&) {
                   return typed == (comparison.op == documents::Operator::Present);
                 }},
      comparison.rhs);
}

// Left to right, stopping at the first member that decides.
template <class Input>
bool node_holds(const compiler::ConditionNode& node,
                const std::vector<compiler::Comparison>& comparisons, const Input& input) {
  switch (node.kind) {
    case documents::NodeKind::Comparison:
      return comparison_holds(comparisons[node.comparison], input);
    case documents::NodeKind::All:
      for (const auto& member : node.members) {
        if (!node_holds(member, comparisons, input)) return false;
      }
      return true;
    case documents::NodeKind::Any:
      for (const auto& member : node.members) {
        if (node_holds(member, comparisons, input)) return true;
      }
      return false;
    case documents::NodeKind::Not:
      return !node_holds(node.members.front(), comparisons, input);
  }
  return false;
}

template <class Input>
bool tree_holds(const compiler::ConditionTree& tree, const Input& input) {
  return node_holds(tree.root, tree.comparisons, input);
}

template <class Input>
bool condition_holds(const compiler::CompiledCondition& condition, const Input& input) {
  const auto holds = [&](const compiler::AtomicCondition& member) {
    return atomic_holds(member, input);
  };
  return std::visit(
      Overloaded{[&](const compiler::AtomicCondition& atomic) { return holds(atomic); },
                 [&](const compiler::AllOf& all) {
                   return std::all_of(all.members.begin(), all.members.end(), holds);
                 },
                 [&](const compiler::AnyOf& any) {
                   return std::any_of(any.members.begin(), any.members.end(), holds);
                 },
                 [&](const compiler::ConditionTree& tree) { return tree_holds(tree, input); }},
      condition);
}

template <class Input>
const compiler::CompiledRule* find_first_match(std::span<const compiler::CompiledRule> rules,
                                               const Input& input) {
  for (const auto& rule : rules) {
    if (condition_holds(rule.condition, input)) return &rule;
  }
  return nullptr;
}

// One laid-out comparison; the same answer as atomic_holds on its source.
// Kinds are told apart by data rather than by branches where possible, since
// the checks of a sequence mix them unpredictably.
template <class Input>
[[gnu::always_inline]] inline bool check_holds(const detail::Check& check, const Input& input) {
  const ValueView& left = input.at(check.slot);
  if (left.kind != check.kind) {
    if (check.two_fields) [[unlikely]] {
      return left.present() && compare_values(check.op, left, input.at(check.extra));
    }
    return false;
  }
  if (check.kind == ValueKind::String) {
    // Lengths tell most texts apart without the call.
    const bool equal = left.text.size() == check.extra &&
                       text_equal(left.text, std::string_view(check.text, check.extra));
    return (check.accepts & (equal ? documents::kOutcomeEqual : documents::kOutcomeLess)) != 0;
  }
  const double value = check.kind == ValueKind::Number ? left.number : (left.boolean ? 1.0 : 0.0);
  const unsigned less = value < check.number;
  const unsigned equal = value == check.number;
  const unsigned greater = value > check.number;
  const unsigned unordered = (less | equal | greater) ^ 1U;
  const unsigned outcome = less | equal << 1 | greater << 2 | unordered << 3;
  return (outcome & check.accepts) != 0;
}

template <class Input>
[[gnu::always_inline]] inline bool plan_holds(const detail::RuleChecks& checks,
                                              std::uint32_t position, const Input& input) {
  const detail::RulePlan& plan = checks.plan(position);
  const detail::Check* check = checks.checks() + plan.first;
  const detail::Check* const end = check + plan.count;
  if (plan.any) {
    for (; check != end; ++check) {
      if (check_holds(*check, input)) return true;
    }
    return false;
  }
  for (; check != end; ++check) {
    if (!check_holds(*check, input)) return false;
  }
  if (plan.tree) [[unlikely]]
    return tree_holds(checks.tree(position), input);
  return true;
}

struct IgnoreVisits {
  void operator()(std::uint32_t) const {}
};

// The same first match as the plain scan, checking only the rules that
// `index` leaves possible. `visit` is told of every rule checked.
template <class Input, class Visit = IgnoreVisits>
const compiler::CompiledRule* find_first_match(std::span<const compiler::CompiledRule> rules,
                                               const detail::SequenceIndex& index,
                                               const Input& input, Visit visit = {}) {
  // Inlined into each strategy's loop: a call per visited rule costs about
  // as much as the rule's checks. (A C++ attribute here would name the
  // lambda's type, not its call operator.)
  auto holds = [&](std::uint32_t candidate) __attribute__((always_inline)) {
    visit(candidate);
    return plan_holds(index.checks(), candidate, input);
  };
  const std::uint32_t position = index.first_holding(input, holds);
  return position == detail::kEndOfRules ? nullptr : &rules[position];
}

// The action's rules first (selected by the input's action "type" text), then
// the global rules; the first rule whose condition holds decides. nullptr when
// none does. `visit` is told of every rule checked (for measurements).
template <class Input, class Visit = IgnoreVisits>
const compiler::CompiledRule* find_deciding_rule(const Plan& plan, const Input& input,
                                                 Visit visit = {}) {
  const compiler::CompiledRule* match = nullptr;
  const ValueView type = input.at(kActionTypeSlot);
  const detail::RuleIndex& index = plan.rule_index();
  if (type.kind == ValueKind::String) {
    if (const auto* bucket = index.find_action(type.text)) {
      match = find_first_match(*bucket->rules, bucket->index, input, visit);
    }
  }
  if (match == nullptr) {
    match = find_first_match(plan.model().global_rules, index.global(), input, visit);
  }
  return match;
}

template <class Input>
EvaluationResult evaluate_policy(const Plan& plan, const Input& input) {
  const compiler::CompiledRule* match = find_deciding_rule(plan, input);
  if (match == nullptr) return {plan.model().default_effect, std::nullopt};
  return {match->effect, match->rule_id};
}

}  // namespace kavro::evaluation
