// RuleIndex: an index over the rule sequences of a compiled policy, built
// once by Plan::build and immutable afterwards, so any number of evaluations
// may read it at once. A rule whose condition can only hold when some field
// equals a literal is filed under that (field, value). On sequences of up to
// kMaxScreenedRules rules an any rule is also filed under each of its
// equalities on such a field, and the other rules are screened: each has a guard (a
// comparison it needs, as a range of the field's value), and per field one
// count of range bounds picks, as a bitset, the rules whose guards pass. On
// longer sequences they are filed under one comparison of a field with a
// literal that they need (an any rule under each of its comparisons), sorted
// by literal, so one binary search finds the ones an input's value lets
// through. Evaluation visits only the rules so proposed, merged by position
// with the rules that have no such requirement, so the first rule found is
// the one a plain scan would find. It is derived data: it takes no part in the text
// form, and it points into the policy it was built for, so it can be moved
// but not copied.
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "documents/vocabulary.h"
#include "evaluation/index_value_hash.h"
#include "evaluation/value_view.h"
#include "support/text_equal.h"
#include "support/text_hash.h"

namespace kavro::compiler {
struct CompiledRule;
struct CompiledPolicy;
}  // namespace kavro::compiler

namespace kavro::evaluation::detail {

// Ends every list of rule positions, and compares above every position.
inline constexpr std::uint32_t kEndOfRules = std::numeric_limits<std::uint32_t>::max();
// Few keys keep the merge a handful of comparisons per visited rule.
inline constexpr std::size_t kMaxIndexKeys = 4;
// Each ordered key costs one binary search per request.
inline constexpr std::size_t kMaxOrderedKeys = 64;
// Up to this many rules let through by the ordered keys are gathered and
// sorted; past it, evaluation marks them in a bitset on the stack, one bit
// per rule (8 KiB), which longer sequences would overflow: they get no
// ordered keys.
inline constexpr std::size_t kMaxGathered = 32;
inline constexpr std::size_t kMaxOrderedSequence = 65536;
inline constexpr std::size_t kMaxBitsetWords = kMaxOrderedSequence / 64;
// Sequences from kMinScreenedRules up to kMaxScreenedRules rules screen the
// rules that no equality key files (bitsets of at most kMaxScreenWords words
// on the stack); shorter ones are scanned plainly, longer ones get ordered
// keys.
inline constexpr std::size_t kMinScreenedRules = 8;
inline constexpr std::size_t kMaxScreenedRules = 256;
inline constexpr std::size_t kMaxScreenWords = kMaxScreenedRules / 64;

// Sets a rule's bit in a bitset of rules by position.
inline void set_rule_bit(std::uint64_t* bits, std::uint32_t position) {
  bits[position >> 6] |= std::uint64_t{1} << (position & 63);
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
  std::uint8_t accepts = 0;                              // none: the operator never holds
  bool two_fields = false;                               // the right-hand side is an input field
  documents::Operator op = documents::Operator::Equals;  // used when two_fields
  // The text literal's length, or the right-hand slot when two_fields.
  std::uint32_t extra = 0;
  union {
    const char* text;     // into the owning SequenceIndex
    double number = 0.0;  // booleans as 0 or 1
  };
};

// A necessary condition of one comparison, cheaper to test than the
// comparison: the input's `slot` holds a value of `kind` whose measure (a
// Number itself, a Boolean's 0 or 1, a String's length) lies in
// [lowest, highest]. A NaN passes when there is no lower bound (a superset
// of not_equals, the one operator that holds on it).
struct Guard {
  std::uint32_t slot = 0;
  ValueKind kind = ValueKind::Absent;
  double lowest = 0.0;
  double highest = 0.0;
};

// The guards of a screened sequence on one slot, settled together: their
// bounds cut the line of measures into regions within which the same guards
// pass, so one count of the cuts at or below the input's measure picks the
// rules let through.
struct SlotScreen {
  std::uint32_t slot = 0;
  std::uint32_t first_cut = 0;  // into the sequence's cuts, ascending
  std::uint32_t cut_count = 0;
  // Into the sequence's masks: per region 0..cut_count, the rules let
  // through, screen_words() words each.
  std::uint32_t first_mask = 0;
};

// The checks of one rule: an Any list needs one of them, the other shapes all.
struct RulePlan {
  std::uint32_t first = 0;
  std::uint32_t count : 31 = 0;
  std::uint32_t any : 1 = 0;
};

// The index of one rule sequence, and the rules' checks in evaluation form.
// The index is inactive when a plain scan is as good; the checks are always
// laid out.
class SequenceIndex {
 public:
  SequenceIndex() = default;
  // Checks point into texts_: a copy would point into the original.
  SequenceIndex(const SequenceIndex&) = delete;
  SequenceIndex& operator=(const SequenceIndex&) = delete;
  SequenceIndex(SequenceIndex&&) noexcept = default;
  SequenceIndex& operator=(SequenceIndex&&) noexcept = default;

