// The rules of one sequence laid out for evaluation (RuleChecks), and what
// every candidate strategy of the rule index shares: the outcomes an operator
// holds on, read from its row of the vocabulary, and an estimate of how often
// a comparison with a literal holds. No decision here names an operator: a
// new row of the operator table is handled by its outcome mask alone.
#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "documents/vocabulary.h"
#include "evaluation/value_view.h"
#include "support/text_equal.h"

namespace kavro::evaluation {

// The outcome of comparing two present values of one kind (see kOutcomeLess).
inline std::uint8_t outcome_of(const ValueView& left, const ValueView& right) {
  switch (left.kind) {
    case ValueKind::String:
      return text_equal(left.text, right.text) ? documents::kOutcomeEqual : documents::kOutcomeLess;
    case ValueKind::Boolean:
      return left.boolean == right.boolean ? documents::kOutcomeEqual : documents::kOutcomeLess;
    case ValueKind::Number:
      if (left.number < right.number) return documents::kOutcomeLess;
      if (left.number > right.number) return documents::kOutcomeGreater;
      return left.number == right.number ? documents::kOutcomeEqual : documents::kOutcomeUnordered;
    case ValueKind::Absent:
      return 0;
  }
  return 0;
}

}  // namespace kavro::evaluation

namespace kavro::compiler {
struct AtomicCondition;
struct CompiledRule;
struct ConditionTree;
}  // namespace kavro::compiler

namespace kavro::evaluation::detail {

// Ends every list of rule positions, and compares above every position.
inline constexpr std::uint32_t kEndOfRules = std::numeric_limits<std::uint32_t>::max();

// Sets a rule's bit in a bitset of rules by position.
inline void set_rule_bit(std::uint64_t* bits, std::uint32_t position) {
  bits[position >> 6] |= std::uint64_t{1} << (position & 63);
}

inline constexpr std::uint8_t kEveryOutcome = documents::kOutcomeLess | documents::kOutcomeEqual |
                                              documents::kOutcomeGreater |
                                              documents::kOutcomeUnordered;

// The outcomes that comparing two values of `kind` can give: texts and
// booleans are equal or not (kOutcomeLess), numbers are ordered or, with a
// NaN, unordered.
constexpr std::uint8_t possible_outcomes(ValueKind kind) {
  switch (kind) {
    case ValueKind::String:
    case ValueKind::Boolean:
      return documents::kOutcomeLess | documents::kOutcomeEqual;
    case ValueKind::Number:
      return kEveryOutcome;
    case ValueKind::Absent:
      return 0;
  }
  return 0;
}

// The outcomes on which `op` holds between values of `kind`: its row's, when
// the row applies to the kind's type; none otherwise.
constexpr std::uint8_t holding_outcomes(documents::Operator op, ValueKind kind) {
  if (kind == ValueKind::Absent || !documents::applies_to(op, type_of(kind))) return 0;
  return documents::word(op).accepts & possible_outcomes(kind);
}

// The kind of a check whose right-hand side is an input field. No input value
// has it, so evaluation's kind test alone sends such checks to their slow path.
inline constexpr ValueKind kNoLiteralKind = static_cast<ValueKind>(0xFF);

// One comparison of a rule, with the operator already resolved to the
// outcomes it accepts. The rules of a sequence keep theirs side by side, in
// rule order, so a scan walks memory forwards.
struct Check {
  std::uint32_t slot = 0;
  ValueKind kind = ValueKind::Absent;                    // the literal's kind, or kNoLiteralKind
  std::uint8_t accepts = 0;                              // none: the comparison never holds
  bool two_fields = false;                               // the right-hand side is an input field
  documents::Operator op = documents::Operator::Equals;  // used when two_fields
  // The text literal's length, or the right-hand slot when two_fields.
  std::uint32_t extra = 0;
  union {
    const char* text;     // into the owning RuleChecks
    double number = 0.0;  // booleans as 0 or 1
  };
};

// The measures (a number itself, a boolean's 0 or 1, a text's length) of the
// values of the check's kind on which a comparison with a literal can hold,
// as one range that may hold more; nullopt when it never holds. A NaN is
// measured below every bound, so a range that admits a NaN has no lower bound.
struct MeasureRange {
  double lowest = -std::numeric_limits<double>::infinity();
  double highest = std::numeric_limits<double>::infinity();
  bool every() const {
    return lowest == -std::numeric_limits<double>::infinity() &&
           highest == std::numeric_limits<double>::infinity();
  }
};
std::optional<MeasureRange> holding_measures(const Check& check);

// The checks of one rule: an Any list needs one of them, the other shapes all.
// A rule whose condition is a tree has no checks: `tree` sends it to the
// tree's own walk, once its (no) checks have passed.
struct RulePlan {
  std::uint32_t first = 0;
  std::uint32_t count : 30 = 0;
  std::uint32_t any : 1 = 0;
  std::uint32_t tree : 1 = 0;
};

// A rule's comparisons in document order: an atomic rule's one, or a list's.
std::span<const compiler::AtomicCondition> comparisons_of(const compiler::CompiledRule& rule);
bool is_any(const compiler::CompiledRule& rule);
// True when the comparison has a literal NaN on its right.
bool nan_literal(const compiler::AtomicCondition& atomic);

// The outcomes on which a comparison of two fields by `op` can hold: none
// when its row applies to no type.
constexpr std::uint8_t pair_outcomes(documents::Operator op) {
  return documents::word(op).types == 0 ? 0 : documents::word(op).accepts;
}

// A comparison of an input slot with a literal, with the outcomes on which
// it holds (holding_outcomes of its operator and the literal's kind).
struct LiteralComparison {
  std::uint32_t slot = 0;
  std::uint8_t outcomes = 0;
  ValueView literal;
};

// How often a comparison with a literal may hold, estimated from the literals
// that the sequence compares its field with: a threshold beyond most of them
// names an exception, which few inputs pass. Lower is rarer; a comparison
// that holds on equality alone is rarest, one on a boolean holds half the time.
class HoldingEstimate {
 public:
  void add(const LiteralComparison& comparison);
  void finish();
  double operator()(const LiteralComparison& comparison) const;
  // A comparison of two fields, by the outcomes it accepts: two fields are
  // rarely equal (a user's id and an owner's: the self-approval pattern),
  // unless a literal shows one to be a boolean; an order is no rarer than
  // the kind alone. Rarer than a boolean literal or a common threshold,
  // less rare than a threshold beyond most literals.
  double pair(std::uint32_t left, std::uint32_t right, std::uint8_t accepts) const;

