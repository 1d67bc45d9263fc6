#include "evaluation/rule_index.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <tuple>
#include <unordered_map>

#include "compiler/compiled_policy.h"
#include "support/text_hash.h"

namespace kavro::evaluation::detail {

namespace {

// Below this many rules a plain scan costs about as much as the lookups.
constexpr std::size_t kMinIndexedRules = 8;
// A key must spare at least this many visits on its worst value.
constexpr std::size_t kMinRulesSpared = 4;

// A rule's condition can hold only when input slot `slot` equals `value`.
struct Requirement {
  std::uint32_t slot = 0;
  ValueView value;
};

bool nan_literal(const compiler::AtomicCondition& atomic) {
  const auto* literal = std::get_if<compiler::RuntimeValue>(&atomic.rhs);
  const auto* number = literal ? std::get_if<double>(literal) : nullptr;
  return number != nullptr && std::isnan(*number);
}

// Collects the requirements of one rule; false when the rule can never match
// (it requires equality with a NaN literal).
bool collect_requirements(const compiler::CompiledRule& rule, std::vector<Requirement>& found) {
  found.clear();
  const auto consider = [&](const compiler::AtomicCondition& atomic) {
    if (atomic.op != documents::Operator::Equals) return true;
    const auto* literal = std::get_if<compiler::RuntimeValue>(&atomic.rhs);
    if (literal == nullptr) return true;
    if (nan_literal(atomic)) return false;
    ValueView value = view_of(*literal);
    value.number = normalised(value.number);
    // A slot appears once: the first requirement on it is as good as any.
    const bool seen = std::any_of(found.begin(), found.end(), [&](const Requirement& other) {
      return other.slot == atomic.lhs.slot;
    });
    if (!seen) found.push_back({atomic.lhs.slot, value});
    return true;
  };
  if (const auto* atomic = std::get_if<compiler::AtomicCondition>(&rule.condition))
    return consider(*atomic);
  if (const auto* all = std::get_if<compiler::AllOf>(&rule.condition)) {
    for (const auto& member : all->members) {
      if (!consider(member)) return false;
    }
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

constexpr int kUnassigned = -1;
constexpr int kNeverMatches = -2;
constexpr int kOrdered = -3;
// An any rule that the equality keys file under every comparison that can hold.
constexpr int kFiledByMembers = -4;

// A rule's comparisons in document order: an atomic rule's one, or a list's.
std::span<const compiler::AtomicCondition> comparisons_of(const compiler::CompiledRule& rule) {
  if (const auto* atomic = std::get_if<compiler::AtomicCondition>(&rule.condition)) {
    return {atomic, 1};
  }
  if (const auto* all = std::get_if<compiler::AllOf>(&rule.condition)) return all->members;
  return std::get_if<compiler::AnyOf>(&rule.condition)->members;
}

// The key under which an any rule's comparison `atomic` files the rule: an
// equality with a literal on a key's slot; nullopt for any other comparison.
std::optional<std::uint32_t> member_key(const compiler::AtomicCondition& atomic,
                                        std::span<const std::uint32_t> keys) {
  if (atomic.op != documents::Operator::Equals || nan_literal(atomic)) return std::nullopt;
  if (!std::holds_alternative<compiler::RuntimeValue>(atomic.rhs)) return std::nullopt;
  const auto key = std::find(keys.begin(), keys.end(), atomic.lhs.slot);
  if (key == keys.end()) return std::nullopt;
  return static_cast<std::uint32_t>(key - keys.begin());
}

// The members of an any rule that a key can file it under, by member number;
// empty for other rules and for any rules that compare two fields (those are
// visited whatever the input holds).
std::vector<std::optional<std::uint32_t>> member_keys(const compiler::CompiledRule& rule,
                                                      std::span<const std::uint32_t> keys) {
  const auto* any = std::get_if<compiler::AnyOf>(&rule.condition);
  if (any == nullptr) return {};
  std::vector<std::optional<std::uint32_t>> found;
  for (const auto& member : any->members) {
    if (std::holds_alternative<compiler::SubjectRef>(member.rhs)) return {};
    found.push_back(member_key(member, keys));
  }
  return found;
}

// Per rule, per comparison of its any list, the key that files it, if any.
using MemberKeys = std::vector<std::vector<std::optional<std::uint32_t>>>;

// Per rule, the keys of its any list's comparisons (see member_keys); marks
// kFiledByMembers the rules that need no guard besides.
MemberKeys any_member_keys(std::span<const compiler::CompiledRule> rules,
                           std::span<const std::uint32_t> keys, std::vector<int>& assigned) {
  MemberKeys found(rules.size());
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (assigned[i] != kUnassigned) continue;
    found[i] = member_keys(rules[i], keys);
    const auto& members = found[i];
    if (std::none_of(members.begin(), members.end(),
                     [](const auto& key) { return key.has_value(); }))
      continue;
    // A comparison with a NaN literal never holds: it needs neither.
    const auto& any = std::get_if<compiler::AnyOf>(&rules[i].condition)->members;
    bool all_filed = true;
    for (std::size_t m = 0; m < members.size(); ++m) {
      all_filed = all_filed && (members[m] || nan_literal(any[m]));
    }
    if (all_filed) assigned[i] = kFiledByMembers;
  }
  return found;
}

// Per comparison in rule order (the order of the laid-out checks), whether a
// key files its rule under it.
std::vector<bool> filed_checks_of(std::span<const compiler::CompiledRule> rules,
                                  const MemberKeys& any_keys) {
  std::vector<bool> filed;
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (any_keys[i].empty()) {
      filed.resize(filed.size() + comparisons_of(rules[i]).size(), false);
    } else {
      for (const auto& key : any_keys[i]) filed.push_back(key.has_value());
    }
  }
  return filed;
}

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
      if (assigned[i] != kUnassigned) continue;
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
      if (assigned[i] != kUnassigned) continue;
      for (const auto& requirement : requirements[i]) {
        if (requirement.slot == best_slot) assigned[i] = static_cast<int>(keys.size());
      }
    }
    keys.push_back(best_slot);
  }
  return keys;
}

