// The compiled policy: the validated, resolved form of a policy document.
// Built by the compiler; evaluation's Plan then takes it over, numbers its
// subjects' slots and never changes it again, so any number of threads may
// read it at once. Plain values: the tree is released with it.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <variant>
#include <vector>

#include "compiler/runtime_value.h"
#include "documents/policy_ast.h"
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

// The members of a list literal as a set, so that a list of any length
// costs one probe. Numbers are kept with -0 as 0 (they compare equal); a
// list never holds a NaN (the reader refuses it).
struct MemberSet {
  std::unordered_set<std::string, TextHash, std::equal_to<>> texts;
  std::unordered_set<double> numbers;
  bool booleans[2] = {false, false};

  bool contains_text(std::string_view text) const { return texts.find(text) != texts.end(); }
  bool contains_number(double number) const {
    return numbers.find(number == 0.0 ? 0.0 : number) != numbers.end();
  }
  bool contains_boolean(bool boolean) const { return booleans[boolean ? 1 : 0]; }
};

// A list literal: its members in document order (for the text form) and
// their set. The set is shared by copies of the model and never changes.
struct MemberList {
  std::vector<RuntimeValue> members;
  std::shared_ptr<const MemberSet> set;
};

// The missing right-hand side of present and absent.
struct NoOperand {};

// Alternatives in this order: Literal, Subject, List, None.
using ComparisonOperand = std::variant<RuntimeValue, SubjectRef, MemberList, NoOperand>;

// A comparison of a version-2 condition, with any operator of the language.
struct Comparison {
  SubjectRef lhs;
  documents::Operator op = documents::Operator::Equals;
  ComparisonOperand rhs;
  documents::FieldType type = documents::FieldType::String;  // the field's declared type
};

struct ConditionNode {
  documents::NodeKind kind = documents::NodeKind::Comparison;
  std::uint32_t comparison = 0;        // into ConditionTree::comparisons
  std::vector<ConditionNode> members;  // All, Any; Not's one member
};

// A version-2 condition that version 1 cannot say: nested, negated, or with
// an operator that compares no two values (present, in, starts_with...).
// Its rule is never filed by the rule index: every candidate walk visits it.
struct ConditionTree {
  ConditionNode root;
  std::vector<Comparison> comparisons;  // in document order
};

// Alternatives in this order: Atomic, All, Any, Tree. Atomic, All and Any
// are flat; a version-2 policy uses them whenever its rule fits them.
using CompiledCondition = std::variant<AtomicCondition, AllOf, AnyOf, ConditionTree>;

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
  // The effect when no rule decides (a version-2 `default:`).
  documents::Effect default_effect = documents::Effect::Allow;
  bool default_given = false;  // the document said `default:` (never hashed)
};

}  // namespace kavro::compiler
