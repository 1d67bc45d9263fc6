// The equality index must never change a decision: random policies against a
// reference scan written here from the comparison rules, plus named cases for
// the values where equality is subtle.
#include "evaluation/rule_index.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "counting_input.h"
#include "evaluation/evaluator.h"
#include "policy_builders.h"

namespace kavro {
namespace {

using namespace kavro::testing;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---- reference: the decision procedure over named fields, no slots ----

static_assert(std::is_same_v<std::variant_alternative_t<0, compiler::RuntimeValue>, std::string> &&
              std::is_same_v<std::variant_alternative_t<1, compiler::RuntimeValue>, double> &&
              std::is_same_v<std::variant_alternative_t<2, compiler::RuntimeValue>, bool> &&
              static_cast<int>(documents::FieldType::String) == 0 &&
              static_cast<int>(documents::FieldType::Number) == 1 &&
              static_cast<int>(documents::FieldType::Boolean) == 2);

using evaluation::detail::SequenceIndex;
bool indexed(const SequenceIndex& index) {
  return !std::holds_alternative<evaluation::detail::PlainScan>(index.strategy());
}
bool screened(const SequenceIndex& index) {
  return std::holds_alternative<evaluation::detail::ScreenIndex>(index.strategy());
}
bool ordered(const SequenceIndex& index) {
  return std::holds_alternative<evaluation::detail::OrderedIndex>(index.strategy());
}

using FieldKey = std::pair<documents::Domain, std::string>;
using Fields = std::map<FieldKey, compiler::RuntimeValue>;

std::optional<compiler::RuntimeValue> reference_lookup(const compiler::SubjectRef& subject,
                                                       const Fields& fields) {
  auto it = fields.find({subject.domain, subject.field});
  if (it == fields.end()) return std::nullopt;
  return it->second;
}

// The outcome of comparing two values of one kind, in the vocabulary's terms:
// texts and booleans are equal or differ (kOutcomeLess), numbers are ordered
// or, with a NaN, unordered.
std::uint8_t reference_outcome(const compiler::RuntimeValue& left,
                               const compiler::RuntimeValue& right) {
  if (const auto* l = std::get_if<double>(&left)) {
    const double r = std::get<double>(right);
    if (*l < r) return documents::kOutcomeLess;
    if (*l > r) return documents::kOutcomeGreater;
    return *l == r ? documents::kOutcomeEqual : documents::kOutcomeUnordered;
  }
  return left == right ? documents::kOutcomeEqual : documents::kOutcomeLess;
}

// An operator holds when its row applies to the values' type and accepts
// their outcome: the same table as the engine, read without its code.
bool reference_atomic(const compiler::AtomicCondition& atomic, const Fields& fields) {
  const auto left = reference_lookup(atomic.lhs, fields);
  const auto right =
      std::holds_alternative<compiler::SubjectRef>(atomic.rhs)
          ? reference_lookup(std::get<compiler::SubjectRef>(atomic.rhs), fields)
          : std::optional<compiler::RuntimeValue>(std::get<compiler::RuntimeValue>(atomic.rhs));
  if (!left || !right || left->index() != right->index()) return false;
  // A runtime value's alternatives follow the field types.
  const auto type = static_cast<documents::FieldType>(left->index());
  const documents::OperatorWord& row = documents::word(atomic.op);
  return (row.types & documents::type_bit(type)) != 0 &&
         (row.accepts & reference_outcome(*left, *right)) != 0;
}

bool reference_condition(const compiler::CompiledCondition& condition, const Fields& fields) {
  if (const auto* atomic = std::get_if<compiler::AtomicCondition>(&condition)) {
    return reference_atomic(*atomic, fields);
  }
  if (const auto* all = std::get_if<compiler::AllOf>(&condition)) {
    for (const auto& member : all->members) {
      if (!reference_atomic(member, fields)) return false;
    }
    return true;
  }
  for (const auto& member : std::get<compiler::AnyOf>(condition).members) {
    if (reference_atomic(member, fields)) return true;
  }
  return false;
}

const compiler::CompiledRule* reference_scan(const compiler::RuleSequence& rules,
                                             const Fields& fields) {
  for (const auto& rule : rules) {
    if (reference_condition(rule.condition, fields)) return &rule;
  }
  return nullptr;
}

const compiler::CompiledRule* reference_decision(const compiler::CompiledPolicy& policy,
                                                 const Fields& fields) {
  auto type = fields.find({documents::Domain::Action, "type"});
  if (type != fields.end() && std::holds_alternative<std::string>(type->second)) {
    auto bucket = policy.action_rules.find(std::get<std::string>(type->second));
    if (bucket != policy.action_rules.end()) {
      if (const auto* rule = reference_scan(bucket->second, fields)) return rule;
    }
  }
  return reference_scan(policy.global_rules, fields);
}

void fill_input(evaluation::EvaluationInput& input, const Fields& fields) {
  for (const auto& [key, value] : fields)
    input.set(key.first, key.second, evaluation::view_of(value));
}

// ---- random policies and inputs ----

class Generator {
 public:
  // Sequences of up to `max_rules` rules.
  // `pair_eighths` of the comparisons compare two fields.
  explicit Generator(unsigned seed, std::size_t max_rules = 40, std::size_t pair_eighths = 1)
      : random_(seed), max_rules_(max_rules), pair_eighths_(pair_eighths) {}