// The check of one comparison; a text literal's pointer is set by the caller.
Check make_check(const compiler::AtomicCondition& atomic) {
  Check check;
  check.slot = atomic.lhs.slot;
  check.op = atomic.op;
  if (const auto* subject = std::get_if<compiler::SubjectRef>(&atomic.rhs)) {
    check.two_fields = true;
    check.kind = kNoLiteralKind;
    check.extra = subject->slot;
    return check;
  }
  const compiler::RuntimeValue& literal = *std::get_if<compiler::RuntimeValue>(&atomic.rhs);
  const ValueView value = view_of(literal);
  check.kind = value.kind;
  if (value.kind == ValueKind::String) {
    check.extra = static_cast<std::uint32_t>(value.text.size());
  } else {
    check.number = value.kind == ValueKind::Number ? value.number : (value.boolean ? 1.0 : 0.0);
  }
  // A literal's kind names the field type of both sides (the compiler saw
  // to that); an operator that does not apply to it never holds.
  check.accepts = documents::applies_to(atomic.op, type_of(value.kind))
                      ? documents::word(atomic.op).accepts
                      : 0;
  return check;
}

// A comparison that an ordered key can serve: a literal of its operator's
// type, compared by Equals, GreaterThan or LessThan.
struct OrderedFiling {
  std::uint32_t slot = 0;
  documents::Operator op = documents::Operator::Equals;
  ValueView literal;
  auto key() const { return std::tuple(slot, static_cast<int>(op), literal.kind); }
};

enum class Orderable { Yes, Never, No };

// Yes fills `filing`; Never when the comparison can hold for no input.
Orderable orderable(const compiler::AtomicCondition& atomic, OrderedFiling& filing) {
  const auto* literal = std::get_if<compiler::RuntimeValue>(&atomic.rhs);
  if (literal == nullptr) return Orderable::No;
  if (atomic.op != documents::Operator::Equals && atomic.op != documents::Operator::GreaterThan &&
      atomic.op != documents::Operator::LessThan) {
    return Orderable::No;
  }
  const ValueView value = view_of(*literal);
  if (!applies_to(atomic.op, type_of(value.kind)) || nan_literal(atomic)) return Orderable::Never;
  filing = {atomic.lhs.slot, atomic.op, value};
  if (value.kind == ValueKind::Number) filing.literal.number = normalised(value.number);
  return Orderable::Yes;
}

