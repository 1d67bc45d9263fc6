#include "evaluation/rule_checks.h"

#include <algorithm>
#include <cmath>
#include <variant>

#include "compiler/compiled_policy.h"
#include "support/overloaded.h"

namespace kavro::evaluation::detail {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The literal a comparison is made against; absent when it compares two fields.
ValueView literal_of(const compiler::AtomicCondition& atomic) {
  return std::visit(
      Overloaded{[](const compiler::RuntimeValue& literal) { return view_of(literal); },
                 [](const compiler::SubjectRef&) { return ValueView{}; }},
      atomic.rhs);
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
  const ValueView value = literal_of(atomic);
  check.kind = value.kind;
  if (value.kind == ValueKind::String) {
    check.extra = static_cast<std::uint32_t>(value.text.size());
  } else {
    check.number = value.kind == ValueKind::Number ? value.number : (value.boolean ? 1.0 : 0.0);
  }
  // A literal's kind names the field type of both sides (the compiler saw
  // to that); an operator that does not apply to it never holds. The mask
  // stays whole: the evaluator compares booleans as 0 and 1, so two that
  // differ may come out greater.
  check.accepts = documents::applies_to(atomic.op, type_of(value.kind))
                      ? documents::word(atomic.op).accepts
                      : 0;
  return check;
}

// How often a laid-out comparison may hold, lower being rarer: a literal
// comparison by the literals that the sequence compares the same field with,
// one on the kind alone at 1, one between two fields by its outcomes.
class CheckRarity {
 public:
  explicit CheckRarity(std::span<const Check> checks) {
    for (const Check& check : checks) {
      if (!check.two_fields) estimate_.add(comparison_of(check));
    }
    estimate_.finish();
  }
  double operator()(const Check& check) const {
    if (check.two_fields) {
      const std::uint8_t outcomes = pair_outcomes(check.op);
      return outcomes == 0 ? -1.0 : estimate_.pair(check.slot, check.extra, outcomes);
    }
    const std::optional<MeasureRange> range = holding_measures(check);
    if (!range) return -1.0;
    return range->every() ? 1.0 : estimate_(comparison_of(check));
  }

 private:
  static LiteralComparison comparison_of(const Check& check) {
    return {check.slot, check.accepts,
            check.kind == ValueKind::Number ? ValueView::of_number(check.number)
                                            : ValueView{check.kind, false, 0.0, {}}};
  }
  HoldingEstimate estimate_;
};

}  // namespace

std::span<const compiler::AtomicCondition> comparisons_of(const compiler::CompiledRule& rule) {
  using Members = std::span<const compiler::AtomicCondition>;
  return std::visit(
      Overloaded{[](const compiler::AtomicCondition& atomic) { return Members(&atomic, 1); },
                 [](const compiler::AllOf& all) { return Members(all.members); },
                 [](const compiler::AnyOf& any) { return Members(any.members); },
                 // Nothing an index could file it under: the rule is visited.
                 [](const compiler::ConditionTree&) { return Members(); }},
      rule.condition);
}

// Named per kind, so that a new kind of condition is laid out only once it says.
bool is_any(const compiler::CompiledRule& rule) {
  return std::visit(Overloaded{[](const compiler::AtomicCondition&) { return false; },
                               [](const compiler::AllOf&) { return false; },
                               [](const compiler::AnyOf&) { return true; },
                               [](const compiler::ConditionTree&) { return false; }},
                    rule.condition);
}

bool nan_literal(const compiler::AtomicCondition& atomic) {
  const auto* literal = std::get_if<compiler::RuntimeValue>(&atomic.rhs);
  const auto* number = literal ? std::get_if<double>(literal) : nullptr;
  return number != nullptr && std::isnan(*number);
}

std::optional<MeasureRange> holding_measures(const Check& check) {
  using documents::kOutcomeEqual;
  using documents::kOutcomeGreater;
  using documents::kOutcomeLess;
  using documents::kOutcomeUnordered;
  const std::uint8_t accepts = check.accepts;
  if (accepts == 0) return std::nullopt;
  MeasureRange range;
  switch (check.kind) {
    case ValueKind::String:
      // Texts are equal or differ; only equality tells a length.
      if ((accepts & (kOutcomeEqual | kOutcomeLess)) == 0) return std::nullopt;
      if ((accepts & kOutcomeLess) == 0) range.lowest = range.highest = check.extra;
      break;
    case ValueKind::Boolean: {
      // Of two values, one is the literal and the other differs from it.
      const bool same = (accepts & kOutcomeEqual) != 0;
      const bool other = (accepts & (kOutcomeLess | kOutcomeGreater)) != 0;
      if (!same && !other) return std::nullopt;
      if (same != other) range.lowest = range.highest = same ? check.number : 1.0 - check.number;
      break;
    }
    case ValueKind::Number:
      if (std::isnan(check.number)) {
        // Every value compares unordered with a NaN.
        if ((accepts & kOutcomeUnordered) == 0) return std::nullopt;
        break;
      }
      if ((accepts & (kOutcomeLess | kOutcomeUnordered)) == 0) {
        range.lowest =
            (accepts & kOutcomeEqual) != 0 ? check.number : std::nextafter(check.number, kInfinity);
      }
      if ((accepts & kOutcomeGreater) == 0) {
        range.highest = (accepts & kOutcomeEqual) != 0 ? check.number
                                                       : std::nextafter(check.number, -kInfinity);
      }
      break;
    case ValueKind::Absent:
      return std::nullopt;
  }
  return range;
}

