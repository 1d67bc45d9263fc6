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
#include <vector>

#include "counting_input.h"
#include "evaluation/evaluator.h"
#include "policy_builders.h"

namespace kavro {
namespace {

using namespace kavro::testing;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---- reference: the decision procedure over named fields, no slots ----

using FieldKey = std::pair<Domain, std::string>;
using Fields = std::map<FieldKey, RuntimeValue>;

std::optional<RuntimeValue> reference_lookup(const SubjectRef& subject, const Fields& fields) {
  auto it = fields.find({subject.domain, subject.field});
  if (it == fields.end()) return std::nullopt;
  return it->second;
}

bool reference_atomic(const AtomicCondition& atomic, const Fields& fields) {
  const auto left = reference_lookup(atomic.lhs, fields);
  const auto right = std::holds_alternative<SubjectRef>(atomic.rhs)
                         ? reference_lookup(std::get<SubjectRef>(atomic.rhs), fields)
                         : std::optional<RuntimeValue>(std::get<RuntimeValue>(atomic.rhs));
  if (!left || !right || left->index() != right->index()) return false;
  if (const auto* l = std::get_if<double>(&*left)) {
    const double r = std::get<double>(*right);
    switch (atomic.op) {
      case Operator::Equals:
        return *l == r;
      case Operator::NotEquals:
        return *l != r;
      case Operator::GreaterThan:
        return *l > r;
      case Operator::LessThan:
        return *l < r;
      default:
        return false;
    }
  }
  if (atomic.op == Operator::Equals) return *left == *right;
  if (atomic.op == Operator::NotEquals) return *left != *right;
  return false;
}

bool reference_condition(const CompiledCondition& condition, const Fields& fields) {
  if (const auto* atomic = std::get_if<AtomicCondition>(&condition)) {
    return reference_atomic(*atomic, fields);
  }
  if (const auto* all = std::get_if<AllOf>(&condition)) {
    for (const auto& member : all->members) {
      if (!reference_atomic(member, fields)) return false;
    }
    return true;
  }
  for (const auto& member : std::get<AnyOf>(condition).members) {
    if (reference_atomic(member, fields)) return true;
  }
  return false;
}

const CompiledRule* reference_scan(const RuleSequence& rules, const Fields& fields) {
  for (const auto& rule : rules) {
    if (reference_condition(rule.condition, fields)) return &rule;
  }
  return nullptr;
}

const CompiledRule* reference_decision(const CompiledPolicy& policy, const Fields& fields) {
  auto type = fields.find({Domain::Action, "type"});
  if (type != fields.end() && std::holds_alternative<std::string>(type->second)) {
    auto bucket = policy.action_rules.find(std::get<std::string>(type->second));
    if (bucket != policy.action_rules.end()) {
      if (const auto* rule = reference_scan(bucket->second, fields)) return rule;
    }
  }
  return reference_scan(policy.global_rules, fields);
}

void fill_input(EvaluationInput& input, const Fields& fields) {
  for (const auto& [key, value] : fields) input.set(key.first, key.second, view_of(value));
}

// ---- random policies and inputs ----

class Generator {
 public:
  explicit Generator(unsigned seed) : random_(seed) {}

  Plan policy() {
    CompiledPolicy policy;
    // Equalities on one field dominate some policies, so the index engages.
    key_field_ = field_name(Domain::Actor, pick(3));
    key_weight_ = 1 + pick(3);
    for (const char* action : {"refund", "transfer"}) {
      const std::size_t count = pick(40);
      for (std::size_t i = 0; i < count; ++i) {
        policy.action_rules[action].push_back(
            rule(action + std::to_string(i), condition(), static_cast<Effect>(pick(3))));
      }
    }
    const std::size_t count = pick(40);
    for (std::size_t i = 0; i < count; ++i) {
      policy.global_rules.push_back(
          rule("g" + std::to_string(i), condition(), static_cast<Effect>(pick(3))));
    }
    return Plan::build(std::move(policy));
  }

