#include "evaluation/evaluator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "counting_input.h"
#include "policy_builders.h"

namespace kavro {
namespace {

using namespace kavro::testing;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// ---- the comparison table: operator x kinds of the two sides ----

struct ComparisonCase {
  std::string name;
  Operator op;
  RuntimeValue left;
  RuntimeValue right;
  bool expected;
};

class ComparisonTable : public ::testing::TestWithParam<ComparisonCase> {};

TEST_P(ComparisonTable, DecidesByKindAndOperator) {
  const auto& c = GetParam();
  CompiledPolicy policy;
  policy.global_rules.push_back(
      rule("r", atomic(Domain::Actor, "x", c.op, CompiledValue(c.right)), Effect::Block));
  const Plan plan = Plan::build(std::move(policy));
  EvaluationInput input(plan.field_slots());
  input.set(Domain::Actor, "x", view_of(c.left));
  const auto result = evaluate_policy(plan, input);
  EXPECT_EQ(result.matched_rule.has_value(), c.expected);
}

std::vector<ComparisonCase> comparison_cases() {
  using enum Operator;
  const RuntimeValue s_a = std::string("a"), s_b = std::string("b"), s_ab = std::string("ab");
  const RuntimeValue s_upper = std::string("A"), s_5 = std::string("5");
  return {
      {"StringEqualsSame", Equals, s_a, s_a, true},
      {"StringEqualsOther", Equals, s_a, s_b, false},
      {"StringEqualsIsCaseSensitive", Equals, s_a, s_upper, false},
      {"StringEqualsPrefixIsNotEqual", Equals, s_a, s_ab, false},
      {"StringNotEqualsOther", NotEquals, s_a, s_b, true},
      {"StringNotEqualsSame", NotEquals, s_a, s_a, false},
      {"StringGreaterThanIsFalse", GreaterThan, s_b, s_a, false},
      {"StringLessThanIsFalse", LessThan, s_a, s_b, false},
      {"StringInIsFalse", In, s_a, s_a, false},
      {"StringNotInIsFalse", NotIn, s_a, s_b, false},
      {"NumberEquals", Equals, 5.0, 5.0, true},
      {"NumberEqualsOther", Equals, 5.0, 6.0, false},
      {"NumberZeroEqualsNegativeZero", Equals, 0.0, -0.0, true},
      {"NumberNotEqualsZeroNegativeZero", NotEquals, 0.0, -0.0, false},
      {"NumberNaNNotEqualsNaN", Equals, kNaN, kNaN, false},
      {"NumberNaNNotEqualsOne", NotEquals, kNaN, 1.0, true},
      {"NumberGreaterThan", GreaterThan, 100.5, 100.0, true},
      {"NumberGreaterThanIsStrict", GreaterThan, 100.0, 100.0, false},
      {"NumberGreaterThanNaN", GreaterThan, kNaN, 1.0, false},
      {"NumberLessThan", LessThan, 1.0, 2.0, true},
      {"NumberLessThanIsStrict", LessThan, 2.0, 2.0, false},
      {"NumberLessThanNaN", LessThan, 1.0, kNaN, false},
      {"NumberInfinityGreaterThanMax", GreaterThan, std::numeric_limits<double>::infinity(),
       std::numeric_limits<double>::max(), true},
      {"NumberInIsFalse", In, 1.0, 1.0, false},
      {"NumberNotInIsFalse", NotIn, 1.0, 2.0, false},
      {"BooleanEquals", Equals, true, true, true},
      {"BooleanEqualsOther", Equals, true, false, false},
      {"BooleanNotEquals", NotEquals, false, true, true},
      {"BooleanNotEqualsSame", NotEquals, false, false, false},
      {"BooleanGreaterThanIsFalse", GreaterThan, true, false, false},
      {"BooleanLessThanIsFalse", LessThan, false, true, false},
      {"BooleanInIsFalse", In, true, true, false},
      {"TextFiveIsNotNumberFive", Equals, s_5, 5.0, false},
      {"NumberFiveIsNotTextFive", Equals, 5.0, s_5, false},
      {"TrueIsNotNumberOne", Equals, true, 1.0, false},
      {"NumberOneIsNotTrue", Equals, 1.0, true, false},
      {"KindMismatchNotEqualsIsFalse", NotEquals, s_a, 1.0, false},
      {"KindMismatchBooleanTextNotEquals", NotEquals, true, s_a, false},
      {"TextGreaterThanNumberIsFalse", GreaterThan, std::string("500"), 100.0, false},
  };
}

INSTANTIATE_TEST_SUITE_P(Evaluator, ComparisonTable, ::testing::ValuesIn(comparison_cases()),
                         [](const auto& info) { return info.param.name; });

// ---- buckets and rule order ----

class BucketOrder : public ::testing::Test {
 protected:
  // Global block rule first in the document, then an allow rule filed under refund.
  static CompiledPolicy make_policy() {
    CompiledPolicy policy;
    policy.global_rules.push_back(
        rule("global-block", atomic(Domain::Actor, "role", Operator::Equals, text("clerk")),
             Effect::Block));
    policy.action_rules["refund"].push_back(
        rule("refund-allow", atomic(Domain::Action, "amount", Operator::LessThan, number(100)),
             Effect::Allow));
    return policy;
  }

