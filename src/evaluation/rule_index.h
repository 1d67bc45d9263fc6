// RuleIndex: an index over the rule sequences of a compiled policy, built
// once by Plan::build and immutable afterwards, so any number of evaluations
// may read it at once. Each sequence keeps its rules' checks laid out for
// evaluation and one candidate strategy, chosen by its length in
// SequenceIndex::build alone:
//   - a plain scan, under kMinIndexedRules rules;
//   - screens (screen_index.h), up to kMaxScreenedRules rules;
//   - ordered keys (ordered_index.h), on longer sequences where some key is
//     worth its search;
//   - else the equality index (equality_index.h), or the plain scan when no
//     key is worth its probe.
// Every strategy answers one question (CandidateStrategy): the first rule,
// in document order, for which a predicate holds among those it leaves
// possible for an input; so the first rule found is the one a plain scan
// would find. It is derived data: it takes no part in the text form, and it
// points into the policy it was built for, so it can be moved but not copied.
#pragma once

#include <concepts>
#include <cstdint>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "evaluation/equality_index.h"
#include "evaluation/ordered_index.h"
#include "evaluation/rule_checks.h"
#include "evaluation/screen_index.h"
#include "evaluation/value_view.h"
#include "support/text_equal.h"
#include "support/text_hash.h"

namespace kavro::compiler {
struct CompiledPolicy;
}  // namespace kavro::compiler

namespace kavro::evaluation::detail {

// Every rule is a candidate.
class PlainScan {
 public:
  explicit PlainScan(std::size_t rule_count = 0) : rule_count_(rule_count) {}
  template <class Input, class Holds>
  std::uint32_t first_holding(const RuleChecks&, const Input&, Holds& holds) const {
    for (std::uint32_t position = 0; position < rule_count_; ++position) {
      if (holds(position)) return position;
    }
    return kEndOfRules;
  }

 private:
  std::size_t rule_count_;
};

// What the strategies are tried with: an input reads a slot's value, and the
// predicate decides a position.
struct ProbeInput {
  const ValueView& at(std::uint32_t slot) const;
};
struct ProbeHolds {
  bool operator()(std::uint32_t position);
};
template <class Strategy>
concept CandidateStrategy = std::movable<Strategy> &&
    requires(const Strategy& strategy, const RuleChecks& checks, const ProbeInput& input,
             ProbeHolds& holds) {
  { strategy.first_holding(checks, input, holds) } -> std::same_as<std::uint32_t>;
};
static_assert(CandidateStrategy<PlainScan> && CandidateStrategy<EqualityIndex> &&
              CandidateStrategy<ScreenIndex> && CandidateStrategy<OrderedIndex>);

// The index of one rule sequence: its rules' checks and its strategy.
class SequenceIndex {
 public:
  using Strategy = std::variant<PlainScan, EqualityIndex, ScreenIndex, OrderedIndex>;

  SequenceIndex() = default;
  SequenceIndex(const SequenceIndex&) = delete;
  SequenceIndex& operator=(const SequenceIndex&) = delete;
  SequenceIndex(SequenceIndex&&) noexcept = default;
  SequenceIndex& operator=(SequenceIndex&&) noexcept = default;

  static SequenceIndex build(std::span<const compiler::CompiledRule> rules);

  const RuleChecks& checks() const { return checks_; }
  const Strategy& strategy() const { return strategy_; }

  // The position of the first rule, in document order, for which
  // holds(position) is true among those the strategy leaves possible for
  // this input; kEndOfRules when there is none.
  template <class Input, class Holds>
  std::uint32_t first_holding(const Input& input, Holds& holds) const {
    return std::visit(
        [&](const auto& strategy) { return strategy.first_holding(checks_, input, holds); },
        strategy_);
  }

 private:
  RuleChecks checks_;
  Strategy strategy_;
};

class RuleIndex {
 public:
  struct ActionBucket {
    std::string_view name;  // the policy's own key
    const std::vector<compiler::CompiledRule>* rules = nullptr;
    SequenceIndex index;
  };

  RuleIndex() = default;
  // A copy would point into the original policy's rules.
  RuleIndex(const RuleIndex&) = delete;
  RuleIndex& operator=(const RuleIndex&) = delete;
  RuleIndex(RuleIndex&&) noexcept = default;
  RuleIndex& operator=(RuleIndex&&) noexcept = default;

  // nullptr when no rule is filed under the action.
  const ActionBucket* find_action(std::string_view action) const {
    if (action_table_.empty()) return nullptr;
    const std::uint64_t hash = text_hash(action);
    const std::size_t mask = action_table_.size() - 1;
    for (std::size_t cell = hash & mask;; cell = (cell + 1) & mask) {
      const ActionCell& entry = action_table_[cell];
      if (entry.bucket == nullptr) return nullptr;
      if (entry.hash == hash && text_equal(entry.bucket->name, action)) return entry.bucket;
    }
  }
  const SequenceIndex& global() const { return global_; }
  // Buckets numbered from 0, for callers that keep something per bucket.
  std::size_t bucket_count() const { return buckets_.size(); }
  std::size_t bucket_number(const ActionBucket& bucket) const {
    return static_cast<std::size_t>(&bucket - buckets_.data());
  }

  // The policy's rule sequences must stay where they are (moving the whole
  // policy is fine) and unchanged while the index is used.
  static RuleIndex build(const compiler::CompiledPolicy& policy);

 private:
  // Open addressing over the buckets, at most half full; a null bucket marks
  // a free cell. A flat probe costs less than a node-based map's lookup.
  struct ActionCell {
    std::uint64_t hash = 0;
    const ActionBucket* bucket = nullptr;
  };

  std::vector<ActionBucket> buckets_;
  std::vector<ActionCell> action_table_;
  SequenceIndex global_;
};

}  // namespace kavro::evaluation::detail