// The comparisons of which at least one must hold for the rule to match, or
// an empty list when there is no such choice. One of them serves an
// atomic or all rule; every one of them is needed for an any rule.
std::vector<OrderedFiling> ordered_options(const compiler::CompiledRule& rule, bool& any) {
  std::vector<OrderedFiling> options;
  OrderedFiling filing;
  any = std::holds_alternative<compiler::AnyOf>(rule.condition);
  if (const auto* atomic = std::get_if<compiler::AtomicCondition>(&rule.condition)) {
    if (orderable(*atomic, filing) == Orderable::Yes) options.push_back(filing);
  } else if (const auto* all = std::get_if<compiler::AllOf>(&rule.condition)) {
    for (const auto& member : all->members) {
      if (orderable(member, filing) == Orderable::Yes) options.push_back(filing);
    }
  } else {
    for (const auto& member : std::get_if<compiler::AnyOf>(&rule.condition)->members) {
      const Orderable kind = orderable(member, filing);
      if (kind == Orderable::No) return {};
      if (kind == Orderable::Yes) options.push_back(filing);
    }
  }
  return options;
}

// How often a comparison may hold, estimated from the literals that the
// sequence compares its field with: a threshold beyond most of them names an
// exception, which few inputs pass. Lower is rarer; an equality is rarest.
class HoldingEstimate {
 public:
  void add(const OrderedFiling& filing) {
    if (filing.literal.kind == ValueKind::Number)
      literals_[filing.slot].push_back(filing.literal.number);
  }
  void finish() {
    for (auto& [slot, numbers] : literals_) std::sort(numbers.begin(), numbers.end());
  }
  double operator()(const OrderedFiling& filing) const {
    if (filing.literal.kind == ValueKind::Boolean) return 0.5;
    if (filing.op == documents::Operator::Equals) return 0.0;
    const auto found = literals_.find(filing.slot);
    if (found == literals_.end()) return 1.0;  // every filing was added: not reached
    const std::vector<double>& numbers = found->second;
    const double literal = filing.literal.number;
    const auto beyond =
        filing.op == documents::Operator::GreaterThan
            ? numbers.end() - std::upper_bound(numbers.begin(), numbers.end(), literal)
            : std::lower_bound(numbers.begin(), numbers.end(), literal) - numbers.begin();
    return static_cast<double>(beyond) / static_cast<double>(numbers.size());
  }

 private:
  std::map<std::uint32_t, std::vector<double>> literals_;
};

// The guard of one laid-out comparison with a literal; nullopt when the
// comparison never holds.
std::optional<Guard> guard_of(const Check& check) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  if (check.accepts == 0) return std::nullopt;
  Guard guard;
  guard.slot = check.slot;
  guard.kind = check.kind;
  guard.lowest = -kInfinity;
  guard.highest = kInfinity;
  const bool equals = check.op == documents::Operator::Equals;
  switch (check.kind) {
    case ValueKind::String:
      if (equals) guard.lowest = guard.highest = check.extra;
      break;
    case ValueKind::Boolean:
      // Equals and NotEquals are the operators for booleans; of two values,
      // NotEquals holds on the other one.
      guard.lowest = guard.highest = equals ? check.number : 1.0 - check.number;
      break;
    case ValueKind::Number:
      if (std::isnan(check.number)) {
        if ((check.accepts & documents::kOutcomeUnordered) == 0) return std::nullopt;
      } else if (equals) {
        guard.lowest = guard.highest = check.number;
      } else if (check.op == documents::Operator::GreaterThan) {
        guard.lowest = std::nextafter(check.number, kInfinity);
      } else if (check.op == documents::Operator::LessThan) {
        guard.highest = std::nextafter(check.number, -kInfinity);
      }
      break;
    case ValueKind::Absent:
      break;
  }
  return guard;
}

// How often a laid-out comparison may hold, lower being rarer: a literal
// comparison by the literals that the sequence compares the same field with,
// one on the kind alone at 1, one between two fields above every other.
class CheckRarity {
 public:
  explicit CheckRarity(std::span<const Check> checks) {
    for (const Check& check : checks) {
      if (!check.two_fields) estimate_.add(filing_of(check));
    }
    estimate_.finish();
  }
  double operator()(const Check& check) const {
    if (check.two_fields) return 1.5;
    const std::optional<Guard> guard = guard_of(check);
    if (!guard) return -1.0;
    const bool kind_only = guard->lowest == -std::numeric_limits<double>::infinity() &&
                           guard->highest == std::numeric_limits<double>::infinity();
    return kind_only ? 1.0 : estimate_(filing_of(check));
  }