void HoldingEstimate::add(const LiteralComparison& comparison) {
  kinds_[comparison.slot] = comparison.literal.kind;
  if (comparison.literal.kind == ValueKind::Number && !std::isnan(comparison.literal.number))
    literals_[comparison.slot].push_back(comparison.literal.number);
}

void HoldingEstimate::finish() {
  for (auto& [slot, numbers] : literals_) std::sort(numbers.begin(), numbers.end());
}

double HoldingEstimate::operator()(const LiteralComparison& comparison) const {
  if (comparison.literal.kind == ValueKind::Boolean) return 0.5;
  const std::uint8_t ordered =
      comparison.outcomes & (documents::kOutcomeLess | documents::kOutcomeGreater);
  if (ordered == 0) return 0.0;
  const auto found = literals_.find(comparison.slot);
  if (found == literals_.end()) return 1.0;
  const std::vector<double>& numbers = found->second;
  const double literal = comparison.literal.number;
  // Values above the literal are as rare as the literals above it, and so below.
  std::ptrdiff_t beyond = 0;
  if ((ordered & documents::kOutcomeGreater) != 0)
    beyond += numbers.end() - std::upper_bound(numbers.begin(), numbers.end(), literal);
  if ((ordered & documents::kOutcomeLess) != 0)
    beyond += std::lower_bound(numbers.begin(), numbers.end(), literal) - numbers.begin();
  return static_cast<double>(beyond) / static_cast<double>(numbers.size());
}

double HoldingEstimate::pair(std::uint32_t left, std::uint32_t right, std::uint8_t accepts) const {
  const auto boolean = [&](std::uint32_t slot) {
    const auto found = kinds_.find(slot);
    return found != kinds_.end() && found->second == ValueKind::Boolean;
  };
  // Booleans have two values: two of them are as often equal as not.
  const double equal = boolean(left) || boolean(right) ? 1.0 : 0.3;
  return ((accepts & documents::kOutcomeEqual) != 0 ? equal : 0.0) +
         ((accepts & documents::kOutcomeLess) != 0 ? 1.0 : 0.0) +
         ((accepts & documents::kOutcomeGreater) != 0 ? 1.0 : 0.0);
}

RuleChecks RuleChecks::build(std::span<const compiler::CompiledRule> rules, bool rarest_first) {
  RuleChecks laid_out;
  // Text literals are copied first and pointed at afterwards, once texts_
  // no longer grows.
  std::vector<std::uint32_t> text_offsets;
  laid_out.plans_.reserve(rules.size());
  for (const auto& rule : rules) {
    RulePlan plan;
    plan.first = static_cast<std::uint32_t>(laid_out.checks_.size());
    const std::span<const compiler::AtomicCondition> members = comparisons_of(rule);
    plan.any = is_any(rule) ? 1 : 0;
    plan.count = static_cast<std::uint32_t>(members.size());
    if (const auto* tree = std::get_if<compiler::ConditionTree>(&rule.condition)) {
      plan.tree = 1;
      laid_out.trees_.resize(rules.size(), nullptr);
      laid_out.trees_[laid_out.plans_.size()] = tree;
    }
    for (const auto& member : members) {
      laid_out.checks_.push_back(make_check(member));
      const Check& check = laid_out.checks_.back();
      if (!check.two_fields && check.kind == ValueKind::String) {
        const std::string_view literal = literal_of(member).text;
        text_offsets.push_back(static_cast<std::uint32_t>(laid_out.texts_.size()));
        laid_out.texts_.insert(laid_out.texts_.end(), literal.begin(), literal.end());
      }
    }
    laid_out.plans_.push_back(plan);
  }
  std::size_t next_text = 0;
  for (auto& check : laid_out.checks_) {
    if (!check.two_fields && check.kind == ValueKind::String) {
      check.text = laid_out.texts_.data() + text_offsets[next_text++];
    }
  }
  if (rarest_first) {
    const CheckRarity rarity(laid_out.checks_);
    for (const RulePlan& plan : laid_out.plans_) {
      if (plan.any) continue;
      const auto first = laid_out.checks_.begin() + plan.first;
      std::stable_sort(first, first + plan.count,
                       [&](const Check& a, const Check& b) { return rarity(a) < rarity(b); });
    }
  }
  return laid_out;
}

}  // namespace kavro::evaluation::detail
