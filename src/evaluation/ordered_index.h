// The ordered keys of a rule sequence longer than kMaxScreenedRules: the
// rules that the equality keys leave are filed under one comparison of a
// field with a literal that they need (an any rule under each of its
// comparisons), sorted by literal. The comparisons filed under one key hold
// on the same outcomes, and those must make one run of the sorted literals
// (those below the input's value, equal to it, or above it, adjacent), so
// one binary search or two find the rules an input's value lets through.
// A rule may be filed under a comparison of two fields instead: per pair of
// fields, compared once per input, each outcome keeps the rules whose
// comparison accepts it, in order. They are merged by position with the
// rules that the equality keys file under the input's values and the rules
// filed nowhere.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "evaluation/equality_index.h"
#include "evaluation/rule_checks.h"

namespace kavro::evaluation::detail {

// Each ordered key costs one binary search per request, each pair key one
// comparison.
inline constexpr std::size_t kMaxOrderedKeys = 64;
inline constexpr std::size_t kMaxPairKeys = 64;
inline constexpr std::size_t kMaxRanges = kMaxOrderedKeys + kMaxPairKeys;
// Up to this many rules let through by the ordered keys are gathered and
// sorted; past it, evaluation marks them in a bitset on the stack, one bit
// per rule (8 KiB), which longer sequences would overflow: they get no
// ordered keys.
inline constexpr std::size_t kMaxGathered = 32;
inline constexpr std::size_t kMaxOrderedSequence = 65536;
inline constexpr std::size_t kMaxBitsetWords = kMaxOrderedSequence / 64;

class OrderedIndex {
 public:
  OrderedIndex() = default;
  OrderedIndex(const OrderedIndex&) = delete;
  OrderedIndex& operator=(const OrderedIndex&) = delete;
  OrderedIndex(OrderedIndex&&) noexcept = default;
  OrderedIndex& operator=(OrderedIndex&&) noexcept = default;

  // Files under ordered keys the rules that `filing` leaves unfiled, marking
  // them kOrdered; empty() when no key was worth its search.
  static OrderedIndex build(std::span<const compiler::CompiledRule> rules, Filing& filing);
  bool empty() const { return keys_.empty() && pair_keys_.empty(); }
  // The pairs of slots under whose comparison some rule is filed.
  std::size_t pair_count() const { return pair_keys_.size(); }

  // A run of ordered entries whose comparison holds for an input. Without
  // initializers: evaluation keeps room for kMaxOrderedKeys of them on the
  // stack and writes only those it uses.
  struct Range {
    std::uint32_t first;
    std::uint32_t last;
  };
  // Writes to `ranges` (room for kMaxRanges) the entries that this
  // input lets through, one range per key with any; sets `count` and
  // returns how many entries they hold in all.
  template <class Input>
  std::size_t holding_ranges(const Input& input, Range* ranges, std::size_t& count) const {
    std::size_t total = 0;
    count = 0;
    for (const Key& key : keys_) {
      const ValueView& value = input.at(key.slot);
      // Most keys name fields that this input lacks or holds another kind in.
      if (value.kind != key.kind) continue;
      // Thresholds name exceptions: most values let no rule of a key through,
      // which the key's extreme literals tell without a search.
      if (value.kind == ValueKind::Number && passes_none(key, value.number)) continue;
      const auto [first, last] = holding_range(key, value);
      if (first == last) continue;
      ranges[count++] = {first, last};
      total += last - first;
    }
    for (const PairKey& key : pair_keys_) {
      const ValueView& left = input.at(key.left);
      const ValueView& right = input.at(key.right);
      if (left.kind != right.kind || !left.present()) continue;
      const auto outcome = static_cast<std::size_t>(std::countr_zero(outcome_of(left, right)));
      const std::uint32_t first = key.starts[outcome];
      const std::uint32_t last = key.starts[outcome + 1];
      if (first == last) continue;
      ranges[count++] = {first, last};
      total += last - first;
    }
    return total;
  }