 private:
  static OrderedFiling filing_of(const Check& check) {
    return {check.slot, check.op,
            check.kind == ValueKind::Number ? ValueView::of_number(check.number)
                                            : ValueView{check.kind, false, 0.0, {}}};
  }
  HoldingEstimate estimate_;
};

void append_list(std::vector<std::uint32_t>& positions, const std::vector<std::uint32_t>& list) {
  positions.insert(positions.end(), list.begin(), list.end());
  positions.push_back(kEndOfRules);
}

// The comparisons of an all list are pure, so any order decides alike: the
// rarest first lets a failing rule fail at its first check.
void order_all_lists(std::vector<Check>& checks, const std::vector<RulePlan>& plans) {
  const CheckRarity rarity(checks);
  for (const RulePlan& plan : plans) {
    if (plan.any) continue;
    const auto first = checks.begin() + plan.first;
    std::stable_sort(first, first + plan.count,
                     [&](const Check& a, const Check& b) { return rarity(a) < rarity(b); });
  }
}

}  // namespace

SequenceIndex SequenceIndex::build(std::span<const compiler::CompiledRule> rules) {
  SequenceIndex index;
  index.rule_count_ = rules.size();
  const std::vector<bool> filed_checks = index.choose_and_file(rules);
  index.lay_out_checks(rules);
  if (rules.size() <= kMaxScreenedRules) {
    // Rarest first also makes an all rule's first check its guard.
    order_all_lists(index.checks_, index.plans_);
    if (rules.size() >= kMinScreenedRules) index.lay_out_guards(filed_checks);
  }
  return index;
}

std::vector<bool> SequenceIndex::choose_and_file(std::span<const compiler::CompiledRule> rules) {
  if (rules.size() < kMinIndexedRules) return {};

  std::vector<std::vector<Requirement>> requirements(rules.size());
  std::vector<int> assigned(rules.size(), kUnassigned);
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (!collect_requirements(rules[i], requirements[i])) {
      assigned[i] = kNeverMatches;
      requirements[i].clear();
    }
  }
  const std::vector<std::uint32_t> keys = choose_keys(requirements, assigned);
  file_ordered(rules, assigned);
  if (keys.empty() && ordered_keys_.empty()) return {};

  // On a screened sequence an any rule is filed under its equalities on key
  // slots too: the key's probe then stands in for their guards.
  const bool screened = rules.size() >= kMinScreenedRules && rules.size() <= kMaxScreenedRules;
  const auto any_keys =
      screened ? any_member_keys(rules, keys, assigned) : MemberKeys(rules.size());

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
    const auto& members = any_keys[i];
    for (std::size_t m = 0; m < members.size(); ++m) {
      if (!members[m]) continue;
      const auto& member = std::get_if<compiler::AnyOf>(&rules[i].condition)->members[m];
      ValueView value = view_of(*std::get_if<compiler::RuntimeValue>(&member.rhs));
      value.number = normalised(value.number);
      file(*members[m], value, i);
    }
    if (assigned[i] == kNeverMatches || assigned[i] == kOrdered || assigned[i] == kFiledByMembers)
      continue;
    if (assigned[i] == kUnassigned) {
      unindexed.push_back(i);
      continue;
    }
    const std::uint32_t key = static_cast<std::uint32_t>(assigned[i]);
    const auto requirement =
        std::find_if(requirements[i].begin(), requirements[i].end(),
                     [&](const Requirement& r) { return r.slot == keys[key]; });
    file(key, requirement->value, i);
  }
  key_count_ = keys.size();
  std::copy(keys.begin(), keys.end(), key_slots_.begin());
  unindexed_first_ = 0;
  append_list(positions_, unindexed);
  if (!ordered_keys_.empty()) {
    unindexed_bits_.assign((rules.size() + 63) / 64, 0);
    for (const std::uint32_t position : unindexed) set_rule_bit(unindexed_bits_.data(), position);
  }
  table_.assign(std::bit_ceil(group_values.size() * 2), 0);
  for (std::size_t g = 0; g < group_values.size(); ++g) {
    const auto& [key, value] = group_values[g];
    Entry entry;
    entry.hash = value_hash(key, value);
    entry.key = key;
    entry.kind = value.kind;
    entry.boolean = value.boolean;
    entry.number = value.number;
    entry.text_offset = static_cast<std::uint32_t>(texts_.size());
    entry.text_length = static_cast<std::uint32_t>(value.text.size());
    texts_.insert(texts_.end(), value.text.begin(), value.text.end());
    entry.first = static_cast<std::uint32_t>(positions_.size());
    append_list(positions_, group_positions[g]);
    insert_entry(entry);
  }
  return filed_checks_of(rules, any_keys);
}

