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
                 }},
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
[[gnu::always_inline]] inline bool plan_holds(const detail::SequenceIndex& index,
                                              std::uint32_t position, const Input& input) {
  const detail::RulePlan& plan = index.plan(position);
  const detail::Check* check = index.checks() + plan.first;
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
  return true;
}

// Adds to `bits` the rules whose guards on values of `kind` pass for this
// input, slot by slot: the cuts at or below the value's measure pick the
// region.
template <ValueKind kind, class Input>
[[gnu::always_inline]] inline void add_passing_slots(const detail::SequenceIndex& index,
                                                     const Input& input, std::uint64_t* bits) {
  const std::size_t words = index.screen_words();
  for (const detail::SlotScreen& screen : index.slot_screens(kind)) {
    const ValueView& value = input.at(screen.slot);
    double measure = kind == ValueKind::Number ? value.number : (value.boolean ? 1.0 : 0.0);
    if constexpr (kind == ValueKind::String) measure = static_cast<double>(value.text.size());
    const double* const cuts = index.cuts() + screen.first_cut;
    std::uint32_t region = 0;
    for (std::uint32_t i = 0; i < screen.cut_count; ++i) region += cuts[i] <= measure;
    // A value of another kind, or none, lets none of the slot's rules through.
    const std::uint64_t keep = value.kind == kind ? ~std::uint64_t{0} : 0;
    const std::uint64_t* const mask = index.screen_masks() + screen.first_mask + region * words;
    // All kMaxScreenWords words: a fixed count unrolls; the words past
    // `words` are padding or the next region's, and are never walked.
    for (std::size_t word = 0; word < detail::kMaxScreenWords; ++word) {
      bits[word] |= mask[word] & keep;
    }
  }
}

// Visits rules in document order from lists of positions, each ending in
// kEndOfRules (which is above every position), and optionally from a bitset.
class PositionMerge {
 public:
  void add_list(const std::uint32_t* list) { heads_[count_++] = list; }
  // `dynamic` and `fixed` are `words` words each; a rule is let through when
  // its bit is set in either.
  void add_bits(const std::uint64_t* dynamic, const std::uint64_t* fixed, std::size_t words) {
    dynamic_ = dynamic;
    fixed_ = fixed;
    words_ = words;
    word_ = words == 0 ? 0 : dynamic[0] | fixed[0];
    next_bit();
    heads_[count_++] = &bit_position_;
  }

  // The next position, kEndOfRules once every source is exhausted.
  [[gnu::always_inline]] std::uint32_t next(const detail::SequenceIndex& index) {
    std::size_t lowest = 0;
    for (std::size_t i = 1; i < count_; ++i) {
      if (*heads_[i] < *heads_[lowest]) lowest = i;
    }
    const std::uint32_t position = *heads_[lowest];
    if (position == detail::kEndOfRules) return position;
    if (heads_[lowest] == &bit_position_) {
      next_bit();
      return position;
    }
    ++heads_[lowest];
    // Visited rules may lie apart in memory: fetch the list's next rules early.
    if (const std::uint32_t next = *heads_[lowest]; next != detail::kEndOfRules) {
      __builtin_prefetch(index.checks() + index.plan(next).first);
      if (heads_[lowest][1] != detail::kEndOfRules)
        __builtin_prefetch(&index.plan(heads_[lowest][1]));
    }
    return position;
  }

 private:
  void next_bit() {
    while (word_ == 0) {
      if (++word_index_ >= words_) {
        bit_position_ = detail::kEndOfRules;
        return;
      }
      word_ = dynamic_[word_index_] | fixed_[word_index_];
    }
    bit_position_ = static_cast<std::uint32_t>(word_index_ * 64 + std::countr_zero(word_));
    word_ &= word_ - 1;
  }

  const std::uint32_t* heads_[detail::kMaxIndexKeys + 2];
  std::size_t count_ = 0;
  const std::uint64_t* dynamic_ = nullptr;
  const std::uint64_t* fixed_ = nullptr;
  std::size_t words_ = 0;
  std::size_t word_index_ = 0;
  std::uint64_t word_ = 0;
  std::uint32_t bit_position_ = detail::kEndOfRules;
};

// Merges in the rules filed under the input's value of each equality key and
// returns the first position for which holds(position) is true.
template <class Input, class Holds>
[[gnu::always_inline]] inline std::uint32_t walk_candidates(const detail::SequenceIndex& index,
                                                            const Input& input,
                                                            PositionMerge& merge, Holds& holds) {
  for (std::size_t key = 0; key < index.key_count(); ++key) {
    if (const std::uint32_t* list = index.candidates(key, input.at(index.key_slot(key)))) {
      merge.add_list(list);
    }
  }
  for (;;) {
    const std::uint32_t position = merge.next(index);
    if (position == detail::kEndOfRules || holds(position)) return position;
  }
}

