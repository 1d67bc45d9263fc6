// The equality index of a rule sequence: a rule whose condition can only hold
// when some field equals a literal is filed under that (field, value), on up
// to kMaxIndexKeys fields, and an input's value of each such field probes a
// hash table for the rules it can match. On its own it is one candidate
// strategy (the rules it files, merged by position with the rules it does
// not); the screens and the ordered keys keep one beside theirs.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "evaluation/index_value_hash.h"
#include "evaluation/rule_checks.h"
#include "evaluation/value_view.h"

namespace kavro::evaluation::detail {

// Few keys keep the merge a handful of comparisons per visited rule.
inline constexpr std::size_t kMaxIndexKeys = 4;
// Below this many rules a plain scan costs about as much as the lookups.
inline constexpr std::size_t kMinIndexedRules = 8;
// A key must spare at least this many visits on its worst value.
inline constexpr std::size_t kMinRulesSpared = 4;

// A rule's condition can hold only when input slot `slot` equals `value`.
struct Requirement {
  std::uint32_t slot = 0;
  ValueView value;
};

// Where each rule of a sequence is filed, decided while the index is built:
// the number of the equality key it is filed under, or a mark.
struct Filing {
  // Visited whatever the keys say (a screen may still guard it).
  static constexpr int kUnfiled = -1;
  static constexpr int kNeverHolds = -2;
  // Filed by the ordered keys.
  static constexpr int kOrdered = -3;
  // An any rule that the keys file under every comparison that can hold.
  static constexpr int kFiledByMembers = -4;

  std::vector<std::uint32_t> keys;  // the slot of each equality key
  std::vector<int> assigned;
  std::vector<std::vector<Requirement>> requirements;
  // Per rule, per comparison of its any list, the key that files it (empty
  // for other rules, and unless file_any_members was called).
  std::vector<std::vector<std::optional<std::uint32_t>>> member_keys;

  // Chooses the keys (greedily, the slot that spares the most visits first)
  // and files the rules under them.
  static Filing choose(std::span<const compiler::CompiledRule> rules);
  // Files the any rules still unfiled under each of their equalities on a
  // key's slot; those whose every comparison that can hold is so filed need
  // nothing more.
  void file_any_members(std::span<const compiler::CompiledRule> rules);
  // Per comparison in rule order (the order of the laid-out checks of an any
  // rule), whether a key files its rule under it.
  std::vector<bool> filed_checks(std::span<const compiler::CompiledRule> rules) const;
};

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
  [[gnu::always_inline]] std::uint32_t next(const RuleChecks& checks) {
    std::size_t lowest = 0;
    for (std::size_t i = 1; i < count_; ++i) {
      if (*heads_[i] < *heads_[lowest]) lowest = i;
    }
    const std::uint32_t position = *heads_[lowest];
    if (position == kEndOfRules) return position;
    if (heads_[lowest] == &bit_position_) {
      next_bit();
      return position;
    }
    ++heads_[lowest];
    // Visited rules may lie apart in memory: fetch the list's next rules early.
    if (const std::uint32_t next = *heads_[lowest]; next != kEndOfRules) {
      __builtin_prefetch(checks.checks() + checks.plan(next).first);
      if (heads_[lowest][1] != kEndOfRules) __builtin_prefetch(&checks.plan(heads_[lowest][1]));
    }
    return position;
  }

 private:
  void next_bit() {
    while (word_ == 0) {
      if (++word_index_ >= words_) {
        bit_position_ = kEndOfRules;
        return;
      }
      word_ = dynamic_[word_index_] | fixed_[word_index_];
    }
    bit_position_ = static_cast<std::uint32_t>(word_index_ * 64 + std::countr_zero(word_));
    word_ &= word_ - 1;
  }

  const std::uint32_t* heads_[kMaxIndexKeys + 2];
  std::size_t count_ = 0;
  const std::uint64_t* dynamic_ = nullptr;
  const std::uint64_t* fixed_ = nullptr;
  std::size_t words_ = 0;
  std::size_t word_index_ = 0;
  std::uint64_t word_ = 0;
  std::uint32_t bit_position_ = kEndOfRules;
};