void SequenceIndex::file_ordered(std::span<const compiler::CompiledRule> rules,
                                 std::vector<int>& assigned) {
  // Ordered keys cost a binary search each per request: worth it on
  // sequences too long to screen only. A screened sequence must have none,
  // since its walk does not visit the rules they file.
  if (rules.size() <= kMaxScreenedRules || rules.size() > kMaxOrderedSequence) return;
  using Key = decltype(OrderedFiling{}.key());
  std::vector<std::vector<OrderedFiling>> options(rules.size());
  std::vector<bool> any(rules.size());
  std::map<Key, std::size_t> counts;
  std::vector<Key> keys;
  HoldingEstimate estimate;
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (assigned[i] != kUnassigned) continue;
    bool is_any = false;
    options[i] = ordered_options(rules[i], is_any);
    any[i] = is_any;
    // A rule counts once per key, however many of its comparisons share it.
    keys.clear();
    for (const auto& filing : options[i]) keys.push_back(filing.key());
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    for (const auto& key : keys) ++counts[key];
    for (const auto& filing : options[i]) estimate.add(filing);
  }
  estimate.finish();
  // The keys that serve the most rules; the map's order breaks ties.
  std::vector<std::pair<std::size_t, Key>> ranked;
  for (const auto& [key, count] : counts) {
    if (count >= kMinRulesSpared) ranked.emplace_back(count, key);
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  if (ranked.size() > kMaxOrderedKeys) ranked.resize(kMaxOrderedKeys);
  std::map<Key, std::vector<std::pair<OrderedFiling, std::uint32_t>>> filed;
  for (const auto& entry : ranked) filed[entry.second];

  const auto chosen = [&](const OrderedFiling& filing) { return filed.contains(filing.key()); };
  for (std::uint32_t i = 0; i < rules.size(); ++i) {
    if (options[i].empty()) continue;
    if (any[i]) {
      if (!std::all_of(options[i].begin(), options[i].end(), chosen)) continue;
      for (const auto& filing : options[i]) filed[filing.key()].emplace_back(filing, i);
    } else {
      // Filed under the comparison that holds rarest, the rule is visited
      // least; an equality is preferred among equals.
      const OrderedFiling* best = nullptr;
      const auto rank = [&](const OrderedFiling& filing) {
        return std::pair(estimate(filing), filing.op != documents::Operator::Equals);
      };
      for (const auto& filing : options[i]) {
        if (chosen(filing) && (best == nullptr || rank(filing) < rank(*best))) best = &filing;
      }
      if (best == nullptr) continue;
      filed[best->key()].emplace_back(*best, i);
    }
    assigned[i] = kOrdered;
  }

  for (auto& [key, filings] : filed) {
    if (filings.empty()) continue;
    const auto before = [](const auto& a, const auto& b) {
      const ValueView& left = a.first.literal;
      const ValueView& right = b.first.literal;
      if (left.kind == ValueKind::String) return left.text < right.text;
      if (left.kind == ValueKind::Boolean) return left.boolean < right.boolean;
      return left.number < right.number;
    };
    std::stable_sort(filings.begin(), filings.end(), before);
    OrderedKey ordered_key;
    ordered_key.slot = std::get<0>(key);
    ordered_key.op = static_cast<documents::Operator>(std::get<1>(key));
    ordered_key.kind = std::get<2>(key);
    ordered_key.first = static_cast<std::uint32_t>(ordered_.size());
    ordered_key.count = static_cast<std::uint32_t>(filings.size());
    ordered_key.lowest = filings.front().first.literal.number;
    ordered_key.highest = filings.back().first.literal.number;
    for (const auto& [filing, position] : filings) {
      Ordered entry;
      entry.number = filing.literal.kind == ValueKind::Boolean
                         ? (filing.literal.boolean ? 1.0 : 0.0)
                         : filing.literal.number;
      entry.text_offset = static_cast<std::uint32_t>(texts_.size());
      entry.text_length = static_cast<std::uint32_t>(filing.literal.text.size());
      texts_.insert(texts_.end(), filing.literal.text.begin(), filing.literal.text.end());
      entry.position = position;
      ordered_.push_back(entry);
    }
    ordered_keys_.push_back(ordered_key);
  }
}