  evaluation::Plan policy() {
    compiler::CompiledPolicy policy;
    // Equalities on one field dominate some policies, so the index engages.
    key_field_ = field_name(documents::Domain::Actor, pick(3));
    key_weight_ = 1 + pick(3);
    for (const char* action : {"refund", "transfer"}) {
      const std::size_t count = pick(max_rules_);
      for (std::size_t i = 0; i < count; ++i) {
        policy.action_rules[action].push_back(
            rule(action + std::to_string(i), condition(), static_cast<documents::Effect>(pick(3))));
      }
    }
    const std::size_t count = pick(max_rules_);
    for (std::size_t i = 0; i < count; ++i) {
      policy.global_rules.push_back(
          rule("g" + std::to_string(i), condition(), static_cast<documents::Effect>(pick(3))));
    }
    return evaluation::Plan::build(std::move(policy));
  }

  Fields input() {
    Fields fields;
    for (documents::Domain domain :
         {documents::Domain::Action, documents::Domain::Actor, documents::Domain::Snapshot}) {
      for (std::size_t i = 0; i < 3; ++i) {
        if (pick(10) < 3) continue;
        fields[{domain, field_name(domain, i)}] = value(pick(3));
      }
    }
    switch (pick(5)) {
      case 0:
        fields[{documents::Domain::Action, "type"}] = std::string("refund");
        break;
      case 1:
        fields[{documents::Domain::Action, "type"}] = std::string("transfer");
        break;
      case 2:
        fields[{documents::Domain::Action, "type"}] = std::string("audit");
        break;
      case 3:
        fields[{documents::Domain::Action, "type"}] = 1.0;
        break;
      default:
        break;
    }
    return fields;
  }

 private:
  std::size_t pick(std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_);
  }

  static std::string field_name(documents::Domain domain, std::size_t i) {
    static const char* const names[] = {"s", "n", "b"};
    return std::string(domain == documents::Domain::Action ? "act_" : "") + names[i];
  }

  // Small pools, so that equal values and the special numbers recur, yet
  // wide enough that an index on one field has several values to tell apart.
  compiler::RuntimeValue value(std::size_t kind) {
    static const char* const texts[] = {"a", "b", "ab", "", "A", "k1", "k2", "k3", "k4", "k5"};
    static const double numbers[] = {
        0.0, -0.0, 1.0, 2.0, kNaN, std::numeric_limits<double>::infinity(), 3.0, 4.0, 5.0, 6.0};
    if (kind == 0) return std::string(texts[pick(10)]);
    if (kind == 1) return numbers[pick(10)];
    return pick(2) == 0;
  }

  compiler::AtomicCondition comparison() {
    const documents::Domain domain = static_cast<documents::Domain>(pick(3));
    std::string field = field_name(domain, pick(3));
    if (pick(4) < key_weight_) field = key_field_;
    const documents::Domain lhs_domain = field == key_field_ ? documents::Domain::Actor : domain;
    static const documents::Operator ops[] = {
        documents::Operator::Equals,      documents::Operator::Equals,
        documents::Operator::Equals,      documents::Operator::NotEquals,
        documents::Operator::GreaterThan, documents::Operator::LessThan,
        documents::Operator::In};
    const documents::Operator op = ops[pick(7)];
    if (pick(8) < pair_eighths_) {
      const documents::Domain other = static_cast<documents::Domain>(pick(3));
      return atomic(lhs_domain, field, op, subject(other, field_name(other, pick(3))));
    }
    return atomic(lhs_domain, field, op, value(pick(3)));
  }

  compiler::CompiledCondition condition() {
    const std::size_t shape = pick(10);
    if (shape < 4) return comparison();
    std::vector<compiler::AtomicCondition> members(pick(4));
    for (auto& member : members) member = comparison();
    if (shape < 8) return compiler::AllOf{std::move(members)};
    return compiler::AnyOf{std::move(members)};
  }

