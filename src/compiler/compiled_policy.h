// The compiled policy: the validated, resolved form of a policy document.
// Built by the compiler; evaluation's Plan then takes it over, numbers its
// subjects' slots and never changes it again, so any number of threads may
// read it at once. Plain values: the tree is released with it.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "compiler/runtime_value.h"
#include "documents/vocabulary.h"
#include "support/string_map.h"

namespace kavro::compiler {

// A subject's slot before evaluation's Plan numbers it; also "no such field".
inline constexpr std::uint32_t kNoSlot = std::numeric_limits<std::uint32_t>::max();

struct SubjectRef {
  documents::Domain domain = documents::Domain::Action;
  std::string field;
  // Index of this input field among those the policy reads; set when the
  // policy is planned for evaluation. Not part of the model's identity (the
  // text form ignores it).
  std::uint32_t slot = kNoSlot;
};

// Alternatives in this order: Literal, Subject.
using CompiledValue = std::variant<RuntimeValue, SubjectRef>;

struct AtomicCondition {
  SubjectRef lhs;
  documents::Operator op = documents::Operator::Equals;
  CompiledValue rhs;
};

struct AllOf {
  std::vector<AtomicCondition> members;
};
struct AnyOf {
  std::vector<AtomicCondition> members;
};

// Alternatives in this order: Atomic, All, Any. Flat: no nesting.
using CompiledCondition = std::variant<AtomicCondition, AllOf, AnyOf>;

struct CompiledRule {
  std::string rule_id;
  CompiledCondition condition;
  documents::Effect effect = documents::Effect::Allow;
  // The rule's place in its document, from 0: what callers number it by.
  // Not part of the model's identity (the text form ignores it).
  std::uint32_t number = 0;
};

using RuleSequence = std::vector<CompiledRule>;
using RuleBuckets = StringMap<RuleSequence>;

struct CompiledPolicy {
  RuleBuckets action_rules;
  RuleBuckets actor_rules;
  RuleSequence global_rules;
};

}  // namespace kavro::compiler