  Fields input() {
    Fields fields;
    for (Domain domain : {Domain::Action, Domain::Actor, Domain::Snapshot}) {
      for (std::size_t i = 0; i < 3; ++i) {
        if (pick(10) < 3) continue;
        fields[{domain, field_name(domain, i)}] = value(pick(3));
      }
    }
    switch (pick(5)) {
      case 0:
        fields[{Domain::Action, "type"}] = std::string("refund");
        break;
      case 1:
        fields[{Domain::Action, "type"}] = std::string("transfer");
        break;
      case 2:
        fields[{Domain::Action, "type"}] = std::string("audit");
        break;
      case 3:
        fields[{Domain::Action, "type"}] = 1.0;
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

  static std::string field_name(Domain domain, std::size_t i) {
    static const char* const names[] = {"s", "n", "b"};
    return std::string(domain == Domain::Action ? "act_" : "") + names[i];
  }

  // Small pools, so that equal values and the special numbers recur, yet
  // wide enough that an index on one field has several values to tell apart.
  RuntimeValue value(std::size_t kind) {
    static const char* const texts[] = {"a", "b", "ab", "", "A", "k1", "k2", "k3", "k4", "k5"};
    static const double numbers[] = {
        0.0, -0.0, 1.0, 2.0, kNaN, std::numeric_limits<double>::infinity(), 3.0, 4.0, 5.0, 6.0};
    if (kind == 0) return std::string(texts[pick(10)]);
    if (kind == 1) return numbers[pick(10)];
    return pick(2) == 0;
  }

  AtomicCondition comparison() {
    const Domain domain = static_cast<Domain>(pick(3));
    std::string field = field_name(domain, pick(3));
    if (pick(4) < key_weight_) field = key_field_;
    const Domain lhs_domain = field == key_field_ ? Domain::Actor : domain;
    static const Operator ops[] = {Operator::Equals,    Operator::Equals,      Operator::Equals,
                                   Operator::NotEquals, Operator::GreaterThan, Operator::LessThan,
                                   Operator::In};
    const Operator op = ops[pick(7)];
    if (pick(8) == 0) {
      const Domain other = static_cast<Domain>(pick(3));
      return atomic(lhs_domain, field, op, subject(other, field_name(other, pick(3))));
    }
    return atomic(lhs_domain, field, op, value(pick(3)));
  }

  CompiledCondition condition() {
    const std::size_t shape = pick(10);
    if (shape < 4) return comparison();
    std::vector<AtomicCondition> members(pick(4));
    for (auto& member : members) member = comparison();
    if (shape < 8) return AllOf{std::move(members)};
    return AnyOf{std::move(members)};
  }

  std::mt19937 random_;
  std::string key_field_;
  std::size_t key_weight_ = 0;
};

TEST(RuleIndex, RandomPoliciesDecideAsAPlainScan) {
  std::size_t indexed_sequences = 0;
  std::size_t decisions = 0;
  for (unsigned seed = 0; seed < 400; ++seed) {
    Generator generator(seed);
    const Plan plan = generator.policy();
    indexed_sequences += plan.rule_index().global().active();
    for (const char* action : {"refund", "transfer"}) {
      const auto* bucket = plan.rule_index().find_action(action);
      indexed_sequences += bucket != nullptr && bucket->index.active();
    }
    for (int request = 0; request < 50; ++request) {
      const Fields fields = generator.input();
      EvaluationInput input(plan.field_slots());
      fill_input(input, fields);
      const CompiledRule* expected = reference_decision(plan.model(), fields);
      const EvaluationResult result = evaluate_policy(plan, input);
      ASSERT_EQ(result.matched_rule.has_value(), expected != nullptr) << "seed " << seed;
      if (expected != nullptr) {
        ASSERT_EQ(*result.matched_rule, expected->rule_id) << "seed " << seed;
        ASSERT_EQ(result.effect, expected->effect) << "seed " << seed;
        ++decisions;
      }
    }
  }
  // Guards the test itself: most sequences must really go through the index.
  EXPECT_GT(indexed_sequences, 300u);
  EXPECT_GT(decisions, 2000u);
}

// ---- named cases on one indexed sequence ----

// Global rules keyed on actor field k; the index takes k, since the others
// are tested by one rule each.
Plan tricky_policy() {
  const auto k_is = [](CompiledValue value) {
    return atomic(Domain::Actor, "k", Operator::Equals, std::move(value));
  };
  const auto flag_is = [](bool value) {
    return atomic(Domain::Actor, "flag", Operator::Equals, boolean(value));
  };
  CompiledPolicy policy;
  auto& rules = policy.global_rules;
  rules.push_back(rule("a-without-flag", AllOf{{k_is(text("a")), flag_is(false)}}, Effect::Block));
  rules.push_back(rule("nan", k_is(number(kNaN)), Effect::Block));
  rules.push_back(
      rule("flag-or-big",
           AnyOf{{flag_is(true), atomic(Domain::Actor, "m", Operator::GreaterThan, number(5))}},
           Effect::RequireApproval));
  rules.push_back(rule("a", k_is(text("a")), Effect::Allow));
  rules.push_back(rule("negative-zero", k_is(number(-0.0)), Effect::Allow));
  rules.push_back(rule("one", k_is(number(1)), Effect::Allow));
  rules.push_back(rule("true", k_is(boolean(true)), Effect::Allow));
  for (const char* name : {"b", "c", "d", "e"})
    rules.push_back(rule(name, k_is(text(name)), Effect::Block));
  rules.push_back(rule("any-other-number",
                       atomic(Domain::Actor, "k", Operator::NotEquals, number(kNaN)),
                       Effect::Block));
  rules.push_back(rule("a-again", k_is(text("a")), Effect::Block));
  return Plan::build(std::move(policy));
}

struct TrickyCase {
  std::string name;
  std::optional<ValueView> k;
  std::optional<bool> flag;
  std::optional<std::string> expected;
};

class IndexedSequence : public ::testing::TestWithParam<TrickyCase> {};

TEST_P(IndexedSequence, DecidesAsTheFirstHoldingRule) {
  const auto& c = GetParam();
  const Plan plan = tricky_policy();
  ASSERT_TRUE(plan.rule_index().global().active());
  EvaluationInput input(plan.field_slots());
  if (c.k) input.set(Domain::Actor, "k", *c.k);
  if (c.flag) input.set(Domain::Actor, "flag", ValueView::of_boolean(*c.flag));
  EXPECT_EQ(evaluate_policy(plan, input).matched_rule, c.expected);
  const CompiledRule* plain = find_first_match(plan.model().global_rules, input);
  EXPECT_EQ(plain ? std::optional(plain->rule_id) : std::nullopt, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    RuleIndex, IndexedSequence,
    ::testing::Values(
        TrickyCase{"NaNInputEqualsNothing", ValueView::of_number(kNaN), {}, "any-other-number"},
        TrickyCase{
            "NegativeZeroInputEqualsLiteral", ValueView::of_number(-0.0), {}, "negative-zero"},
        TrickyCase{
            "ZeroInputEqualsNegativeZeroLiteral", ValueView::of_number(0.0), {}, "negative-zero"},
        TrickyCase{"NumberOne", ValueView::of_number(1), {}, "one"},
        TrickyCase{"NumberNoRuleNames", ValueView::of_number(2), {}, "any-other-number"},
        TrickyCase{"TextOneIsNotNumberOne", ValueView::of_string("1"), {}, std::nullopt},
        TrickyCase{"BooleanTrueIsNotNumberOne", ValueView::of_boolean(true), {}, "true"},
        TrickyCase{"BooleanFalseNamedByNoRule", ValueView::of_boolean(false), {}, std::nullopt},
        TrickyCase{"TextComparesCaseSensitively", ValueView::of_string("A"), {}, std::nullopt},
        TrickyCase{"TextWithTrailingNulIsAnotherText",
                   ValueView::of_string(std::string_view("a\0", 2)),
                   {},
                   std::nullopt},
        TrickyCase{"AbsentKeyVisitsOnlyUnindexedRules", std::nullopt, true, "flag-or-big"},
        TrickyCase{"AbsentKeyMatchesNoIndexedRule", std::nullopt, false, std::nullopt},
        TrickyCase{"EarlierIndexedRuleBeforeUnindexed", ValueView::of_string("a"), false,
                   "a-without-flag"},
        TrickyCase{"UnindexedRuleBetweenIndexedRules", ValueView::of_string("a"), true,
                   "flag-or-big"},
        TrickyCase{"LaterIndexedRuleAfterFailedOnes", ValueView::of_string("a"), {}, "a"},
        TrickyCase{"LastTextOfTheBucket", ValueView::of_string("e"), {}, "e"}),
    [](const auto& info) { return info.param.name; });

// Global rules r<i>: actor k equals the text v<i>, each value once.
Plan one_rule_per_value(int count) {
  CompiledPolicy policy;
  for (int i = 0; i < count; ++i) {
    policy.global_rules.push_back(
        rule("r" + std::to_string(i),
             atomic(Domain::Actor, "k", Operator::Equals, text("v" + std::to_string(i))),
             Effect::Block));
  }
  return Plan::build(std::move(policy));
}

TEST(RuleIndex, VisitsOnlyTheRulesTheValueCanMatch) {
  const Plan plan = one_rule_per_value(20);
  EvaluationInput input(plan.field_slots());
  input.set(Domain::Actor, "k", ValueView::of_string("v19"));
  CountingInput counting(input);
  EXPECT_EQ(evaluate_policy(plan, counting).matched_rule, "r19");
  EXPECT_EQ(counting.lookups, 3) << "the action type, the indexed field, rule r19";
}

TEST(RuleIndex, FewRulesAreScannedPlainly) {
  EXPECT_FALSE(one_rule_per_value(5).rule_index().global().active());
}

// Every operator against every literal and input value of interest, each
// pair through the laid-out checks and through the plain comparison. The
// literals are long enough not to live inside their std::string, and short.
TEST(RuleIndex, LaidOutChecksCompareAsThePlainScan) {
  const std::vector<RuntimeValue> values = {std::string("a"),
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
  const Operator ops[] = {Operator::Equals,   Operator::NotEquals, Operator::GreaterThan,
                          Operator::LessThan, Operator::In,        Operator::NotIn};
  std::size_t holding = 0;
  for (const Operator op : ops) {
    for (const auto& literal : values) {
      CompiledPolicy policy;
      policy.global_rules.push_back(
          rule("literal", atomic(Domain::Actor, "x", op, CompiledValue(literal)), Effect::Block));
      policy.global_rules.push_back(rule(
          "fields", atomic(Domain::Actor, "y", op, subject(Domain::Actor, "x")), Effect::Block));
      const Plan plan = Plan::build(std::move(policy));
      for (const auto& input_value : values) {
        for (const bool absent : {false, true}) {
          EvaluationInput input(plan.field_slots());
          input.set(Domain::Actor, "x", view_of(input_value));
          if (!absent) input.set(Domain::Actor, "y", view_of(literal));
          const CompiledRule* plain = find_first_match(plan.model().global_rules, input);
          const auto decided = evaluate_policy(plan, input).matched_rule;
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

// The index points into the plan's own rules, so a plan moves but never copies.
static_assert(!std::is_copy_constructible_v<Plan>);
static_assert(!std::is_copy_constructible_v<RuleIndex>);

TEST(RuleIndex, MovedPlanKeepsItsIndex) {
  Plan original = tricky_policy();
  const Plan moved = std::move(original);
  ASSERT_TRUE(moved.rule_index().global().active());
  EvaluationInput input(moved.field_slots());
  input.set(Domain::Actor, "k", ValueView::of_string("d"));
  EXPECT_EQ(evaluate_policy(moved, input).matched_rule, "d");
}

}  // namespace
}  // namespace kavro
