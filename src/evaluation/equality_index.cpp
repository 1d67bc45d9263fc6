#include "evaluation/equality_index.h"

#include <algorithm>
#include <bit>
#include <unordered_map>
#include <variant>

#include "compiler/compiled_policy.h"

namespace kavro::evaluation::detail {

namespace {

// The value a comparison requires its field to equal: a literal that its
// operator holds on only when equal.
std::optional<ValueView> required_value(const compiler::AtomicCondition& atomic) {
  const auto* literal = std::get_if<compiler::RuntimeValue>(&atomic.rhs);
  if (literal == nullptr || nan_literal(atomic)) return std::nullopt;
  ValueView value = view_of(*literal);
  if (holding_outcomes(atomic.op, value.kind) != documents::kOutcomeEqual) return std::nullopt;
  value.number = normalised(value.number);
  return value;
}

// True when the comparison holds for no input: its operator holds on no
// outcome of its literal's kind, or its literal is a NaN, with which every
// comparison is unordered, and the operator does not hold on that.
bool never_holds(const compiler::AtomicCondition& atomic) {
  const auto* literal = std::get_if<compiler::RuntimeValue>(&atomic.rhs);
  if (literal == nullptr) return false;
  const std::uint8_t outcomes = holding_outcomes(atomic.op, view_of(*literal).kind);
  if (nan_literal(atomic)) return (outcomes & documents::kOutcomeUnordered) == 0;
  return outcomes == 0;
}

// Collects the requirements of one rule; false when the rule can never match
// (an atomic or all rule with a comparison that never holds).
bool collect_requirements(const compiler::CompiledRule& rule, std::vector<Requirement>& found) {
  found.clear();
  if (is_any(rule)) return true;
  for (const auto& atomic : comparisons_of(rule)) {
    if (never_holds(atomic)) return false;
    const std::optional<ValueView> value = required_value(atomic);
    if (!value) continue;
    // A slot appears once: the first requirement on it is as good as any.
    const bool seen = std::any_of(found.begin(), found.end(), [&](const Requirement& other) {
      return other.slot == atomic.lhs.slot;
    });
    if (!seen) found.push_back({atomic.lhs.slot, *value});
  }
  return true;
}

struct SlotValue {
  std::uint32_t slot;
  ValueView value;
};
struct SlotValueHash {
  std::size_t operator()(const SlotValue& key) const { return value_hash(key.slot, key.value); }
};
struct SlotValueEqual {
  bool operator()(const SlotValue& left, const SlotValue& right) const {
    return left.slot == right.slot && same_value(left.value, right.value);
  }
};
template <class V>
using SlotValueMap = std::unordered_map<SlotValue, V, SlotValueHash, SlotValueEqual>;

// Greedy choice of up to kMaxIndexKeys slots: each round takes the slot that
// spares the most visits (rules it covers minus its largest value group) among
// the rules no earlier key took.
std::vector<std::uint32_t> choose_keys(const std::vector<std::vector<Requirement>>& requirements,
                                       std::vector<int>& assigned) {
  std::vector<std::uint32_t> keys;
  while (keys.size() < kMaxIndexKeys) {
    struct Tally {
      std::size_t covered = 0;
      std::size_t largest_group = 0;
    };
    std::unordered_map<std::uint32_t, Tally> tallies;
    SlotValueMap<std::size_t> groups;
    for (std::size_t i = 0; i < requirements.size(); ++i) {
      if (assigned[i] != Filing::kUnfiled) continue;
      for (const auto& requirement : requirements[i]) {
        Tally& tally = tallies[requirement.slot];
        ++tally.covered;
        const std::size_t group = ++groups[{requirement.slot, requirement.value}];
        tally.largest_group = std::max(tally.largest_group, group);
      }
    }
    std::uint32_t best_slot = compiler::kNoSlot;
    std::size_t best_spared = 0;
    for (const auto& [slot, tally] : tallies) {
      const std::size_t spared = tally.covered - tally.largest_group;
      if (spared > best_spared || (spared == best_spared && slot < best_slot)) {
        best_slot = slot;
        best_spared = spared;
      }
    }
    if (best_slot == compiler::kNoSlot || best_spared < kMinRulesSpared) break;
    for (std::size_t i = 0; i < requirements.size(); ++i) {
      if (assigned[i] != Filing::kUnfiled) continue;
      for (const auto& requirement : requirements[i]) {
        if (requirement.slot == best_slot) assigned[i] = static_cast<int>(keys.size());
      }
    }
    keys.push_back(best_slot);
  }
  return keys;
}

void append_list(std::vector<std::uint32_t>& positions, const std::vector<std::uint32_t>& list) {
  positions.insert(positions.end(), list.begin(), list.end());
  positions.push_back(kEndOfRules);
}

}  // namespace

Filing Filing::choose(std::span<const compiler::CompiledRule> rules) {
  Filing filing;
  filing.requirements.resize(rules.size());
  filing.assigned.assign(rules.size(), kUnfiled);
  filing.member_keys.resize(rules.size());
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (!collect_requirements(rules[i], filing.requirements[i])) {
      filing.assigned[i] = kNeverHolds;
      filing.requirements[i].clear();
    }
  }
  filing.keys = choose_keys(filing.requirements, filing.assigned);
  return filing;
}

