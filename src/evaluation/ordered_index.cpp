#include "evaluation/ordered_index.h"

#include <map>
#include <tuple>
#include <variant>

#include "compiler/compiled_policy.h"
#include "support/overloaded.h"

namespace kavro::evaluation::detail {

namespace {

// How a comparison compares an input's value with a literal below it: a
// number is greater; texts and booleans only differ. Above it, both less.
constexpr std::uint8_t below_outcome(ValueKind kind) {
  switch (kind) {
    case ValueKind::Number:
      return documents::kOutcomeGreater;
    case ValueKind::String:
    case ValueKind::Boolean:
    case ValueKind::Absent:
      return documents::kOutcomeLess;
  }
  return documents::kOutcomeLess;
}

struct Run {
  bool below = false;
  bool equal = false;
  bool above = false;
};

Run run_of(std::uint8_t outcomes, ValueKind kind) {
  return {(outcomes & below_outcome(kind)) != 0, (outcomes & documents::kOutcomeEqual) != 0,
          (outcomes & documents::kOutcomeLess) != 0};
}

// A comparison that a key can serve: with a literal, or of two fields (one
// key per pair, whatever the outcomes).
struct Option {
  LiteralComparison comparison;
  std::uint32_t right = compiler::kNoSlot;  // a field's slot when a pair
  // An inequality of booleans, filed as the equality with the other value:
  // it names no exception, so it files an all rule only when nothing else can.
  bool last_resort = false;
  bool pair() const { return right != compiler::kNoSlot; }
};
// Keys of equal counts rank in this order: by slot, then the keys holding on
// equality, on greater, then on less.
using KeyOf = std::tuple<std::uint32_t, std::uint32_t, unsigned, ValueKind>;
constexpr unsigned outcome_order(std::uint8_t outcomes) {
  return (outcomes & documents::kOutcomeLess) != 0 ? outcomes + 16U : outcomes;
}
KeyOf key_of(const Option& option) {
  if (option.pair()) return {option.comparison.slot, option.right, 0, ValueKind::Absent};
  return {option.comparison.slot, compiler::kNoSlot, outcome_order(option.comparison.outcomes),
          option.comparison.literal.kind};
}

enum class Orderable { Yes, Never, No };

// Each fills `option` when it answers Yes; Never when the comparison can hold
// for no input. A comparison of two fields files under its pair. One with a
// literal is orderable when the literals on which it holds for a value are
// one run of the sorted literals, and not all of them; a NaN must hold on
// none, as it compares unordered with every literal.
Orderable orderable_pair(const compiler::AtomicCondition& atomic,
                         const compiler::SubjectRef& subject, Option& option) {
  const std::uint8_t outcomes = pair_outcomes(atomic.op);
  if (outcomes == 0) return Orderable::Never;
  option = {{atomic.lhs.slot, outcomes, {}}, subject.slot};
  return Orderable::Yes;
}

Orderable orderable_literal(const compiler::AtomicCondition& atomic,
                            const compiler::RuntimeValue& literal, Option& option) {
  const ValueView value = view_of(literal);
  const std::uint8_t outcomes = holding_outcomes(atomic.op, value.kind);
  if (nan_literal(atomic)) {
    return (outcomes & documents::kOutcomeUnordered) != 0 ? Orderable::No : Orderable::Never;
  }
  if (outcomes == 0) return Orderable::Never;
  if (value.kind == ValueKind::Boolean) {
    // Of two values, a comparison that holds on one alone is an equality
    // with it (not_equals false is equals true).
    const bool same = (outcomes & documents::kOutcomeEqual) != 0;
    if (same == ((outcomes & documents::kOutcomeLess) != 0)) return Orderable::No;
    const bool holding = same == value.boolean;
    option = {{atomic.lhs.slot, documents::kOutcomeEqual, ValueView::of_boolean(holding)},
              compiler::kNoSlot,
              !same};
    return Orderable::Yes;
  }
  const Run run = run_of(outcomes, value.kind);
  const bool one_run = run.equal || !(run.below && run.above);
  const bool every = run.below && run.equal && run.above;
  if ((outcomes & documents::kOutcomeUnordered) != 0 || !one_run || every) return Orderable::No;
  option = {{atomic.lhs.slot, outcomes, value}};
  if (value.kind == ValueKind::Number) option.comparison.literal.number = normalised(value.number);
  return Orderable::Yes;
}

Orderable orderable(const compiler::AtomicCondition& atomic, Option& option) {
  return std::visit(Overloaded{[&](const compiler::SubjectRef& subject) {
                                 return orderable_pair(atomic, subject, option);
                               },
                               [&](const compiler::RuntimeValue& literal) {
                                 return orderable_literal(atomic, literal, option);
                               }},
                    atomic.rhs);
}

// The comparisons of which at least one must hold for the rule to match, or
// an empty list when there is no such choice. One of them serves an atomic
// or all rule; every one of them is needed for an any rule.
std::vector<Option> ordered_options(const compiler::CompiledRule& rule) {
  std::vector<Option> options;
  Option option;
  const bool any = is_any(rule);
  for (const auto& member : comparisons_of(rule)) {
    const Orderable kind = orderable(member, option);
    if (kind == Orderable::No && any) return {};
    if (kind == Orderable::Yes) options.push_back(option);
  }
  return options;
}

}  // namespace

OrderedIndex OrderedIndex::build(std::span<const compiler::CompiledRule> rules, Filing& filing) {
  OrderedIndex index;
  if (rules.size() > kMaxOrderedSequence) return index;
  std::vector<std::vector<Option>> options(rules.size());
  std::map<KeyOf, std::size_t> counts;
  std::vector<KeyOf> keys;
  HoldingEstimate estimate;
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (filing.assigned[i] != Filing::kUnfiled) continue;
    options[i] = ordered_options(rules[i]);
    // An all rule with a better option neither counts toward nor takes a
    // last-resort key.
    auto& own = options[i];
    const auto last_resort = [](const Option& option) { return option.last_resort; };
    if (!is_any(rules[i]) && !std::all_of(own.begin(), own.end(), last_resort)) {
      own.erase(std::remove_if(own.begin(), own.end(), last_resort), own.end());
    }
    // A rule counts once per key, however many of its comparisons share it.
    keys.clear();
    for (const auto& option : options[i]) keys.push_back(key_of(option));
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    for (const auto& key : keys) ++counts[key];
    for (const auto& option : options[i]) {
      if (!option.pair()) estimate.add(option.comparison);
    }
  }
  estimate.finish();
  // The keys that serve the most rules; the map's order breaks ties.
  std::vector<std::pair<std::size_t, KeyOf>> ranked;
  for (const auto& [key, count] : counts) {
    if (count >= kMinRulesSpared) ranked.emplace_back(count, key);
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  std::map<KeyOf, std::vector<std::pair<Option, std::uint32_t>>> filed;
  std::size_t literal_keys = 0;
  std::size_t pair_keys = 0;
  for (const auto& [count, key] : ranked) {
    std::size_t& taken = std::get<1>(key) == compiler::kNoSlot ? literal_keys : pair_keys;
    const std::size_t most = std::get<1>(key) == compiler::kNoSlot ? kMaxOrderedKeys : kMaxPairKeys;
    if (taken < most) {
      ++taken;
      filed[key];
    }
  }

  const auto chosen = [&](const Option& option) { return filed.contains(key_of(option)); };
  // Files rule i under its options (an any rule) or its rarest (an all
  // rule), among the keys chosen; false when they do not serve it.
  const auto file = [&](std::uint32_t i) {
    if (options[i].empty()) return false;
    if (is_any(rules[i])) {
      if (!std::all_of(options[i].begin(), options[i].end(), chosen)) return false;
      for (const auto& option : options[i]) filed[key_of(option)].emplace_back(option, i);
      return true;
    }
    // Filed under the comparison that holds rarest, the rule is visited
    // least; a literal is preferred among equals, then one that holds on
    // equality alone.
    const Option* best = nullptr;
    const auto rank = [&](const Option& option) {
      const LiteralComparison& comparison = option.comparison;
      const double rarity = option.pair()
                                ? estimate.pair(comparison.slot, option.right, comparison.outcomes)
                                : estimate(comparison);
      return std::tuple(option.last_resort, rarity, option.pair(),
                        comparison.outcomes != documents::kOutcomeEqual);
    };
    for (const auto& option : options[i]) {
      if (chosen(option) && (best == nullptr || rank(option) < rank(*best))) best = &option;
    }
    if (best == nullptr) return false;
    filed[key_of(*best)].emplace_back(*best, i);
    return true;
  };
  // A pair key costs a comparison per request: one that few rules would be
  // filed under is dropped, and they are filed by their next option.
  for (std::uint32_t i = 0; i < rules.size(); ++i) file(i);
  for (auto it = filed.begin(); it != filed.end();) {
    const bool pair = std::get<1>(it->first) != compiler::kNoSlot;
    it = pair && it->second.size() < kMinRulesSpared ? filed.erase(it) : std::next(it);
  }
  for (auto& [key, filings] : filed) filings.clear();
  for (std::uint32_t i = 0; i < rules.size(); ++i) {
    if (file(i)) filing.assigned[i] = Filing::kOrdered;
  }

  for (auto& [key_tuple, filings] : filed) {
    if (filings.empty()) continue;
    if (filings.front().first.pair()) {
      // In document order already: rules were filed in turn.
      PairKey key;
      key.left = std::get<0>(key_tuple);
      key.right = std::get<1>(key_tuple);
      for (std::size_t bit = 0; bit < 4; ++bit) {
        key.starts[bit] = static_cast<std::uint32_t>(index.entries_.size());
        for (const auto& [option, position] : filings) {
          if ((option.comparison.outcomes >> bit & 1U) == 0) continue;
          Entry entry;
          entry.position = position;
          index.entries_.push_back(entry);
        }
      }
      key.starts[4] = static_cast<std::uint32_t>(index.entries_.size());
      index.pair_keys_.push_back(key);
      continue;
    }
    const auto before = [](const auto& a, const auto& b) {
      const ValueView& left = a.first.comparison.literal;
      const ValueView& right = b.first.comparison.literal;
      if (left.kind == ValueKind::String) return left.text < right.text;
      if (left.kind == ValueKind::Boolean) return left.boolean < right.boolean;
      return left.number < right.number;
    };
    std::stable_sort(filings.begin(), filings.end(), before);
    Key key;
    key.slot = std::get<0>(key_tuple);
    key.kind = std::get<3>(key_tuple);
    key.outcomes = filings.front().first.comparison.outcomes;
    const Run run = run_of(key.outcomes, key.kind);
    key.below = run.below;
    key.equal = run.equal;
    key.above = run.above;
    key.start = run.below ? Bound::Begin : run.equal ? Bound::NotBelow : Bound::Above;
    key.stop = run.above ? Bound::End : run.equal ? Bound::Above : Bound::NotBelow;
    key.first = static_cast<std::uint32_t>(index.entries_.size());
    key.count = static_cast<std::uint32_t>(filings.size());
    key.lowest = filings.front().first.comparison.literal.number;
    key.highest = filings.back().first.comparison.literal.number;
    for (const auto& [option, position] : filings) {
      const ValueView& literal = option.comparison.literal;
      Entry entry;
      entry.number =
          literal.kind == ValueKind::Boolean ? (literal.boolean ? 1.0 : 0.0) : literal.number;
      entry.text_offset = static_cast<std::uint32_t>(index.texts_.size());
      entry.text_length = static_cast<std::uint32_t>(literal.text.size());
      index.texts_.insert(index.texts_.end(), literal.text.begin(), literal.text.end());
      entry.position = position;
      index.entries_.push_back(entry);
    }
    index.keys_.push_back(key);
  }
  if (index.empty()) return index;
  index.equality_ = EqualityIndex::build(rules, filing);
  index.unindexed_bits_.assign((rules.size() + 63) / 64, 0);
  for (const std::uint32_t* position = index.equality_.unindexed(); *position != kEndOfRules;
       ++position) {
    set_rule_bit(index.unindexed_bits_.data(), *position);
  }
  return index;
}

std::pair<std::uint32_t, std::uint32_t> OrderedIndex::holding_range(const Key& key,
                                                                    const ValueView& value) const {
  if (value.kind != key.kind) return {0, 0};
  const Entry* const begin = entries_.data() + key.first;
  const Entry* const end = begin + key.count;
  // The first entry not below the value and the first above it, each found
  // only when one of the run's ends needs it.
  const bool needs_not_below = key.start == Bound::NotBelow || key.stop == Bound::NotBelow;
  const bool needs_above = key.start == Bound::Above || key.stop == Bound::Above;
  const Entry* not_below = begin;
  const Entry* above = begin;
  if (key.kind == ValueKind::String) {
    const auto text = [&](const Entry& entry) {
      return std::string_view(texts_.data() + entry.text_offset, entry.text_length);
    };
    // Outside the literals, a run of equal ones is empty without a search.
    if (!key.below && !key.above && (value.text < text(*begin) || text(*(end - 1)) < value.text))
      return {0, 0};
    not_below =
        std::partition_point(begin, end, [&](const Entry& e) { return text(e) < value.text; });
    above =
        std::partition_point(not_below, end, [&](const Entry& e) { return text(e) == value.text; });
  } else {
    const double number =
        key.kind == ValueKind::Number ? value.number : (value.boolean ? 1.0 : 0.0);
    // A NaN compares unordered with every literal: no key's rule holds.
    if (std::isnan(number)) return {0, 0};
    // -0.0 finds 0.0: the literals were normalised, and the two compare equal.
    if (needs_not_below) {
      not_below =
          std::partition_point(begin, end, [&](const Entry& e) { return e.number < number; });
    }
    if (needs_above) {
      above = std::partition_point(needs_not_below ? not_below : begin, end,
                                   [&](const Entry& e) { return e.number <= number; });
    }
  }
  const auto at = [&](Bound bound) {
    switch (bound) {
      case Bound::Begin:
        return begin;
      case Bound::NotBelow:
        return not_below;
      case Bound::Above:
        return above;
      case Bound::End:
        return end;
    }
    return end;
  };
  return {static_cast<std::uint32_t>(at(key.start) - entries_.data()),
          static_cast<std::uint32_t>(at(key.stop) - entries_.data())};
}

}  // namespace kavro::evaluation::detail