  // The strategy: few rules let through are gathered and sorted, many are
  // marked in a bitset; either way merged with the equality keys' rules and
  // the rules filed nowhere.
  template <class Input, class Holds>
  [[gnu::noinline]] std::uint32_t first_holding(const RuleChecks& checks, const Input& input,
                                                Holds& holds) const {
    Range ranges[kMaxRanges];
    std::size_t range_count = 0;
    if (holding_ranges(input, ranges, range_count) > kMaxGathered) {
      return first_holding_marked(checks, input, holds, ranges, range_count);
    }
    // A short sorted list merges cheaper than a bitset is cleared and
    // walked. An any rule filed under several comparisons is visited once.
    std::uint32_t gathered[kMaxGathered + 1];
    std::size_t found = 0;
    for (std::size_t r = 0; r < range_count; ++r) {
      for (std::uint32_t i = ranges[r].first; i != ranges[r].last; ++i) {
        gathered[found++] = entries_[i].position;
      }
    }
    std::sort(gathered, gathered + found);
    found = static_cast<std::size_t>(std::unique(gathered, gathered + found) - gathered);
    gathered[found] = kEndOfRules;
    PositionMerge merge;
    merge.add_list(gathered);
    merge.add_list(equality_.unindexed());
    return equality_.walk(checks, input, merge, holds);
  }

 private:
  // Where a key's run of holding entries starts or ends, among the sorted
  // literals for an input's value: the first entry, the first literal not
  // below the value, the first above it, or past the last.
  enum class Bound : std::uint8_t { Begin, NotBelow, Above, End };

  // The rules that hold only when the input's `slot` compares on `outcomes`
  // with their literal, sorted by literal. Literals are never NaN.
  struct Key {
    std::uint32_t slot = 0;
    ValueKind kind = ValueKind::Absent;
    std::uint8_t outcomes = 0;
    Bound start = Bound::Begin;
    Bound stop = Bound::End;
    // Whether literals below, equal to and above the value hold.
    bool below = false;
    bool equal = false;
    bool above = false;
    std::uint32_t first = 0;  // into entries_
    std::uint32_t count = 0;
    // Of a Number key: its smallest and largest literal.
    double lowest = 0.0;
    double highest = 0.0;
  };
  // The rules filed under comparisons of `left` with `right`: per outcome
  // bit (less, equal, greater, unordered), the entries from starts[bit] to
  // starts[bit + 1], in document order.
  struct PairKey {
    std::uint32_t left = 0;
    std::uint32_t right = 0;
    std::array<std::uint32_t, 5> starts{};
  };
  struct Entry {
    double number = 0.0;            // booleans as 0 or 1
    std::uint32_t text_offset = 0;  // into texts_
    std::uint32_t text_length = 0;
    std::uint32_t position = 0;
  };

  // True when `number` lets none of a Number key's rules through (NaN never
  // does); false when a search must tell.
  static bool passes_none(const Key& key, double number) {
    return !((key.below && number > key.lowest) ||
             (key.equal && number >= key.lowest && number <= key.highest) ||
             (key.above && number < key.highest));
  }
  std::pair<std::uint32_t, std::uint32_t> holding_range(const Key& key,
                                                        const ValueView& value) const;

  // The rules that ordered keys let through when there are many, marked in a
  // bitset. Apart, so that its large stack frame is set up only where used.
  template <class Input, class Holds>
  [[gnu::noinline]] std::uint32_t first_holding_marked(const RuleChecks& checks, const Input& input,
                                                       Holds& holds, const Range* ranges,
                                                       std::size_t range_count) const {
    PositionMerge merge;
    std::uint64_t bits[kMaxBitsetWords];
    const std::size_t words = unindexed_bits_.size();
    std::fill_n(bits, words, std::uint64_t{0});
    for (std::size_t r = 0; r < range_count; ++r) {
      for (std::uint32_t i = ranges[r].first; i != ranges[r].last; ++i) {
        set_rule_bit(bits, entries_[i].position);
      }
    }
    merge.add_bits(bits, unindexed_bits_.data(), words);
    return equality_.walk(checks, input, merge, holds);
  }

  EqualityIndex equality_;
  std::vector<Key> keys_;
  std::vector<PairKey> pair_keys_;
  std::vector<Entry> entries_;
  std::vector<char> texts_;
  // The rules filed nowhere, as a bitset.
  std::vector<std::uint64_t> unindexed_bits_;
};

}  // namespace kavro::evaluation::detail