void Filing::file_any_members(std::span<const compiler::CompiledRule> rules) {
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (assigned[i] != kUnfiled || !is_any(rules[i])) continue;
    const auto members = comparisons_of(rules[i]);
    // A comparison of two fields is visited whatever the input holds.
    if (std::any_of(members.begin(), members.end(), [](const compiler::AtomicCondition& member) {
          return std::holds_alternative<compiler::SubjectRef>(member.rhs);
        }))
      continue;
    std::vector<std::optional<std::uint32_t>> found;
    bool any_filed = false;
    bool all_filed = true;
    for (const auto& member : members) {
      std::optional<std::uint32_t> key;
      const auto slot = std::find(keys.begin(), keys.end(), member.lhs.slot);
      if (slot != keys.end() && required_value(member)) {
        key = static_cast<std::uint32_t>(slot - keys.begin());
      }
      any_filed = any_filed || key.has_value();
      // A comparison that never holds needs no filing.
      all_filed = all_filed && (key.has_value() || never_holds(member));
      found.push_back(key);
    }
    if (!any_filed) continue;
    member_keys[i] = std::move(found);
    if (all_filed) assigned[i] = kFiledByMembers;
  }
}

std::vector<bool> Filing::filed_checks(std::span<const compiler::CompiledRule> rules) const {
  std::vector<bool> filed;
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (member_keys[i].empty()) {
      filed.resize(filed.size() + comparisons_of(rules[i]).size(), false);
    } else {
      for (const auto& key : member_keys[i]) filed.push_back(key.has_value());
    }
  }
  return filed;
}

EqualityIndex EqualityIndex::build(std::span<const compiler::CompiledRule> rules,
                                   const Filing& filing) {
  EqualityIndex index;
  index.positions_.clear();
  // Value groups in order of first appearance; positions ascend in each.
  SlotValueMap<std::size_t> group_of;
  std::vector<SlotValue> group_values;
  std::vector<std::vector<std::uint32_t>> group_positions;
  std::vector<std::uint32_t> unindexed;
  const auto file = [&](std::uint32_t key, ValueView value, std::uint32_t position) {
    // The group key carries the key number where the slot would be, so the
    // same value under two keys stays two groups.
    const SlotValue group{key, value};
    auto [it, added] = group_of.try_emplace(group, group_values.size());
    if (added) {
      group_values.push_back(group);
      group_positions.emplace_back();
    }
    std::vector<std::uint32_t>& positions = group_positions[it->second];
    if (positions.empty() || positions.back() != position) positions.push_back(position);
  };
  for (std::uint32_t i = 0; i < rules.size(); ++i) {
    const auto& members = filing.member_keys[i];
    const auto comparisons = comparisons_of(rules[i]);
    for (std::size_t m = 0; m < members.size(); ++m) {
      if (members[m]) file(*members[m], *required_value(comparisons[m]), i);
    }
    const int assigned = filing.assigned[i];
    if (assigned == Filing::kUnfiled) {
      unindexed.push_back(i);
    } else if (assigned >= 0) {
      const std::uint32_t slot = filing.keys[static_cast<std::size_t>(assigned)];
      const auto requirement =
          std::find_if(filing.requirements[i].begin(), filing.requirements[i].end(),
                       [&](const Requirement& r) { return r.slot == slot; });
      file(static_cast<std::uint32_t>(assigned), requirement->value, i);
    }
  }
  index.key_count_ = filing.keys.size();
  std::copy(filing.keys.begin(), filing.keys.end(), index.key_slots_.begin());
  index.unindexed_first_ = 0;
  append_list(index.positions_, unindexed);
  if (group_values.empty()) return index;
  index.table_.assign(std::bit_ceil(group_values.size() * 2), 0);
  for (std::size_t g = 0; g < group_values.size(); ++g) {
    const auto& [key, value] = group_values[g];
    Entry entry;
    entry.hash = value_hash(key, value);
    entry.key = key;
    entry.kind = value.kind;
    entry.boolean = value.boolean;
    entry.number = value.number;
    entry.text_offset = static_cast<std::uint32_t>(index.texts_.size());
    entry.text_length = static_cast<std::uint32_t>(value.text.size());
    index.texts_.insert(index.texts_.end(), value.text.begin(), value.text.end());
    entry.first = static_cast<std::uint32_t>(index.positions_.size());
    append_list(index.positions_, group_positions[g]);
    index.insert_entry(entry);
  }
  return index;
}

void EqualityIndex::insert_entry(const Entry& entry) {
  const std::size_t mask = table_.size() - 1;
  std::size_t cell = entry.hash & mask;
  while (table_[cell] != 0) cell = (cell + 1) & mask;
  entries_.push_back(entry);
  table_[cell] = static_cast<std::uint32_t>(entries_.size());
}

}  // namespace kavro::evaluation::detail