  EvaluationResult decide(ValueView type, double amount) {
    EvaluationInput input(plan.field_slots());
    input.set(Domain::Action, "type", type);
    input.set(Domain::Action, "amount", ValueView::of_number(amount));
    input.set(Domain::Actor, "role", ValueView::of_string("clerk"));
    return evaluate_policy(plan, input);
  }

  const Plan plan = Plan::build(make_policy());
};

TEST_F(BucketOrder, ActionRuleWinsOverEarlierGlobalRule) {
  const auto result = decide(ValueView::of_string("refund"), 10);
  EXPECT_EQ(result.effect, Effect::Allow);
  EXPECT_EQ(result.matched_rule, "refund-allow");
}

TEST_F(BucketOrder, GlobalRuleDecidesWhenActionRuleFails) {
  const auto result = decide(ValueView::of_string("refund"), 500);
  EXPECT_EQ(result.effect, Effect::Block);
  EXPECT_EQ(result.matched_rule, "global-block");
}

TEST_F(BucketOrder, OnlyGlobalRulesForTypesThatNameNoBucket) {
  for (ValueView type :
       {ValueView::of_string("Refund"), ValueView::of_string("transfer"), ValueView::of_string(""),
        ValueView::of_number(1), ValueView::of_boolean(true), ValueView{}}) {
    const auto result = decide(type, 10);
    EXPECT_EQ(result.matched_rule, "global-block");
  }
}

TEST(Evaluator, NumericTypeNeverSelectsBucketNamedByItsDigits) {
  CompiledPolicy policy;
  policy.action_rules["1"].push_back(
      rule("one", atomic(Domain::Actor, "a", Operator::Equals, boolean(true)), Effect::Block));
  const Plan plan = Plan::build(std::move(policy));
  EvaluationInput input(plan.field_slots());
  input.set(Domain::Action, "type", ValueView::of_number(1));
  input.set(Domain::Actor, "a", ValueView::of_boolean(true));
  EXPECT_FALSE(evaluate_policy(plan, input).matched_rule);
  input.set(Domain::Action, "type", ValueView::of_string("1"));
  EXPECT_EQ(evaluate_policy(plan, input).matched_rule, "one");
}

TEST(Evaluator, FirstMatchWinsWhateverTheEffect) {
  CompiledPolicy policy;
  policy.global_rules.push_back(rule("approve",
                                     atomic(Domain::Actor, "a", Operator::Equals, boolean(true)),
                                     Effect::RequireApproval));
  policy.global_rules.push_back(
      rule("block", atomic(Domain::Actor, "a", Operator::Equals, boolean(true)), Effect::Block));
  const Plan plan = Plan::build(std::move(policy));
  EvaluationInput input(plan.field_slots());
  input.set(Domain::Actor, "a", ValueView::of_boolean(true));
  const auto result = evaluate_policy(plan, input);
  EXPECT_EQ(result.effect, Effect::RequireApproval);
  EXPECT_EQ(result.matched_rule, "approve");
}

TEST(Evaluator, DuplicateRuleIdsEarlierDecides) {
  CompiledPolicy policy;
  policy.global_rules.push_back(
      rule("same", atomic(Domain::Actor, "a", Operator::Equals, boolean(true)), Effect::Block));
  policy.global_rules.push_back(
      rule("same", atomic(Domain::Actor, "a", Operator::Equals, boolean(true)), Effect::Allow));
  const Plan plan = Plan::build(std::move(policy));
  EvaluationInput input(plan.field_slots());
  input.set(Domain::Actor, "a", ValueView::of_boolean(true));
  EXPECT_EQ(evaluate_policy(plan, input).effect, Effect::Block);
}

TEST(Evaluator, EmptyPolicyAndEmptyInputAllow) {
  CompiledPolicy empty;
  const Plan empty_plan = Plan::build(std::move(empty));
  EvaluationInput nothing(empty_plan.field_slots());
  auto result = evaluate_policy(empty_plan, nothing);
  EXPECT_EQ(result.effect, Effect::Allow);
  EXPECT_FALSE(result.matched_rule);

  CompiledPolicy policy;
  policy.global_rules.push_back(
      rule("ne", atomic(Domain::Actor, "a", Operator::NotEquals, number(1)), Effect::Block));
  const Plan plan = Plan::build(std::move(policy));
  EvaluationInput empty_input(plan.field_slots());
  result = evaluate_policy(plan, empty_input);
  EXPECT_EQ(result.effect, Effect::Allow);
  EXPECT_FALSE(result.matched_rule) << "a missing field never satisfies NotEquals";
}

TEST(Evaluator, FieldNamesAreCaseSensitive) {
  CompiledPolicy policy;
  policy.global_rules.push_back(
      rule("r", atomic(Domain::Actor, "role", Operator::Equals, text("x")), Effect::Block));
  const Plan plan = Plan::build(std::move(policy));
  EvaluationInput input(plan.field_slots());
  input.set(Domain::Actor, "Role", ValueView::of_string("x"));
  input.set(Domain::Snapshot, "role", ValueView::of_string("x"));
  EXPECT_FALSE(evaluate_policy(plan, input).matched_rule);
  input.set(Domain::Actor, "role", ValueView::of_string("x"));
  EXPECT_EQ(evaluate_policy(plan, input).matched_rule, "r");
}

TEST(Evaluator, LaterValueForSameFieldReplacesEarlier) {
  CompiledPolicy policy;
  policy.global_rules.push_back(
      rule("r", atomic(Domain::Actor, "n", Operator::Equals, number(2)), Effect::Block));
  const Plan plan = Plan::build(std::move(policy));
  EvaluationInput input(plan.field_slots());
  input.set(Domain::Actor, "n", ValueView::of_number(1));
  input.set(Domain::Actor, "n", ValueView::of_number(2));
  EXPECT_EQ(evaluate_policy(plan, input).matched_rule, "r");
}

TEST(Evaluator, RightHandSubjectReadsAnotherDomain) {
  CompiledPolicy policy;
  policy.global_rules.push_back(rule("r",
                                     atomic(Domain::Actor, "limit", Operator::GreaterThan,
                                            CompiledValue(subject(Domain::Snapshot, "used"))),
                                     Effect::Allow));
  const Plan plan = Plan::build(std::move(policy));
  EvaluationInput input(plan.field_slots());
  input.set(Domain::Actor, "limit", ValueView::of_number(10));
  EXPECT_FALSE(evaluate_policy(plan, input).matched_rule) << "missing right side";
  input.set(Domain::Snapshot, "used", ValueView::of_number(3));
  EXPECT_EQ(evaluate_policy(plan, input).matched_rule, "r");
  input.set(Domain::Snapshot, "used", ValueView::of_number(30));
  EXPECT_FALSE(evaluate_policy(plan, input).matched_rule);
}

TEST(Evaluator, ActorScopedRulesNeverDecide) {
  CompiledPolicy policy;
  policy.actor_rules["admin"].push_back(
      rule("actor", atomic(Domain::Actor, "a", Operator::Equals, boolean(true)), Effect::Block));
  const Plan plan = Plan::build(std::move(policy));
  EvaluationInput input(plan.field_slots());
  input.set(Domain::Action, "type", ValueView::of_string("admin"));
  input.set(Domain::Actor, "a", ValueView::of_boolean(true));
  EXPECT_FALSE(evaluate_policy(plan, input).matched_rule);
}

// The result names the deciding rule by viewing its id in the policy: the
// binding turns it into a str without an intermediate copy.
TEST(Evaluator, ResultViewsTheDecidingRulesId) {
  CompiledPolicy policy;
  policy.global_rules.push_back(rule("a-rather-long-rule-id-that-needs-heap",
                                     atomic(Domain::Actor, "a", Operator::Equals, boolean(true)),
                                     Effect::Block));
  const Plan plan = Plan::build(std::move(policy));
  EvaluationInput input(plan.field_slots());
  input.set(Domain::Actor, "a", ValueView::of_boolean(true));
  const EvaluationResult result = evaluate_policy(plan, input);
  ASSERT_EQ(result.matched_rule, "a-rather-long-rule-id-that-needs-heap");
  EXPECT_EQ(result.matched_rule->data(), plan.model().global_rules[0].rule_id.data());
}

TEST(Evaluator, ManyFieldsSpillToHeapSlots) {
  CompiledPolicy policy;
  AllOf all;
  for (int i = 0; i < 100; ++i) {
    all.members.push_back(
        atomic(Domain::Snapshot, "f" + std::to_string(i), Operator::Equals, number(i)));
  }
  policy.global_rules.push_back(rule("wide", all, Effect::Block));
  const Plan plan = Plan::build(std::move(policy));
  EvaluationInput input(plan.field_slots());
  for (int i = 0; i < 100; ++i) {
    input.set(Domain::Snapshot, "f" + std::to_string(i), ValueView::of_number(i));
  }
  EXPECT_EQ(evaluate_policy(plan, input).matched_rule, "wide");
}

// ---- short-circuit, observed through a lookup counter ----

struct ShortCircuitCase {
  std::string name;
  bool use_all;
  std::vector<bool> member_truths;
  bool expected;
  int expected_lookups;
};

class ShortCircuit : public ::testing::TestWithParam<ShortCircuitCase> {};

TEST_P(ShortCircuit, StopsAtTheDecidingMember) {
  const auto& c = GetParam();
  std::vector<AtomicCondition> members;
  for (std::size_t i = 0; i < c.member_truths.size(); ++i) {
    members.push_back(atomic(Domain::Actor, "flag", Operator::Equals, boolean(c.member_truths[i])));
  }
  CompiledCondition condition =
      c.use_all ? CompiledCondition(AllOf{members}) : CompiledCondition(AnyOf{members});
  CompiledPolicy policy;
  policy.global_rules.push_back(rule("r", condition, Effect::Block));
  const Plan plan = Plan::build(std::move(policy));
  EvaluationInput input(plan.field_slots());
  input.set(Domain::Actor, "flag", ValueView::of_boolean(true));
  CountingInput counting(input);
  EXPECT_EQ(condition_holds(plan.model().global_rules[0].condition, counting), c.expected);
  EXPECT_EQ(counting.lookups, c.expected_lookups);
}

INSTANTIATE_TEST_SUITE_P(
    Evaluator, ShortCircuit,
    ::testing::Values(ShortCircuitCase{"AllStopsAtFirstFalse", true, {false, true, true}, false, 1},
                      ShortCircuitCase{"AllReadsEveryMemberWhenTrue", true, {true, true}, true, 2},
                      ShortCircuitCase{"AnyStopsAtFirstTrue", false, {true, false, false}, true, 1},
                      ShortCircuitCase{
                          "AnyReadsEveryMemberWhenFalse", false, {false, false}, false, 2},
                      ShortCircuitCase{"EmptyAllIsTrue", true, {}, true, 0},
                      ShortCircuitCase{"EmptyAnyIsFalse", false, {}, false, 0}),
    [](const auto& info) { return info.param.name; });

TEST(Evaluator, LaterRulesAreNotEvaluatedAfterAMatch) {
  CompiledPolicy policy;
  for (int i = 0; i < 3; ++i) {
    policy.global_rules.push_back(rule("r" + std::to_string(i),
                                       atomic(Domain::Actor, "a", Operator::Equals, boolean(true)),
                                       Effect::Block));
  }
  const Plan plan = Plan::build(std::move(policy));
  EvaluationInput input(plan.field_slots());
  input.set(Domain::Actor, "a", ValueView::of_boolean(true));
  CountingInput counting(input);
  EXPECT_EQ(evaluate_policy(plan, counting).matched_rule, "r0");
  EXPECT_EQ(counting.lookups, 2) << "one read of the action type, one of the first rule";
}

}  // namespace
}  // namespace kavro