std::pair<std::uint32_t, std::uint32_t> SequenceIndex::holding_range(const OrderedKey& key,
                                                                     const ValueView& value) const {
  if (value.kind != key.kind) return {0, 0};
  const Ordered* const begin = ordered_.data() + key.first;
  const Ordered* const end = begin + key.count;
  const Ordered* first = begin;
  const Ordered* last = begin;
  if (key.kind == ValueKind::String) {
    const auto text = [&](const Ordered& entry) {
      return std::string_view(texts_.data() + entry.text_offset, entry.text_length);
    };
    // Outside the literals, no search is needed.
    if (value.text < text(*begin) || text(*(end - 1)) < value.text) return {0, 0};
    first =
        std::partition_point(begin, end, [&](const Ordered& e) { return text(e) < value.text; });
    last =
        std::partition_point(first, end, [&](const Ordered& e) { return text(e) == value.text; });
  } else {
    const double number =
        key.kind == ValueKind::Number ? value.number : (value.boolean ? 1.0 : 0.0);
    // A NaN compares false with every literal.
    if (std::isnan(number)) return {0, 0};
    const auto below = [&](const Ordered& e) { return e.number < number; };
    const auto not_above = [&](const Ordered& e) { return e.number <= number; };
    switch (key.op) {
      case documents::Operator::GreaterThan:  // literal < value
        last = std::partition_point(begin, end, below);
        break;
      case documents::Operator::LessThan:  // literal > value
        first = std::partition_point(begin, end, not_above);
        last = end;
        break;
      default:  // literal == value, so -0.0 finds 0.0
        first = std::partition_point(begin, end, below);
        last = std::partition_point(first, end, not_above);
        break;
    }
  }
  return {static_cast<std::uint32_t>(first - ordered_.data()),
          static_cast<std::uint32_t>(last - ordered_.data())};
}

void SequenceIndex::lay_out_checks(std::span<const compiler::CompiledRule> rules) {
  // Text literals are copied first and pointed at afterwards, once texts_
  // no longer grows.
  std::vector<std::uint32_t> text_offsets;
  plans_.reserve(rules.size());
  for (const auto& rule : rules) {
    RulePlan plan;
    plan.first = static_cast<std::uint32_t>(checks_.size());
    const std::span<const compiler::AtomicCondition> members = comparisons_of(rule);
    plan.any = std::holds_alternative<compiler::AnyOf>(rule.condition) ? 1 : 0;
    plan.count = static_cast<std::uint32_t>(members.size());
    for (const auto& member : members) {
      checks_.push_back(make_check(member));
      if (!checks_.back().two_fields && checks_.back().kind == ValueKind::String) {
        const auto& literal =
            *std::get_if<std::string>(std::get_if<compiler::RuntimeValue>(&member.rhs));
        text_offsets.push_back(static_cast<std::uint32_t>(texts_.size()));
        texts_.insert(texts_.end(), literal.begin(), literal.end());
      }
    }
    plans_.push_back(plan);
  }
  std::size_t next_text = 0;
  for (auto& check : checks_) {
    if (!check.two_fields && check.kind == ValueKind::String) {
      check.text = texts_.data() + text_offsets[next_text++];
    }
  }
  planned_ = true;
}

