// The decision procedure traced: the same first match as the evaluator, found
// by a plain scan of the compiled rules that records every rule examined and
// every comparison made. Kept apart from the evaluator so that the fast path
// can change freely; a differential test keeps the two in agreement.
// An Explanation views the policy and the input, so it must not outlive them.
#pragma once

#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "compiler/compiled_policy.h"
#include "evaluation/evaluator.h"
#include "support/overloaded.h"

namespace kavro::evaluation {

// One comparison: the values found for both sides (Absent when the input did
// not carry them) and whether it held.
struct ComparisonTrace {
  const compiler::AtomicCondition* condition;  // of a flat condition, else null
  ValueView found;
  ValueView against;
  bool held;
  const compiler::Comparison* comparison = nullptr;  // of a tree, else null
};

struct RuleTrace {
  const compiler::CompiledRule* rule;
  bool global;  // else the rule belongs to the action bucket
  bool held;
  std::vector<ComparisonTrace> comparisons;
};

struct Explanation {
  // The action bucket that was tried, when the input's action type names one.
  std::string_view bucket;
  bool bucket_found = false;
  std::vector<RuleTrace> rules;                           // in the order they were examined
  const compiler::CompiledRule* deciding_rule = nullptr;  // null: the default decided
};

// Every member of a rule's condition is compared, even after the outcome is
// known, so that the trace shows each comparison; the rule holds exactly when
// condition_holds says so.
template <class Input>
RuleTrace trace_rule(const compiler::CompiledRule& rule, bool global, const Input& input) {
  RuleTrace trace{&rule, global, false, {}};
  const auto compare = [&](const compiler::AtomicCondition& atomic) {
    const ValueView found = lookup_subject(atomic.lhs, input);
    const ValueView against = right_of(atomic, input);
    const bool held = atomic_holds(atomic, input);
    trace.comparisons.push_back({&atomic, found, against, held});
    return held;
  };
  std::visit(
      Overloaded{[&](const compiler::AtomicCondition& atomic) { trace.held = compare(atomic); },
                 [&](const compiler::AllOf& all) {
                   trace.held = true;
                   for (const auto& member : all.members) {
                     trace.held = compare(member) && trace.held;
                   }
                 },
                 [&](const compiler::AnyOf& any) {
                   for (const auto& member : any.members) {
                     trace.held = compare(member) || trace.held;
                   }
                 },
                 [&](const compiler::ConditionTree& tree) {
                   for (const auto& comparison : tree.comparisons) {
                     const ValueView found = lookup_subject(comparison.lhs, input);
                     ValueView against;
                     if (const auto* literal = std::get_if<compiler::RuntimeValue>(&comparison.rhs))
                       against = view_of(*literal);
                     if (const auto* subject = std::get_if<compiler::SubjectRef>(&comparison.rhs))
                       against = lookup_subject(*subject, input);
                     trace.comparisons.push_back({nullptr, found, against,
                                                  comparison_holds(comparison, input),
                                                  &comparison});
                   }
                   trace.held = tree_holds(tree, input);
                 }},
      rule.condition);
  return trace;
}

template <class Input>
bool trace_sequence(std::span<const compiler::CompiledRule> rules, bool global, const Input& input,
                    Explanation& explanation) {
  for (const auto& rule : rules) {
    explanation.rules.push_back(trace_rule(rule, global, input));
    if (explanation.rules.back().held) {
      explanation.deciding_rule = &rule;
      return true;
    }
  }
  return false;
}

template <class Input>
Explanation explain_decision(const compiler::CompiledPolicy& policy, const Input& input) {
  Explanation explanation;
  const ValueView type = input.at(kActionTypeSlot);
  if (type.kind == ValueKind::String) {
    const auto bucket = policy.action_rules.find(type.text);
    if (bucket != policy.action_rules.end()) {
      explanation.bucket = bucket->first;
      explanation.bucket_found = true;
      if (trace_sequence(bucket->second, false, input, explanation)) return explanation;
    }
  }
  trace_sequence(policy.global_rules, true, input, explanation);
  return explanation;
}

}  // namespace kavro::evaluation