class EqualityIndex {
 public:
  EqualityIndex() = default;
  // Entries point into texts_ by offset: copies would be valid, but the
  // strategies are moved, never copied.
  EqualityIndex(const EqualityIndex&) = delete;
  EqualityIndex& operator=(const EqualityIndex&) = delete;
  EqualityIndex(EqualityIndex&&) noexcept = default;
  EqualityIndex& operator=(EqualityIndex&&) noexcept = default;

  static EqualityIndex build(std::span<const compiler::CompiledRule> rules, const Filing& filing);

  std::size_t key_count() const { return key_count_; }
  std::uint32_t key_slot(std::size_t key) const { return key_slots_[key]; }
  // Positions of the rules left unfiled, ending in kEndOfRules.
  const std::uint32_t* unindexed() const { return positions_.data() + unindexed_first_; }
  // Positions of the rules filed under `key` that `value` can match, ending
  // in kEndOfRules; nullptr when there are none (absent value, other kind,
  // NaN, or a value no rule names).
  const std::uint32_t* candidates(std::size_t key, const ValueView& value) const {
    if (!value.present() || table_.empty()) return nullptr;
    ValueView probe = value;
    probe.number = normalised(probe.number);
    const std::uint64_t hash = value_hash(key, probe);
    const std::size_t mask = table_.size() - 1;
    for (std::size_t cell = hash & mask;; cell = (cell + 1) & mask) {
      const std::uint32_t slot = table_[cell];
      if (slot == 0) return nullptr;
      const Entry& entry = entries_[slot - 1];
      if (entry.hash == hash && matches(entry, key, probe)) return positions_.data() + entry.first;
    }
  }

  // Merges in the rules filed under the input's value of each key and
  // returns the first position for which holds(position) is true.
  template <class Input, class Holds>
  [[gnu::always_inline]] std::uint32_t walk(const RuleChecks& checks, const Input& input,
                                            PositionMerge& merge, Holds& holds) const {
    for (std::size_t key = 0; key < key_count_; ++key) {
      if (const std::uint32_t* list = candidates(key, input.at(key_slots_[key]))) {
        merge.add_list(list);
      }
    }
    for (;;) {
      const std::uint32_t position = merge.next(checks);
      if (position == kEndOfRules || holds(position)) return position;
    }
  }

  // The strategy: the unfiled rules, and those filed under the input's values.
  template <class Input, class Holds>
  std::uint32_t first_holding(const RuleChecks& checks, const Input& input, Holds& holds) const {
    PositionMerge merge;
    merge.add_list(unindexed());
    return walk(checks, input, merge, holds);
  }

 private:
  struct Entry {
    std::uint64_t hash = 0;
    std::uint32_t key = 0;
    ValueKind kind = ValueKind::Absent;
    bool boolean = false;
    double number = 0.0;  // never NaN, never -0.0
    std::uint32_t text_offset = 0;
    std::uint32_t text_length = 0;
    std::uint32_t first = 0;  // into positions_
  };

  bool matches(const Entry& entry, std::size_t key, const ValueView& value) const {
    return entry.key == key &&
           same_value({entry.kind, entry.boolean, entry.number,
                       std::string_view(texts_.data() + entry.text_offset, entry.text_length)},
                      value);
  }
  void insert_entry(const Entry& entry);

  std::size_t key_count_ = 0;
  std::array<std::uint32_t, kMaxIndexKeys> key_slots_{};
  std::vector<Entry> entries_;
  // Open addressing: entry number + 1, 0 for a free cell; size a power of two.
  std::vector<std::uint32_t> table_;
  std::vector<std::uint32_t> positions_{kEndOfRules};
  std::vector<char> texts_;
  std::uint32_t unindexed_first_ = 0;
};

}  // namespace kavro::evaluation::detail