void SequenceIndex::lay_out_guards(const std::vector<bool>& filed_checks) {
  std::vector<std::uint32_t> screened;
  if (active()) {
    for (const std::uint32_t* position = unindexed(); *position != kEndOfRules; ++position) {
      screened.push_back(*position);
    }
  } else {
    for (std::uint32_t position = 0; position < rule_count_; ++position) {
      screened.push_back(position);
    }
  }
  const std::size_t words = (rule_count_ + 63) / 64;
  unguarded_bits_.assign(words, 0);
  // The guards with their rules' positions, in rule order.
  std::vector<std::pair<std::uint32_t, Guard>> guards;
  for (const std::uint32_t position : screened) {
    const RulePlan& plan = plans_[position];
    const std::span<const Check> members(checks_.data() + plan.first, plan.count);
    const auto add = [&](const Guard& guard) { guards.emplace_back(position, guard); };
    bool unguarded = false;
    if (plan.any) {
      // Each comparison may decide: a guard for each, unless one compares two
      // fields.
      unguarded = std::any_of(members.begin(), members.end(),
                              [](const Check& check) { return check.two_fields; });
      for (std::size_t m = 0; m < members.size() && !unguarded; ++m) {
        // A comparison an equality key files the rule under needs no guard.
        const std::size_t check = plan.first + m;
        if (check < filed_checks.size() && filed_checks[check]) continue;
        if (const auto guard = guard_of(members[m])) add(*guard);
      }
    } else {
      // The rarest comparison guards the rule (the rule holds only when it
      // does); checked last, since a rule visited has passed it.
      const auto first = checks_.begin() + plan.first;
      const auto end = first + plan.count;
      const auto guard = first == end || first->two_fields ? std::nullopt : guard_of(*first);
      const bool never = first != end && !first->two_fields && !guard;
      unguarded = !guard && !never;
      if (guard) {
        add(*guard);
        std::rotate(first, first + 1, end);
      }
    }
    if (unguarded) set_rule_bit(unguarded_bits_.data(), position);
  }
  lay_out_slot_screens(guards);
}

void SequenceIndex::lay_out_slot_screens(std::vector<std::pair<std::uint32_t, Guard>>& guards) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  std::stable_sort(guards.begin(), guards.end(), [](const auto& a, const auto& b) {
    return std::pair(a.second.kind, a.second.slot) < std::pair(b.second.kind, b.second.slot);
  });
  const std::size_t words = screen_words();
  std::vector<double> cuts;
  for (auto run = guards.begin(); run != guards.end();) {
    const auto end = std::find_if(run, guards.end(), [&](const auto& entry) {
      return entry.second.slot != run->second.slot || entry.second.kind != run->second.kind;
    });
    // A guard passes from its lowest bound up to the measure after its highest.
    cuts.clear();
    for (auto it = run; it != end; ++it) {
      const Guard& guard = it->second;
      if (guard.lowest != -kInfinity) cuts.push_back(guard.lowest);
      if (guard.highest != kInfinity) cuts.push_back(std::nextafter(guard.highest, kInfinity));
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    SlotScreen screen;
    screen.slot = run->second.slot;
    screen.first_cut = static_cast<std::uint32_t>(cuts_.size());
    screen.cut_count = static_cast<std::uint32_t>(cuts.size());
    screen.first_mask = static_cast<std::uint32_t>(screen_masks_.size());
    cuts_.insert(cuts_.end(), cuts.begin(), cuts.end());
    screen_masks_.resize(screen_masks_.size() + (cuts.size() + 1) * words, 0);
    std::uint64_t* masks = screen_masks_.data() + screen.first_mask;
    for (std::size_t region = 0; region <= cuts.size(); ++region) {
      // Every measure of a region passes as its first one does. A NaN is
      // above no cut: it falls in the first region, whose guards have no
      // lower bound, as those of not_equals, the one operator a NaN passes.
      const double first = region == 0 ? -kInfinity : cuts[region - 1];
      for (auto it = run; it != end; ++it) {
        const auto& [position, guard] = *it;
        const bool passes = guard.lowest <= first && first <= guard.highest;
        if (passes) set_rule_bit(masks + region * words, position);
      }
    }
    slot_screens_.push_back(screen);
    screen_kind_starts_[static_cast<std::size_t>(run->second.kind)] =
        static_cast<std::uint32_t>(slot_screens_.size());
    run = end;
  }
  // Kinds without screens start and end where the kind before ends.
  for (std::size_t k = 1; k < screen_kind_starts_.size(); ++k) {
    screen_kind_starts_[k] = std::max(screen_kind_starts_[k], screen_kind_starts_[k - 1]);
  }
  screen_masks_.resize(screen_masks_.size() + kMaxScreenWords, 0);
}

void SequenceIndex::insert_entry(Entry entry) {
  const std::size_t mask = table_.size() - 1;
  std::size_t cell = entry.hash & mask;
  while (table_[cell] != 0) cell = (cell + 1) & mask;
  entries_.push_back(entry);
  table_[cell] = static_cast<std::uint32_t>(entries_.size());
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