// The rules that ordered keys let through when there are many, marked in a
// bitset. Apart, so that its large stack frame is set up only where used.
template <class Input, class Holds>
[[gnu::noinline]] std::uint32_t first_holding_marked(const detail::SequenceIndex& index,
                                                     const Input& input, Holds& holds,
                                                     const detail::SequenceIndex::Range* ranges,
                                                     std::size_t range_count) {
  PositionMerge merge;
  std::uint64_t bits[detail::kMaxBitsetWords];
  const std::size_t words = index.bitset_words();
  std::fill_n(bits, words, std::uint64_t{0});
  index.mark(ranges, range_count, bits);
  merge.add_bits(bits, index.unindexed_bits(), words);
  return walk_candidates(index, input, merge, holds);
}

// first_holding on a sequence with ordered keys.
template <class Input, class Holds>
[[gnu::noinline]] std::uint32_t first_holding_ordered(const detail::SequenceIndex& index,
                                                      const Input& input, Holds& holds) {
  detail::SequenceIndex::Range ranges[detail::kMaxOrderedKeys];
  std::size_t range_count = 0;
  if (index.holding_ranges(input, ranges, range_count) > detail::kMaxGathered) {
    return first_holding_marked(index, input, holds, ranges, range_count);
  }
  // Few let through: a short sorted list merges cheaper than a bitset is
  // cleared and walked. An any rule filed under several comparisons is
  // visited once.
  std::uint32_t gathered[detail::kMaxGathered + 1];
  std::size_t found = index.gather(ranges, range_count, gathered);
  std::sort(gathered, gathered + found);
  found = static_cast<std::size_t>(std::unique(gathered, gathered + found) - gathered);
  gathered[found] = detail::kEndOfRules;
  PositionMerge merge;
  merge.add_list(gathered);
  merge.add_list(index.unindexed());
  return walk_candidates(index, input, merge, holds);
}

// first_holding on a screened sequence: the rules that the equality keys
// file under the input's values, the unguarded rules and the rules whose
// guards pass, visited in order.
template <class Input, class Holds>
[[gnu::noinline]] std::uint32_t first_screened(const detail::SequenceIndex& index,
                                               const Input& input, Holds& holds) {
  std::uint64_t bits[detail::kMaxScreenWords] = {};
  for (std::size_t key = 0; key < index.key_count(); ++key) {
    const std::uint32_t* list = index.candidates(key, input.at(index.key_slot(key)));
    for (; list != nullptr && *list != detail::kEndOfRules; ++list)
      detail::set_rule_bit(bits, *list);
  }
  const std::size_t words = index.screen_words();
  for (std::size_t word = 0; word < words; ++word) bits[word] |= index.unguarded_bits()[word];
  add_passing_slots<ValueKind::String>(index, input, bits);
  add_passing_slots<ValueKind::Number>(index, input, bits);
  add_passing_slots<ValueKind::Boolean>(index, input, bits);
  for (std::size_t word = 0; word < words; ++word) {
    for (std::uint64_t left = bits[word]; left != 0; left &= left - 1) {
      const auto position = static_cast<std::uint32_t>(word * 64 + std::countr_zero(left));
      if (holds(position)) return position;
    }
  }
  return detail::kEndOfRules;
}

// The position of the first rule, in document order, for which holds(position)
// is true among the rules that `index` leaves possible for this input: the
// unindexed rules, per equality key the rules filed under the input's value,
// and the rules that the screens or the ordered keys let through, merged by
// position.
// kEndOfRules when there is none.
template <class Input, class Holds>
std::uint32_t first_holding(const detail::SequenceIndex& index, const Input& input, Holds&& holds) {
  if (index.screened()) return first_screened(index, input, holds);
  if (!index.active()) {
    for (std::uint32_t position = 0; position < index.rule_count(); ++position) {
      if (holds(position)) return position;
    }
    return detail::kEndOfRules;
  }
  if (index.has_ordered_keys()) return first_holding_ordered(index, input, holds);
  PositionMerge merge;
  merge.add_list(index.unindexed());
  return walk_candidates(index, input, merge, holds);
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
  if (!index.planned() || index.rule_count() != rules.size()) {
    return find_first_match(rules, input);
  }
  // Inlined into each of first_holding's loops: a call per visited rule
  // costs about as much as the rule's checks. (A C++ attribute here would
  // name the lambda's type, not its call operator.)
  const auto holds = [&](std::uint32_t candidate) __attribute__((always_inline)) {
    visit(candidate);
    return plan_holds(index, candidate, input);
  };
  const std::uint32_t position = first_holding(index, input, holds);
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
  if (match == nullptr) return {};
  return {match->effect, match->rule_id};
}

}  // namespace kavro::evaluation