  std::mt19937 random_;
  std::size_t max_rules_;
  std::size_t pair_eighths_;
  std::string key_field_;
  std::size_t key_weight_ = 0;
};

// Which sequences a run must really exercise.
enum class Engaged { Indexed, Ordered, Pairs };

struct RandomRun {
  std::string name;
  unsigned seeds;
  std::size_t max_rules;
  // Guards the test itself: this many sequences must really use the path.
  std::size_t min_engaged;
  Engaged engaged;
  std::size_t pair_eighths = 1;
};

// Sequences whose strategy compares pairs of fields once per input.
bool pairs_screened(const SequenceIndex& index) {
  return std::visit(
      [](const auto& strategy) {
        using Strategy = std::decay_t<decltype(strategy)>;
        if constexpr (std::is_same_v<Strategy, evaluation::detail::ScreenIndex> ||
                      std::is_same_v<Strategy, evaluation::detail::OrderedIndex>) {
          return strategy.pair_count() != 0;
        } else {
          return false;
        }
      },
      index.strategy());
}

class RandomPolicies : public ::testing::TestWithParam<RandomRun> {};

TEST_P(RandomPolicies, DecideAsAPlainScan) {
  const RandomRun& run = GetParam();
  std::size_t engaged_sequences = 0;
  std::size_t decisions = 0;
  const auto engaged = [&](const SequenceIndex& index) {
    switch (run.engaged) {
      case Engaged::Indexed:
        return indexed(index);
      case Engaged::Ordered:
        return ordered(index);
      case Engaged::Pairs:
        return pairs_screened(index);
    }
    return false;
  };
  for (unsigned seed = 0; seed < run.seeds; ++seed) {
    Generator generator(seed, run.max_rules, run.pair_eighths);
    const evaluation::Plan plan = generator.policy();
    engaged_sequences += engaged(plan.rule_index().global());
    for (const char* action : {"refund", "transfer"}) {
      const auto* bucket = plan.rule_index().find_action(action);
      engaged_sequences += bucket != nullptr && engaged(bucket->index);
    }
    for (int request = 0; request < 50; ++request) {
      const Fields fields = generator.input();
      evaluation::EvaluationInput input(plan.field_slots());
      fill_input(input, fields);
      const compiler::CompiledRule* expected = reference_decision(plan.model(), fields);
      const evaluation::EvaluationResult result = evaluation::evaluate_policy(plan, input);
      ASSERT_EQ(result.matched_rule.has_value(), expected != nullptr) << "seed " << seed;
      if (expected != nullptr) {
        ASSERT_EQ(*result.matched_rule, expected->rule_id) << "seed " << seed;
        ASSERT_EQ(result.effect, expected->effect) << "seed " << seed;
        ++decisions;
      }
    }
  }
  EXPECT_GT(engaged_sequences, run.min_engaged);
  EXPECT_GT(decisions, run.seeds * 5);
}

INSTANTIATE_TEST_SUITE_P(
    RuleIndex, RandomPolicies,
    ::testing::Values(RandomRun{"ShortSequences", 400, 40, 300, Engaged::Indexed},
                      RandomRun{"LongSequences", 60, 600, 100, Engaged::Ordered},
                      RandomRun{"ShortSequencesOfFieldPairs", 300, 40, 250, Engaged::Pairs, 4},
                      RandomRun{"LongSequencesOfFieldPairs", 40, 600, 60, Engaged::Pairs, 4}),
    [](const auto& info) { return info.param.name; });

// Rule i holds when n < i: the input's n lets through all rules above it,
// nearly the whole sequence when n is small; the bitset spans several words.
// Around kGathered, the rules let through fill the gathered list exactly or
// overflow it into the bitset.
TEST(RuleIndex, OrderedKeysLetThroughFewOrMostRules) {
  compiler::CompiledPolicy policy;
  constexpr int kRules = 712;
  constexpr int kGathered = static_cast<int>(evaluation::detail::kMaxGathered);
  for (int i = 0; i < kRules; ++i) {
    policy.global_rules.push_back(
        rule("below-" + std::to_string(i),
             atomic(documents::Domain::Actor, "n", documents::Operator::LessThan, number(i)),
             documents::Effect::Block));
  }
  const evaluation::Plan plan = evaluation::Plan::build(std::move(policy));
  ASSERT_TRUE(ordered(plan.rule_index().global()));
  const std::pair<double, std::optional<std::string>> cases[] = {
      {10.5, "below-11"},
      {-0.0, "below-1"},
      {400.0, "below-401"},
      {kRules - 1.5, "below-" + std::to_string(kRules - 1)},
      {kRules - 1.0, std::nullopt},
      {kNaN, std::nullopt},
      {kRules - kGathered - 0.5, "below-" + std::to_string(kRules - kGathered)},
      {kRules - kGathered - 1.5, "below-" + std::to_string(kRules - kGathered - 1)}};
  for (const auto& [n, expected] : cases) {
    evaluation::EvaluationInput input(plan.field_slots());
    input.set(documents::Domain::Actor, "n", evaluation::ValueView::of_number(n));
    EXPECT_EQ(evaluation::evaluate_policy(plan, input).matched_rule, expected) << n;
  }
}

// A value at or beyond a key's extreme literals lets none of its rules through
// without a search; at them, the search still finds the rules.
TEST(RuleIndex, OrderedKeysAtTheirExtremeLiterals) {
  compiler::CompiledPolicy policy;
  for (int i = 0; i < 150; ++i) {
    const std::string serial = std::to_string(i);
    policy.global_rules.push_back(rule(
        "above-" + std::to_string(100 + i),
        atomic(documents::Domain::Actor, "n", documents::Operator::GreaterThan, number(100 + i)),
        documents::Effect::Block));
    // An any rule: its equalities go to ordered keys, not the equality index.
    policy.global_rules.push_back(
        rule("is-" + serial,
             compiler::AnyOf{
                 {atomic(documents::Domain::Actor, "m", documents::Operator::Equals, number(i)),
                  atomic(documents::Domain::Actor, "t", documents::Operator::Equals,
                         text("t" + serial))}},
             documents::Effect::Block));
  }
  const evaluation::Plan plan = evaluation::Plan::build(std::move(policy));
  ASSERT_TRUE(ordered(plan.rule_index().global()));
  const double kInf = std::numeric_limits<double>::infinity();
  const auto num = evaluation::ValueView::of_number;
  const auto str = evaluation::ValueView::of_string;
  const std::tuple<const char*, evaluation::ValueView, std::optional<std::string>> cases[] = {
      {"n", num(100.0), std::nullopt}, {"n", num(100.5), "above-100"},
      {"n", num(kInf), "above-100"},   {"n", num(-kInf), std::nullopt},
      {"m", num(-1.0), std::nullopt},  {"m", num(-0.0), "is-0"},
      {"m", num(149.0), "is-149"},     {"m", num(149.5), std::nullopt},
      {"t", str("a"), std::nullopt},   {"t", str("t0"), "is-0"},
      {"t", str("t99"), "is-99"},      {"t", str("t990"), std::nullopt}};
  for (const auto& [field, value, expected] : cases) {
    evaluation::EvaluationInput input(plan.field_slots());
    input.set(documents::Domain::Actor, field, value);
    EXPECT_EQ(evaluation::evaluate_policy(plan, input).matched_rule, expected)
        << field << " " << value.number << value.text;
  }
}

// ---- named cases on one indexed sequence ----

// Global rules keyed on actor field k; the index takes k, since the others
// are tested by one rule each.
evaluation::Plan tricky_policy() {
  const auto k_is = [](compiler::CompiledValue value) {
    return atomic(documents::Domain::Actor, "k", documents::Operator::Equals, std::move(value));
  };
  const auto flag_is = [](bool value) {
    return atomic(documents::Domain::Actor, "flag", documents::Operator::Equals, boolean(value));
  };
  compiler::CompiledPolicy policy;
  auto& rules = policy.global_rules;
  rules.push_back(rule("a-without-flag", compiler::AllOf{{k_is(text("a")), flag_is(false)}},
                       documents::Effect::Block));
  rules.push_back(rule("nan", k_is(number(kNaN)), documents::Effect::Block));
  rules.push_back(
      rule("flag-or-big",
           compiler::AnyOf{{flag_is(true), atomic(documents::Domain::Actor, "m",
                                                  documents::Operator::GreaterThan, number(5))}},
           documents::Effect::RequireApproval));
  rules.push_back(rule("a", k_is(text("a")), documents::Effect::Allow));
  rules.push_back(rule("negative-zero", k_is(number(-0.0)), documents::Effect::Allow));
  rules.push_back(rule("one", k_is(number(1)), documents::Effect::Allow));
  rules.push_back(rule("true", k_is(boolean(true)), documents::Effect::Allow));
  for (const char* name : {"b", "c", "d", "e"})
    rules.push_back(rule(name, k_is(text(name)), documents::Effect::Block));
  rules.push_back(
      rule("any-other-number",
           atomic(documents::Domain::Actor, "k", documents::Operator::NotEquals, number(kNaN)),
           documents::Effect::Block));
  rules.push_back(rule("a-again", k_is(text("a")), documents::Effect::Block));
  return evaluation::Plan::build(std::move(policy));
}

struct TrickyCase {
  std::string name;
  std::optional<evaluation::ValueView> k;
  std::optional<bool> flag;
  std::optional<std::string> expected;
};

class IndexedSequence : public ::testing::TestWithParam<TrickyCase> {};

TEST_P(IndexedSequence, DecidesAsTheFirstHoldingRule) {
  const auto& c = GetParam();
  const evaluation::Plan plan = tricky_policy();
  ASSERT_TRUE(indexed(plan.rule_index().global()));
  evaluation::EvaluationInput input(plan.field_slots());
  if (c.k) input.set(documents::Domain::Actor, "k", *c.k);
  if (c.flag)
    input.set(documents::Domain::Actor, "flag", evaluation::ValueView::of_boolean(*c.flag));
  EXPECT_EQ(evaluation::evaluate_policy(plan, input).matched_rule, c.expected);
  const compiler::CompiledRule* plain = find_first_match(plan.model().global_rules, input);
  EXPECT_EQ(plain ? std::optional(plain->rule_id) : std::nullopt, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    RuleIndex, IndexedSequence,
    ::testing::Values(
        TrickyCase{"NaNInputEqualsNothing",
                   evaluation::ValueView::of_number(kNaN),
                   {},
                   "any-other-number"},
        TrickyCase{"NegativeZeroInputEqualsLiteral",
                   evaluation::ValueView::of_number(-0.0),
                   {},
                   "negative-zero"},
        TrickyCase{"ZeroInputEqualsNegativeZeroLiteral",
                   evaluation::ValueView::of_number(0.0),
                   {},
                   "negative-zero"},
        TrickyCase{"NumberOne", evaluation::ValueView::of_number(1), {}, "one"},
        TrickyCase{
            "NumberNoRuleNames", evaluation::ValueView::of_number(2), {}, "any-other-number"},
        TrickyCase{
            "TextOneIsNotNumberOne", evaluation::ValueView::of_string("1"), {}, std::nullopt},
        TrickyCase{
            "BooleanTrueIsNotNumberOne", evaluation::ValueView::of_boolean(true), {}, "true"},
        TrickyCase{"BooleanFalseNamedByNoRule",
                   evaluation::ValueView::of_boolean(false),
                   {},
                   std::nullopt},
        TrickyCase{
            "TextComparesCaseSensitively", evaluation::ValueView::of_string("A"), {}, std::nullopt},
        TrickyCase{"TextWithTrailingNulIsAnotherText",
                   evaluation::ValueView::of_string(std::string_view("a\0", 2)),
                   {},
                   std::nullopt},
        TrickyCase{"AbsentKeyVisitsOnlyUnindexedRules", std::nullopt, true, "flag-or-big"},
        TrickyCase{"AbsentKeyMatchesNoIndexedRule", std::nullopt, false, std::nullopt},
        TrickyCase{"EarlierIndexedRuleBeforeUnindexed", evaluation::ValueView::of_string("a"),
                   false, "a-without-flag"},
        TrickyCase{"UnindexedRuleBetweenIndexedRules", evaluation::ValueView::of_string("a"), true,
                   "flag-or-big"},
        TrickyCase{
            "LaterIndexedRuleAfterFailedOnes", evaluation::ValueView::of_string("a"), {}, "a"},
        TrickyCase{"LastTextOfTheBucket", evaluation::ValueView::of_string("e"), {}, "e"}),
    [](const auto& info) { return info.param.name; });

// ---- named cases on a screened sequence ----

// `fillers` rules that no case reaches the literals of, then rules whose
// guards are subtle: two-field comparisons (no guard), comparisons that never
// hold, NaN and -0.0, texts of one length, booleans by not_equals, and rules
// filed under an equality key in the same words. Sizes around
// kMaxScreenedRules put the fillers under ordered keys instead.
evaluation::Plan screened_policy(std::size_t fillers) {
  using documents::Domain;
  using documents::Operator;
  const auto x = [](Operator op, compiler::CompiledValue value) {
    return atomic(Domain::Actor, "x", op, std::move(value));
  };
  const auto s_is = [](const char* value) {
    return atomic(Domain::Actor, "s", Operator::Equals, text(value));
  };
  compiler::CompiledPolicy policy;
  auto& rules = policy.global_rules;
  const auto add = [&](std::string id, compiler::CompiledCondition condition) {
    rules.push_back(rule(std::move(id), std::move(condition), documents::Effect::Block));
  };
  for (std::size_t i = 0; i < fillers; ++i) {
    add("far-" + std::to_string(i), x(Operator::GreaterThan, number(1e6 + static_cast<double>(i))));
  }
  add("nan-never", x(Operator::Equals, number(kNaN)));
  add("in-never", compiler::AllOf{{atomic(Domain::Actor, "b", Operator::Equals, boolean(true)),
                                   x(Operator::In, number(5))}});
  add("negative-zero", x(Operator::Equals, number(-0.0)));
  add("text-and-above", compiler::AllOf{{x(Operator::GreaterThan, number(100)), s_is("go")}});
  add("above-two", x(Operator::GreaterThan, number(2)));
  add("text", s_is("abc"));
  add("text-or-fields",
      compiler::AnyOf{{s_is("zz"), atomic(Domain::Actor, "y", Operator::GreaterThan,
                                          subject(Domain::Actor, "z"))}});
  add("not-true", atomic(Domain::Actor, "b", Operator::NotEquals, boolean(true)));
  add("below-or-text", compiler::AnyOf{{x(Operator::LessThan, number(-5)), s_is("q")}});
  add("fields-only",
      compiler::AllOf{{atomic(Domain::Actor, "y", Operator::Equals, subject(Domain::Actor, "z"))}});
  for (int i = 0; i < 6; ++i) {
    const std::string serial = std::to_string(i);
    add("k-" + serial, atomic(Domain::Actor, "k", Operator::Equals, text("v" + serial)));
  }
  // Any lists with equalities on the key's slot: filed under the key, the
  // other comparisons guarded (or never holding).
  const auto k_is = [](const char* value) {
    return atomic(Domain::Actor, "k", Operator::Equals, text(value));
  };
  add("k-or-w", compiler::AnyOf{
                    {k_is("v9"), atomic(Domain::Actor, "w", Operator::GreaterThan, number(100))}});
  add("k-or-never", compiler::AnyOf{{k_is("v7"), x(Operator::Equals, number(kNaN)), k_is("v8")}});
  add("any-number", x(Operator::NotEquals, number(kNaN)));
  return evaluation::Plan::build(std::move(policy));
}

struct ScreenedCase {
  std::string name;
  std::vector<std::pair<std::string, evaluation::ValueView>> fields;
  std::optional<std::string> expected;
};

class ScreenedSequence : public ::testing::TestWithParam<ScreenedCase> {};

TEST_P(ScreenedSequence, DecidesAsThePlainScan) {
  const auto& c = GetParam();
  constexpr std::size_t kMax = evaluation::detail::kMaxScreenedRules;
  const std::size_t others = screened_policy(0).model().global_rules.size();
  // Past the first word; the longest screened sequence; the shortest not.
  for (const std::size_t fillers : {std::size_t{70}, kMax - others, kMax - others + 1}) {
    const evaluation::Plan plan = screened_policy(fillers);
    const auto& index = plan.rule_index().global();
    ASSERT_EQ(screened(index), fillers + others <= kMax) << fillers;
    ASSERT_TRUE(indexed(index)) << fillers;
    evaluation::EvaluationInput input(plan.field_slots());
    for (const auto& [field, value] : c.fields) input.set(documents::Domain::Actor, field, value);
    EXPECT_EQ(evaluation::evaluate_policy(plan, input).matched_rule, c.expected) << fillers;
    const compiler::CompiledRule* plain = find_first_match(plan.model().global_rules, input);
    EXPECT_EQ(plain ? std::optional(plain->rule_id) : std::nullopt, c.expected) << fillers;
  }
}

const auto num = evaluation::ValueView::of_number;
const auto str = evaluation::ValueView::of_string;
const auto flag = evaluation::ValueView::of_boolean;

INSTANTIATE_TEST_SUITE_P(
    RuleIndex, ScreenedSequence,
    ::testing::Values(
        ScreenedCase{"ZeroEqualsNegativeZero", {{"x", num(0.0)}}, "negative-zero"},
        ScreenedCase{"NegativeZero", {{"x", num(-0.0)}}, "negative-zero"},
        ScreenedCase{"ThresholdItselfIsNotAbove", {{"x", num(2.0)}}, "any-number"},
        ScreenedCase{"JustAboveThreshold", {{"x", num(std::nextafter(2.0, 3.0))}}, "above-two"},
        ScreenedCase{"NaNHoldsOnlyNotEquals", {{"x", num(kNaN)}}, "any-number"},
        ScreenedCase{"FarAboveReachesTheFirstFiller",
                     {{"x", num(std::numeric_limits<double>::infinity())}},
                     "far-0"},
        ScreenedCase{"TextOfTheLiteral", {{"s", str("abc")}}, "text"},
        ScreenedCase{"OtherTextOfTheSameLength", {{"s", str("abd")}}, std::nullopt},
        ScreenedCase{"TextOfAnAnyList", {{"s", str("q")}}, "below-or-text"},
        ScreenedCase{"NumberOfAnAnyList", {{"x", num(-10.0)}}, "below-or-text"},
        ScreenedCase{"NotEqualsTrueHoldsOnFalse", {{"b", flag(false)}}, "not-true"},
        ScreenedCase{"NotEqualsTrueFailsOnTrue", {{"b", flag(true)}}, std::nullopt},
        ScreenedCase{"TwoFieldsInAnAnyList", {{"y", num(5.0)}, {"z", num(3.0)}}, "text-or-fields"},
        ScreenedCase{"TwoFieldsOnly", {{"y", num(4.0)}, {"z", num(4.0)}}, "fields-only"},
        ScreenedCase{"GuardPassesButRuleFails", {{"s", str("go")}}, std::nullopt},
        ScreenedCase{"GuardAndRuleHold", {{"s", str("go")}, {"x", num(150.0)}}, "text-and-above"},
        ScreenedCase{"EqualityKeyAmongGuards", {{"k", str("v3")}}, "k-3"},
        ScreenedCase{"GuardBeforeEqualityKey", {{"k", str("v3")}, {"b", flag(false)}}, "not-true"},
        ScreenedCase{"TextWhereNumberIsCompared", {{"x", str("3")}}, std::nullopt},
        ScreenedCase{"AnyFoundUnderTheKey", {{"k", str("v9")}}, "k-or-w"},
        ScreenedCase{"AnyFoundByItsGuard", {{"w", num(500.0)}}, "k-or-w"},
        ScreenedCase{"AnyGuardFails", {{"w", num(50.0)}}, std::nullopt},
        ScreenedCase{"AnyOfKeyEqualitiesOnlyFirst", {{"k", str("v7")}}, "k-or-never"},
        ScreenedCase{"AnyOfKeyEqualitiesOnlyLast", {{"k", str("v8")}}, "k-or-never"},
        ScreenedCase{"KeyOfAnotherKind", {{"k", num(9.0)}}, std::nullopt}),
    [](const auto& info) { return info.param.name; });

// Global rules r<i>: actor k equals the text v<i>, each value once.
evaluation::Plan one_rule_per_value(int count) {
  compiler::CompiledPolicy policy;
  for (int i = 0; i < count; ++i) {
    policy.global_rules.push_back(
        rule("r" + std::to_string(i),
             atomic(documents::Domain::Actor, "k", documents::Operator::Equals,
                    text("v" + std::to_string(i))),
             documents::Effect::Block));
  }
  return evaluation::Plan::build(std::move(policy));
}

TEST(RuleIndex, VisitsOnlyTheRulesTheValueCanMatch) {
  const evaluation::Plan plan = one_rule_per_value(20);
  evaluation::EvaluationInput input(plan.field_slots());
  input.set(documents::Domain::Actor, "k", evaluation::ValueView::of_string("v19"));
  CountingInput counting(input);
  EXPECT_EQ(evaluation::evaluate_policy(plan, counting).matched_rule, "r19");
  EXPECT_EQ(counting.lookups, 3) << "the action type, the indexed field, rule r19";
}

TEST(RuleIndex, FewRulesAreScannedPlainly) {
  EXPECT_FALSE(indexed(one_rule_per_value(5).rule_index().global()));
}

// Texts (two long enough not to live inside their std::string), signed
// zeros, NaN, infinity and booleans: the values comparisons get wrong.
const std::vector<compiler::RuntimeValue>& values_of_interest() {
  static const std::vector<compiler::RuntimeValue> values = {
      std::string("a"),
      std::string("b"),
      std::string(""),
      std::string("a-long-text-literal-x"),
      std::string("a-long-text-literal-y"),
      0.0,
      -0.0,
      1.0,
      -1.0,
      kNaN,
      std::numeric_limits<double>::infinity(),
      true,
      false};
  return values;
}

// Every operator against every literal and input value of interest, each
// pair through the laid-out checks and through the plain comparison.
TEST(RuleIndex, LaidOutChecksCompareAsThePlainScan) {
  const std::vector<compiler::RuntimeValue>& values = values_of_interest();
  const documents::Operator ops[] = {
      documents::Operator::Equals,      documents::Operator::NotEquals,
      documents::Operator::GreaterThan, documents::Operator::LessThan,
      documents::Operator::In,          documents::Operator::NotIn};
  std::size_t holding = 0;
  for (const documents::Operator op : ops) {
    for (const auto& literal : values) {
      compiler::CompiledPolicy policy;
      policy.global_rules.push_back(rule(
          "literal", atomic(documents::Domain::Actor, "x", op, compiler::CompiledValue(literal)),
          documents::Effect::Block));
      policy.global_rules.push_back(
          rule("fields",
               atomic(documents::Domain::Actor, "y", op, subject(documents::Domain::Actor, "x")),
               documents::Effect::Block));
      const evaluation::Plan plan = evaluation::Plan::build(std::move(policy));
      for (const auto& input_value : values) {
        for (const bool absent : {false, true}) {
          evaluation::EvaluationInput input(plan.field_slots());
          input.set(documents::Domain::Actor, "x", evaluation::view_of(input_value));
          if (!absent) input.set(documents::Domain::Actor, "y", evaluation::view_of(literal));
          const compiler::CompiledRule* plain = find_first_match(plan.model().global_rules, input);
          const auto decided = evaluation::evaluate_policy(plan, input).matched_rule;
          ASSERT_EQ(decided, plain ? std::optional(plain->rule_id) : std::nullopt)
              << "operator " << static_cast<int>(op) << ", literal " << literal.index()
              << ", input " << input_value.index();
          holding += plain != nullptr;
        }
      }
    }
  }
  EXPECT_GT(holding, 100u);
}

// Every row of the operator table, whatever rows it holds, with every literal
// and pair of input values of interest (absent, of another kind, NaN, -0.0),
// through each strategy: the rule under test after `fillers` rules that the
// ordered keys or the screens file away (four copies of it), and before rules comparing the same
// two fields by every operator (so that they make a pair key or screen).
struct StrategyCase {
  std::string name;
  std::size_t fillers;
  bool (*expected)(const SequenceIndex&);
};

class EveryOperatorRow : public ::testing::TestWithParam<StrategyCase> {};

evaluation::Plan operator_policy(std::size_t fillers, const compiler::CompiledCondition& tested) {
  using documents::Domain;
  compiler::CompiledPolicy policy;
  auto& rules = policy.global_rules;
  for (std::size_t i = 0; i < fillers; ++i) {
    rules.push_back(rule("far-" + std::to_string(i),
                         atomic(Domain::Actor, "x", documents::Operator::GreaterThan,
                                number(1e6 + static_cast<double>(i))),
                         documents::Effect::Block));
  }
  // Copies, so that the ordered keys have enough rules to file it under.
  for (int copy = 0; copy < 4; ++copy) {
    rules.push_back(rule("tested-" + std::to_string(copy), tested, documents::Effect::Block));
  }
  if (fillers == 0) return evaluation::Plan::build(std::move(policy));
  for (const auto& row : documents::kOperators) {
    rules.push_back(rule("late-" + std::string(row.spelling),
                         atomic(Domain::Actor, "y", row.value, subject(Domain::Actor, "x")),
                         documents::Effect::Allow));
  }
  return evaluation::Plan::build(std::move(policy));
}

TEST_P(EveryOperatorRow, DecidesAsThePlainScan) {
  const StrategyCase& c = GetParam();
  std::vector<std::optional<compiler::RuntimeValue>> values = {std::nullopt};
  for (const auto& value : values_of_interest()) values.emplace_back(value);
  std::size_t holding = 0;
  for (const auto& row : documents::kOperators) {
    // One rule with each literal, and one comparing two fields.
    std::vector<compiler::CompiledCondition> tested;
    for (const auto& literal : values) {
      if (literal) tested.push_back(atomic(documents::Domain::Actor, "x", row.value, *literal));
    }
    tested.push_back(
        atomic(documents::Domain::Actor, "y", row.value, subject(documents::Domain::Actor, "x")));
    for (const auto& condition : tested) {
      const evaluation::Plan plan = operator_policy(c.fillers, condition);
      ASSERT_TRUE(c.expected(plan.rule_index().global())) << row.spelling;
      for (const auto& x : values) {
        for (const auto& y : values) {
          evaluation::EvaluationInput input(plan.field_slots());
          if (x) input.set(documents::Domain::Actor, "x", evaluation::view_of(*x));
          if (y) input.set(documents::Domain::Actor, "y", evaluation::view_of(*y));
          const compiler::CompiledRule* plain = find_first_match(plan.model().global_rules, input);
          ASSERT_EQ(evaluation::evaluate_policy(plan, input).matched_rule,
                    plain ? std::optional(plain->rule_id) : std::nullopt)
              << row.spelling << ", x " << (x ? x->index() : 9) << ", y " << (y ? y->index() : 9);
          holding += plain != nullptr && plain->rule_id == "tested-0";
        }
      }
    }
  }
  EXPECT_GT(holding, 100u);
}

bool plain_scan(const SequenceIndex& index) {
  return !indexed(index);
}
bool screened_with_pairs(const SequenceIndex& index) {
  return screened(index) && pairs_screened(index);
}
bool ordered_with_pairs(const SequenceIndex& index) {
  return ordered(index) && pairs_screened(index);
}

INSTANTIATE_TEST_SUITE_P(RuleIndex, EveryOperatorRow,
                         ::testing::Values(StrategyCase{"PlainScan", 0, plain_scan},
                                           StrategyCase{"Screens", 20, screened_with_pairs},
                                           StrategyCase{"OrderedKeys",
                                                        evaluation::detail::kMaxScreenedRules,
                                                        ordered_with_pairs}),
                         [](const auto& info) { return info.param.name; });

// The index points into the plan's own rules, so a plan moves but never copies.
static_assert(!std::is_copy_constructible_v<evaluation::Plan>);
static_assert(!std::is_copy_constructible_v<evaluation::detail::RuleIndex>);

TEST(RuleIndex, MovedPlanKeepsItsIndex) {
  evaluation::Plan original = tricky_policy();
  const evaluation::Plan moved = std::move(original);
  ASSERT_TRUE(indexed(moved.rule_index().global()));
  evaluation::EvaluationInput input(moved.field_slots());
  input.set(documents::Domain::Actor, "k", evaluation::ValueView::of_string("d"));
  EXPECT_EQ(evaluation::evaluate_policy(moved, input).matched_rule, "d");
}

}  // namespace
}  // namespace kavro