 private:
  std::map<std::uint32_t, std::vector<double>> literals_;
  std::map<std::uint32_t, ValueKind> kinds_;  // of the literals compared with a slot
};

// The checks of every rule of a sequence, in rule order.
class RuleChecks {
 public:
  RuleChecks() = default;
  // Checks point into texts_, whose buffer a move keeps and a copy would not.
  RuleChecks(const RuleChecks&) = delete;
  RuleChecks& operator=(const RuleChecks&) = delete;
  RuleChecks(RuleChecks&&) noexcept = default;
  RuleChecks& operator=(RuleChecks&&) noexcept = default;

  // With `rarest_first`, an all rule's checks are tried rarest first: they
  // are pure, so any order decides alike, and a failing rule fails sooner.
  static RuleChecks build(std::span<const compiler::CompiledRule> rules, bool rarest_first);

  std::size_t rule_count() const { return plans_.size(); }
  const RulePlan& plan(std::uint32_t position) const { return plans_[position]; }
  const Check* checks() const { return checks_.data(); }
  std::span<Check> checks_of(std::uint32_t position) {
    return {checks_.data() + plans_[position].first, plans_[position].count};
  }
  std::span<const Check> checks_of(std::uint32_t position) const {
    return {checks_.data() + plans_[position].first, plans_[position].count};
  }
  // The condition of a rule whose plan has `tree` set.
  const compiler::ConditionTree& tree(std::uint32_t position) const { return *trees_[position]; }

 private:
  std::vector<RulePlan> plans_;
  std::vector<const compiler::ConditionTree*> trees_;  // by position; empty without trees
  std::vector<Check> checks_;
  std::vector<char> texts_;
};

}  // namespace kavro::evaluation::detail
