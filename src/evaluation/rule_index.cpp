#include "evaluation/rule_index.h"

#include <bit>

#include "compiler/compiled_policy.h"
#include "support/text_hash.h"

namespace kavro::evaluation::detail {

SequenceIndex SequenceIndex::build(std::span<const compiler::CompiledRule> rules) {
  SequenceIndex index;
  // On sequences that may be scanned or screened, an all rule's rarest check
  // comes first: a screen takes it as the rule's guard.
  index.checks_ = RuleChecks::build(rules, rules.size() <= kMaxScreenedRules);
  if (rules.size() < kMinIndexedRules) {
    index.strategy_ = PlainScan(rules.size());
    return index;
  }
  Filing filing = Filing::choose(rules);
  if (rules.size() <= kMaxScreenedRules) {
    index.strategy_ = ScreenIndex::build(rules, index.checks_, std::move(filing));
    return index;
  }
  if (OrderedIndex ordered = OrderedIndex::build(rules, filing); !ordered.empty()) {
    index.strategy_ = std::move(ordered);
  } else if (!filing.keys.empty()) {
    index.strategy_ = EqualityIndex::build(rules, filing);
  } else {
    index.strategy_ = PlainScan(rules.size());
  }
  return index;
}

RuleIndex RuleIndex::build(const compiler::CompiledPolicy& policy) {
  RuleIndex index;
  index.buckets_.reserve(policy.action_rules.size());
  for (const auto& [name, rules] : policy.action_rules) {
    index.buckets_.push_back(ActionBucket{name, &rules, SequenceIndex::build(rules)});
  }
  if (!index.buckets_.empty()) {
    index.action_table_.resize(std::bit_ceil(2 * index.buckets_.size()));
    const std::size_t mask = index.action_table_.size() - 1;
    for (const ActionBucket& bucket : index.buckets_) {
      const std::uint64_t hash = text_hash(bucket.name);
      std::size_t cell = hash & mask;
      while (index.action_table_[cell].bucket != nullptr) cell = (cell + 1) & mask;
      index.action_table_[cell] = {hash, &bucket};
    }
  }
  index.global_ = SequenceIndex::build(policy.global_rules);
  return index;
}

}  // namespace kavro::evaluation::detail
