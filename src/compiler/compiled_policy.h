// The compiled policy: the validated, resolved form of a policy document.
// Built once by the compiler and never changed afterwards, so any number of
// threads may read it at once. Plain values: the tree is released with it.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "compiler/enums.h"
#include "compiler/field_slots.h"
#include "compiler/rule_index.h"
#include "evaluation/runtime_value.h"
#include "support/string_map.h"

namespace kavro {

struct SubjectRef {
  Domain domain = Domain::Action;
  std::string field;
  // Index of this field in the policy's FieldSlots; set by assign_field_slots.
  // Not part of the model's identity (the text form ignores it).
  std::uint32_t slot = kNoSlot;
};

// Alternatives in this order: Literal, Subject.
using CompiledValue = std::variant<RuntimeValue, SubjectRef>;

struct AtomicCondition {
  SubjectRef lhs;
  Operator op = Operator::Equals;
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
  Effect effect = Effect::Allow;
};

using RuleSequence = std::vector<CompiledRule>;
using RuleBuckets = StringMap<RuleSequence>;

struct CompiledPolicy {
  RuleBuckets action_rules;
  RuleBuckets actor_rules;
  RuleSequence global_rules;
  // Every input field the policy reads, resolved to a slot. Derived from the
  // members above by assign_field_slots; takes no part in the text form.
  FieldSlots field_slots;
  // Equality index over the sequences above, for evaluation only; built by
  // assign_field_slots and, like field_slots, absent from the text form.
  RuleIndex rule_index;
};

// Resolves every SubjectRef of the policy to a slot and rebuilds field_slots
// and rule_index.
// The compiler calls it last; policies assembled in code must call it too.
void assign_field_slots(CompiledPolicy& policy);

}  // namespace kavro