  bool active() const { return key_count_ != 0 || !ordered_keys_.empty(); }
  std::size_t rule_count() const { return rule_count_; }
  std::size_t key_count() const { return key_count_; }
  std::uint32_t key_slot(std::size_t key) const { return key_slots_[key]; }
  // Positions of the rules visited for every input, ending in kEndOfRules.
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

  // A run of ordered entries whose comparison holds for an input. Without
  // initializers: evaluation keeps room for kMaxOrderedKeys of them on the
  // stack and writes only those it uses.
  struct Range {
    std::uint32_t first;
    std::uint32_t last;
  };
  // Writes to `ranges` (room for kMaxOrderedKeys) the entries that this
  // input lets through, one range per ordered key with any; sets `count` and
  // returns how many entries they hold in all.
  template <class Input>
  std::size_t holding_ranges(const Input& input, Range* ranges, std::size_t& count) const {
    std::size_t total = 0;
    count = 0;
    for (const OrderedKey& key : ordered_keys_) {
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
    return total;
  }
  // The rules of the entries in `ranges`, written to `out` (unsorted,
  // possibly repeated) or set in `bits` (bitset_words() words).
  std::size_t gather(const Range* ranges, std::size_t count, std::uint32_t* out) const {
    std::size_t written = 0;
    for (std::size_t r = 0; r < count; ++r) {
      for (std::uint32_t i = ranges[r].first; i != ranges[r].last; ++i) {
        out[written++] = ordered_[i].position;
      }
    }
    return written;
  }
  void mark(const Range* ranges, std::size_t count, std::uint64_t* bits) const {
    for (std::size_t r = 0; r < count; ++r) {
      for (std::uint32_t i = ranges[r].first; i != ranges[r].last; ++i) {
        set_rule_bit(bits, ordered_[i].position);
      }
    }
  }
  std::size_t bitset_words() const { return unindexed_bits_.size(); }
  // With ordered keys: the unindexed rules as a bitset of bitset_words() words.
  const std::uint64_t* unindexed_bits() const { return unindexed_bits_.data(); }
  bool has_ordered_keys() const { return !ordered_keys_.empty(); }

  // Screened sequences: as bitsets of screen_words() words, the rules visited
  // without a guard, and per slot the rules whose guards pass (an any rule
  // has one per comparison and passes when one does). Rules filed under an
  // equality key have neither; a rule that can never hold has neither either.
  bool screened() const { return !unguarded_bits_.empty(); }
  std::size_t screen_words() const { return unguarded_bits_.size(); }
  const std::uint64_t* unguarded_bits() const { return unguarded_bits_.data(); }
  // The slots whose guards test values of `kind`.
  std::span<const SlotScreen> slot_screens(ValueKind kind) const {
    const auto first = slot_screens_.data();
    const auto k = static_cast<std::size_t>(kind);
    return {first + screen_kind_starts_[k - 1], first + screen_kind_starts_[k]};
  }
  const double* cuts() const { return cuts_.data(); }
  // Regions' masks, followed by kMaxScreenWords words of padding, so that a
  // reader may take kMaxScreenWords words from any region's mask: the words
  // past screen_words() belong to no rule.
  const std::uint64_t* screen_masks() const { return screen_masks_.data(); }

  // True once build has laid out the checks of every rule.
  bool planned() const { return planned_; }
  const RulePlan& plan(std::uint32_t position) const { return plans_[position]; }
  const Check* checks() const { return checks_.data(); }

  static SequenceIndex build(std::span<const compiler::CompiledRule> rules);

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

  // The rules that hold only when the input's `slot` compares by `op` with
  // their literal, sorted by literal, so the ones that hold for a value are
  // one range found by binary search. Literals are never NaN.
  struct OrderedKey {
    std::uint32_t slot = 0;
    documents::Operator op = documents::Operator::Equals;  // Equals, GreaterThan or LessThan
    ValueKind kind = ValueKind::Absent;
    std::uint32_t first = 0;  // into ordered_
    std::uint32_t count = 0;
    // Of a Number key: its smallest and largest literal.
    double lowest = 0.0;
    double highest = 0.0;
  };
  // True when `number` lets none of a Number key's rules through (NaN never
  // does); false when a search must tell.
  static bool passes_none(const OrderedKey& key, double number) {
    switch (key.op) {
      case documents::Operator::GreaterThan:  // literal < number
        return !(number > key.lowest);
      case documents::Operator::LessThan:  // literal > number
        return !(number < key.highest);
      default:
        return !(number >= key.lowest && number <= key.highest);
    }
  }
  struct Ordered {
    double number = 0.0;            // booleans as 0 or 1
    std::uint32_t text_offset = 0;  // into texts_
    std::uint32_t text_length = 0;
    std::uint32_t position = 0;
  };
  std::pair<std::uint32_t, std::uint32_t> holding_range(const OrderedKey& key,
                                                        const ValueView& value) const;

  bool matches(const Entry& entry, std::size_t key, const ValueView& value) const {
    return entry.key == key &&
           same_value({entry.kind, entry.boolean, entry.number,
                       std::string_view(texts_.data() + entry.text_offset, entry.text_length)},
                      value);
  }
  void insert_entry(Entry entry);
  // Returns, per comparison in rule order, whether an equality key files its
  // rule under it (an any rule's comparison on a key's slot).
  std::vector<bool> choose_and_file(std::span<const compiler::CompiledRule> rules);
  void lay_out_checks(std::span<const compiler::CompiledRule> rules);
  void file_ordered(std::span<const compiler::CompiledRule> rules, std::vector<int>& assigned);
  void lay_out_guards(const std::vector<bool>& filed_checks);
  void lay_out_slot_screens(std::vector<std::pair<std::uint32_t, Guard>>& guards);

  std::size_t rule_count_ = 0;
  std::size_t key_count_ = 0;
  std::array<std::uint32_t, kMaxIndexKeys> key_slots_{};
  std::vector<Entry> entries_;
  // Open addressing: entry number + 1, 0 for a free cell; size a power of two.
  std::vector<std::uint32_t> table_;
  std::vector<std::uint32_t> positions_;
  std::vector<char> texts_;
  std::uint32_t unindexed_first_ = 0;
  std::vector<OrderedKey> ordered_keys_;
  std::vector<std::uint64_t> unindexed_bits_;
  std::vector<Ordered> ordered_;
  bool planned_ = false;
  std::vector<RulePlan> plans_;
  std::vector<Check> checks_;
  std::vector<std::uint64_t> unguarded_bits_;
  std::vector<SlotScreen> slot_screens_;  // by kind: String, Number, Boolean
  std::array<std::uint32_t, 4> screen_kind_starts_{};
  std::vector<double> cuts_;
  std::vector<std::uint64_t> screen_masks_;
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
