#include "evaluation/screen_index.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <utility>

#include "compiler/compiled_policy.h"

namespace kavro::evaluation::detail {

ScreenIndex ScreenIndex::build(std::span<const compiler::CompiledRule> rules, RuleChecks& checks,
                               Filing filing) {
  ScreenIndex index;
  // The keys' probe, made anyway, stands in for the guards of an any rule's
  // equalities on their slots.
  filing.file_any_members(rules);
  index.equality_ = EqualityIndex::build(rules, filing);
  const std::vector<bool> filed_checks = filing.filed_checks(rules);
  const std::size_t words = (rules.size() + 63) / 64;
  index.unguarded_bits_.assign(words, 0);
  // The guards with their rules' positions, in rule order.
  std::vector<std::pair<std::uint32_t, Guard>> guards;
  std::vector<std::pair<std::uint32_t, PairGuard>> pair_guards;
  // False when the check never holds.
  const auto add = [&](std::uint32_t position, const Check& check) {
    if (check.two_fields) {
      const std::uint8_t outcomes = pair_outcomes(check.op);
      if (outcomes != 0)
        pair_guards.emplace_back(position, PairGuard{check.slot, check.extra, outcomes});
      return outcomes != 0;
    }
    const auto range = holding_measures(check);
    if (range) guards.emplace_back(position, Guard{check.slot, check.kind, *range});
    return range.has_value();
  };
  for (std::uint32_t position = 0; position < rules.size(); ++position) {
    if (filing.assigned[position] != Filing::kUnfiled) continue;
    const RulePlan& plan = checks.plan(position);
    const std::span<Check> members = checks.checks_of(position);
    if (plan.any) {
      // Each comparison may decide: a guard for each, but for those an
      // equality key files the rule under.
      for (std::size_t m = 0; m < members.size(); ++m) {
        if (!filed_checks[plan.first + m]) add(position, members[m]);
      }
    } else if (members.empty()) {
      // An empty all list holds for every input.
      set_rule_bit(index.unguarded_bits_.data(), position);
    } else if (add(position, members.front())) {
      // The rarest comparison, laid out first, guards the rule (the rule
      // holds only when it does); checked last, since a rule visited has
      // passed it.
      std::rotate(members.begin(), members.begin() + 1, members.end());
    }
  }
  index.lay_out_slot_screens(guards);
  index.lay_out_pair_screens(pair_guards);
  return index;
}

void ScreenIndex::lay_out_slot_screens(std::vector<std::pair<std::uint32_t, Guard>>& guards) {
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
      const MeasureRange& range = it->second.range;
      if (range.lowest != -kInfinity) cuts.push_back(range.lowest);
      if (range.highest != kInfinity) cuts.push_back(std::nextafter(range.highest, kInfinity));
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
      // lower bound, as those of every comparison that holds on a NaN.
      const double first = region == 0 ? -kInfinity : cuts[region - 1];
      for (auto it = run; it != end; ++it) {
        const auto& [position, guard] = *it;
        const bool passes = guard.range.lowest <= first && first <= guard.range.highest;
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

void ScreenIndex::lay_out_pair_screens(std::vector<std::pair<std::uint32_t, PairGuard>>& guards) {
  std::stable_sort(guards.begin(), guards.end(), [](const auto& a, const auto& b) {
    return std::pair(a.second.left, a.second.right) < std::pair(b.second.left, b.second.right);
  });
  const std::size_t words = screen_words();
  // The padding that ends the slot screens' masks is replaced by the pairs'.
  screen_masks_.resize(screen_masks_.size() - kMaxScreenWords);
  constexpr int kRegions = 4;  // one per outcome bit
  for (auto run = guards.begin(); run != guards.end();) {
    const auto end = std::find_if(run, guards.end(), [&](const auto& entry) {
      return entry.second.left != run->second.left || entry.second.right != run->second.right;
    });
    PairScreen screen;
    screen.left = run->second.left;
    screen.right = run->second.right;
    screen.first_mask = static_cast<std::uint32_t>(screen_masks_.size());
    screen_masks_.resize(screen_masks_.size() + kRegions * words, 0);
    std::uint64_t* masks = screen_masks_.data() + screen.first_mask;
    for (int region = 0; region < kRegions; ++region) {
      for (auto it = run; it != end; ++it) {
        if ((it->second.outcomes >> region & 1U) != 0)
          set_rule_bit(masks + region * words, it->first);
      }
    }
    pair_screens_.push_back(screen);
    run = end;
  }
  screen_masks_.resize(screen_masks_.size() + kMaxScreenWords, 0);
}

}  // namespace kavro::evaluation::detail
