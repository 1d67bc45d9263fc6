// The screens of a rule sequence of kMinScreenedRules to kMaxScreenedRules
// rules. Each rule that the equality keys do not file gets a guard: a
// comparison it needs, as a range of its field's measure (a number itself, a
// boolean's 0 or 1, a text's length); an any rule one per comparison. Per
// field, the guards' bounds cut the line of measures into regions within
// which the same guards pass, and each region keeps, as a bitset over the
// sequence in document order, the rules let through. An input's value picks
// its region by one count of the cuts at or below its measure; the regions'
// bitsets, the unguarded rules and the rules the equality keys file under the
// input's values are OR-ed and walked in order. A comparison of two fields
// guards the same way: per pair of fields, compared once per input, each
// outcome keeps the bitset of the rules whose guards accept it.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <span>
#include <vector>

#include "evaluation/equality_index.h"
#include "evaluation/rule_checks.h"

namespace kavro::evaluation::detail {

inline constexpr std::size_t kMinScreenedRules = kMinIndexedRules;
// Bitsets of at most kMaxScreenWords words live on the stack.
inline constexpr std::size_t kMaxScreenedRules = 256;
inline constexpr std::size_t kMaxScreenWords = kMaxScreenedRules / 64;

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

// The guards of a screened sequence on one pair of slots: per outcome of
// comparing the left slot's value with the right's (by bit: less, equal,
// greater, unordered), the rules let through.
struct PairScreen {
  std::uint32_t left = 0;
  std::uint32_t right = 0;
  std::uint32_t first_mask = 0;  // four regions' masks, screen_words() words each
};

class ScreenIndex {
 public:
  ScreenIndex() = default;
  ScreenIndex(const ScreenIndex&) = delete;
  ScreenIndex& operator=(const ScreenIndex&) = delete;
  ScreenIndex(ScreenIndex&&) noexcept = default;
  ScreenIndex& operator=(ScreenIndex&&) noexcept = default;

  // Guards each rule left unfiled by `filing` (whose any rules must have been
  // filed by their members); an all rule's guard is its first check, which
  // is moved last, since a rule visited has passed it.
  static ScreenIndex build(std::span<const compiler::CompiledRule> rules, RuleChecks& checks,
                           Filing filing);

  std::size_t screen_words() const { return unguarded_bits_.size(); }
  // The pairs of slots whose comparison guards some rule.
  std::size_t pair_count() const { return pair_screens_.size(); }

  // Adds to `bits` the rules whose guards on values of `kind` pass for this
  // input, slot by slot: the cuts at or below the value's measure pick the
  // region.
  template <ValueKind kind, class Input>
  [[gnu::always_inline]] void add_passing_slots(const Input& input, std::uint64_t* bits) const {
    const std::size_t words = screen_words();
    const auto k = static_cast<std::size_t>(kind);
    const SlotScreen* const end = slot_screens_.data() + screen_kind_starts_[k];
    for (const SlotScreen* screen = slot_screens_.data() + screen_kind_starts_[k - 1];
         screen != end; ++screen) {
      const ValueView& value = input.at(screen->slot);
      double measure = kind == ValueKind::Number ? value.number : (value.boolean ? 1.0 : 0.0);
      if constexpr (kind == ValueKind::String) measure = static_cast<double>(value.text.size());
      const double* const cuts = cuts_.data() + screen->first_cut;
      std::uint32_t region = 0;
      for (std::uint32_t i = 0; i < screen->cut_count; ++i) region += cuts[i] <= measure;
      // A value of another kind, or none, lets none of the slot's rules through.
      const std::uint64_t keep = value.kind == kind ? ~std::uint64_t{0} : 0;
      const std::uint64_t* const mask = screen_masks_.data() + screen->first_mask + region * words;
      // All kMaxScreenWords words: a fixed count unrolls; the words past
      // `words` are padding or the next region's, and are never walked.
      for (std::size_t word = 0; word < kMaxScreenWords; ++word) bits[word] |= mask[word] & keep;
    }
  }

  // Adds to `bits` the rules whose guards on pairs of slots accept the
  // outcome of comparing the pair's values; values of two kinds, or an
  // absent one, let none through.
  template <class Input>
  [[gnu::always_inline]] void add_passing_pairs(const Input& input, std::uint64_t* bits) const {
    const std::size_t words = screen_words();
    for (const PairScreen& screen : pair_screens_) {
      const ValueView& left = input.at(screen.left);
      const ValueView& right = input.at(screen.right);
      if (left.kind != right.kind || !left.present()) continue;
      const auto region = static_cast<std::size_t>(std::countr_zero(outcome_of(left, right)));
      const std::uint64_t* const mask = screen_masks_.data() + screen.first_mask + region * words;
      for (std::size_t word = 0; word < kMaxScreenWords; ++word) bits[word] |= mask[word];
    }
  }

  // The strategy: the rules that the equality keys file under the input's
  // values, the unguarded rules and the rules whose guards pass, in order.
  template <class Input, class Holds>
  [[gnu::noinline]] std::uint32_t first_holding(const RuleChecks&, const Input& input,
                                                Holds& holds) const {
    std::uint64_t bits[kMaxScreenWords] = {};
    for (std::size_t key = 0; key < equality_.key_count(); ++key) {
      const std::uint32_t* list = equality_.candidates(key, input.at(equality_.key_slot(key)));
      for (; list != nullptr && *list != kEndOfRules; ++list) set_rule_bit(bits, *list);
    }
    const std::size_t words = screen_words();
    for (std::size_t word = 0; word < words; ++word) bits[word] |= unguarded_bits_[word];
    add_passing_slots<ValueKind::String>(input, bits);
    add_passing_slots<ValueKind::Number>(input, bits);
    add_passing_slots<ValueKind::Boolean>(input, bits);
    add_passing_pairs(input, bits);
    for (std::size_t word = 0; word < words; ++word) {
      for (std::uint64_t left = bits[word]; left != 0; left &= left - 1) {
        const auto position = static_cast<std::uint32_t>(word * 64 + std::countr_zero(left));
        if (holds(position)) return position;
      }
    }
    return kEndOfRules;
  }

 private:
  struct Guard {
    std::uint32_t slot = 0;
    ValueKind kind = ValueKind::Absent;
    MeasureRange range;
  };
  struct PairGuard {
    std::uint32_t left = 0;
    std::uint32_t right = 0;
    std::uint8_t outcomes = 0;
  };
  void lay_out_slot_screens(std::vector<std::pair<std::uint32_t, Guard>>& guards);
  void lay_out_pair_screens(std::vector<std::pair<std::uint32_t, PairGuard>>& guards);

  EqualityIndex equality_;
  // The rules visited without a guard, as a bitset.
  std::vector<std::uint64_t> unguarded_bits_;
  std::vector<SlotScreen> slot_screens_;  // by kind: String, Number, Boolean
  std::array<std::uint32_t, 4> screen_kind_starts_{};
  std::vector<PairScreen> pair_screens_;
  std::vector<double> cuts_;
  // Regions' masks, followed by kMaxScreenWords words of padding, so that a
  // reader may take kMaxScreenWords words from any region's mask: the words
  // past screen_words() belong to no rule.
  std::vector<std::uint64_t> screen_masks_;
};

}  // namespace kavro::evaluation::detail
