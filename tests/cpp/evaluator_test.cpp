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
  documents::Operator op;
  compiler::RuntimeValue left;
  compiler::RuntimeValue right;
  bool expected;
};

class ComparisonTable : public ::testing::TestWithParam<ComparisonCase> {};

TEST_P(ComparisonTable, DecidesByKindAndOperator) {
  const auto& c = GetParam();
  compiler::CompiledPolicy policy;
  policy.global_rules.push_back(
      rule("r", atomic(documents::Domain::Actor, "x", c.op, compiler::CompiledValue(c.right)),
           documents::Effect::Block));
  const evaluation::Plan plan = evaluation::Plan::build(std::move(policy));
  evaluation::EvaluationInput input(plan.field_slots());
  input.set(documents::Domain::Actor, "x", evaluation::view_of(c.left));
  const auto result = evaluation::evaluate_policy(plan, input);
  EXPECT_EQ(result.matched_rule.has_value(), c.expected);
}

std::vector<ComparisonCase> comparison_cases() {
  using enum documents::Operator;
  const compiler::RuntimeValue s_a = std::string("a"), s_b = std::string("b"),
                               s_ab = std::string("ab");
  const compiler::RuntimeValue s_upper = std::string("A"), s_5 = std::string("5");
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
  static compiler::CompiledPolicy make_policy() {
    compiler::CompiledPolicy policy;
    policy.global_rules.push_back(
        rule("global-block",
             atomic(documents::Domain::Actor, "role", documents::Operator::Equals, text("clerk")),
             documents::Effect::Block));
    policy.action_rules["refund"].push_back(rule(
        "refund-allow",
        atomic(documents::Domain::Action, "amount", documents::Operator::LessThan, number(100)),
        documents::Effect::Allow));
    return policy;
  }

  evaluation::EvaluationResult decide(evaluation::ValueView type, double amount) {
    evaluation::EvaluationInput input(plan.field_slots());
    input.set(documents::Domain::Action, "type", type);
    input.set(documents::Domain::Action, "amount", evaluation::ValueView::of_number(amount));
    input.set(documents::Domain::Actor, "role", evaluation::ValueView::of_string("clerk"));
    return evaluate_policy(plan, input);
  }

  const evaluation::Plan plan = evaluation::Plan::build(make_policy());
};

TEST_F(BucketOrder, ActionRuleWinsOverEarlierGlobalRule) {
  const auto result = decide(evaluation::ValueView::of_string("refund"), 10);
  EXPECT_EQ(result.effect, documents::Effect::Allow);
  EXPECT_EQ(result.matched_rule, "refund-allow");
}

TEST_F(BucketOrder, GlobalRuleDecidesWhenActionRuleFails) {
  const auto result = decide(evaluation::ValueView::of_string("refund"), 500);
  EXPECT_EQ(result.effect, documents::Effect::Block);
  EXPECT_EQ(result.matched_rule, "global-block");
}

TEST_F(BucketOrder, OnlyGlobalRulesForTypesThatNameNoBucket) {
  for (evaluation::ValueView type :
       {evaluation::ValueView::of_string("Refund"), evaluation::ValueView::of_string("transfer"),
        evaluation::ValueView::of_string(""), evaluation::ValueView::of_number(1),
        evaluation::ValueView::of_boolean(true), evaluation::ValueView{}}) {
    const auto result = decide(type, 10);
    EXPECT_EQ(result.matched_rule, "global-block");
  }
}

TEST(Evaluator, NumericTypeNeverSelectsBucketNamedByItsDigits) {
  compiler::CompiledPolicy policy;
  policy.action_rules["1"].push_back(
      rule("one", atomic(documents::Domain::Actor, "a", documents::Operator::Equals, boolean(true)),
           documents::Effect::Block));
  const evaluation::Plan plan = evaluation::Plan::build(std::move(policy));
  evaluation::EvaluationInput input(plan.field_slots());
  input.set(documents::Domain::Action, "type", evaluation::ValueView::of_number(1));
  input.set(documents::Domain::Actor, "a", evaluation::ValueView::of_boolean(true));
  EXPECT_FALSE(evaluation::evaluate_policy(plan, input).matched_rule);
  input.set(documents::Domain::Action, "type", evaluation::ValueView::of_string("1"));
  EXPECT_EQ(evaluation::evaluate_policy(plan, input).matched_rule, "one");
}

TEST(Evaluator, FirstMatchWinsWhateverTheEffect) {
  compiler::CompiledPolicy policy;
  policy.global_rules.push_back(rule(
      "approve", atomic(documents::Domain::Actor, "a", documents::Operator::Equals, boolean(true)),
      documents::Effect::RequireApproval));
  policy.global_rules.push_back(rule(
      "block", atomic(documents::Domain::Actor, "a", documents::Operator::Equals, boolean(true)),
      documents::Effect::Block));
  const evaluation::Plan plan = evaluation::Plan::build(std::move(policy));
  evaluation::EvaluationInput input(plan.field_slots());
  input.set(documents::Domain::Actor, "a", evaluation::ValueView::of_boolean(true));
  const auto result = evaluation::evaluate_policy(plan, input);
  EXPECT_EQ(result.effect, documents::Effect::RequireApproval);
  EXPECT_EQ(result.matched_rule, "approve");
}

TEST(Evaluator, DuplicateRuleIdsEarlierDecides) {
  compiler::CompiledPolicy policy;
  policy.global_rules.push_back(rule(
      "same", atomic(documents::Domain::Actor, "a", documents::Operator::Equals, boolean(true)),
      documents::Effect::Block));
  policy.global_rules.push_back(rule(
      "same", atomic(documents::Domain::Actor, "a", documents::Operator::Equals, boolean(true)),
      documents::Effect::Allow));
  const evaluation::Plan plan = evaluation::Plan::build(std::move(policy));
  evaluation::EvaluationInput input(plan.field_slots());
  input.set(documents::Domain::Actor, "a", evaluation::ValueView::of_boolean(true));
  EXPECT_EQ(evaluation::evaluate_policy(plan, input).effect, documents::Effect::Block);
}

TEST(Evaluator, EmptyPolicyAndEmptyInputAllow) {
  compiler::CompiledPolicy empty;
  const evaluation::Plan empty_plan = evaluation::Plan::build(std::move(empty));
  evaluation::EvaluationInput nothing(empty_plan.field_slots());
  auto result = evaluation::evaluate_policy(empty_plan, nothing);
  EXPECT_EQ(result.effect, documents::Effect::Allow);
  EXPECT_FALSE(result.matched_rule);

  compiler::CompiledPolicy policy;
  policy.global_rules.push_back(
      rule("ne", atomic(documents::Domain::Actor, "a", documents::Operator::NotEquals, number(1)),
           documents::Effect::Block));
  const evaluation::Plan plan = evaluation::Plan::build(std::move(policy));
  evaluation::EvaluationInput empty_input(plan.field_slots());
  result = evaluate_policy(plan, empty_input);
  EXPECT_EQ(result.effect, documents::Effect::Allow);
  EXPECT_FALSE(result.matched_rule) << "a missing field never satisfies NotEquals";
}

TEST(Evaluator, FieldNamesAreCaseSensitive) {
  compiler::CompiledPolicy policy;
  policy.global_rules.push_back(
      rule("r", atomic(documents::Domain::Actor, "role", documents::Operator::Equals, text("x")),
           documents::Effect::Block));
  const evaluation::Plan plan = evaluation::Plan::build(std::move(policy));
  evaluation::EvaluationInput input(plan.field_slots());
  input.set(documents::Domain::Actor, "Role", evaluation::ValueView::of_string("x"));
  input.set(documents::Domain::Snapshot, "role", evaluation::ValueView::of_string("x"));
  EXPECT_FALSE(evaluation::evaluate_policy(plan, input).matched_rule);
  input.set(documents::Domain::Actor, "role", evaluation::ValueView::of_string("x"));
  EXPECT_EQ(evaluation::evaluate_policy(plan, input).matched_rule, "r");
}

TEST(Evaluator, LaterValueForSameFieldReplacesEarlier) {
  compiler::CompiledPolicy policy;
  policy.global_rules.push_back(
      rule("r", atomic(documents::Domain::Actor, "n", documents::Operator::Equals, number(2)),
           documents::Effect::Block));
  const evaluation::Plan plan = evaluation::Plan::build(std::move(policy));
  evaluation::EvaluationInput input(plan.field_slots());
  input.set(documents::Domain::Actor, "n", evaluation::ValueView::of_number(1));
  input.set(documents::Domain::Actor, "n", evaluation::ValueView::of_number(2));
  EXPECT_EQ(evaluation::evaluate_policy(plan, input).matched_rule, "r");
}

TEST(Evaluator, RightHandSubjectReadsAnotherDomain) {
  compiler::CompiledPolicy policy;
  policy.global_rules.push_back(
      rule("r",
           atomic(documents::Domain::Actor, "limit", documents::Operator::GreaterThan,
                  compiler::CompiledValue(subject(documents::Domain::Snapshot, "used"))),
           documents::Effect::Allow));
  const evaluation::Plan plan = evaluation::Plan::build(std::move(policy));
  evaluation::EvaluationInput input(plan.field_slots());
  input.set(documents::Domain::Actor, "limit", evaluation::ValueView::of_number(10));
  EXPECT_FALSE(evaluation::evaluate_policy(plan, input).matched_rule) << "missing right side";
  input.set(documents::Domain::Snapshot, "used", evaluation::ValueView::of_number(3));
  EXPECT_EQ(evaluation::evaluate_policy(plan, input).matched_rule, "r");
  input.set(documents::Domain::Snapshot, "used", evaluation::ValueView::of_number(30));
  EXPECT_FALSE(evaluation::evaluate_policy(plan, input).matched_rule);
}

TEST(Evaluator, ActorScopedRulesNeverDecide) {
  compiler::CompiledPolicy policy;
  policy.actor_rules["admin"].push_back(rule(
      "actor", atomic(documents::Domain::Actor, "a", documents::Operator::Equals, boolean(true)),
      documents::Effect::Block));
  const evaluation::Plan plan = evaluation::Plan::build(std::move(policy));
  evaluation::EvaluationInput input(plan.field_slots());
  input.set(documents::Domain::Action, "type", evaluation::ValueView::of_string("admin"));
  input.set(documents::Domain::Actor, "a", evaluation::ValueView::of_boolean(true));
  EXPECT_FALSE(evaluation::evaluate_policy(plan, input).matched_rule);
}

// The result names the deciding rule by viewing its id in the policy: the
// binding turns it into a str without an intermediate copy.
TEST(Evaluator, ResultViewsTheDecidingRulesId) {
  compiler::CompiledPolicy policy;
  policy.global_rules.push_back(
      rule("a-rather-long-rule-id-that-needs-heap",
           atomic(documents::Domain::Actor, "a", documents::Operator::Equals, boolean(true)),
           documents::Effect::Block));
  const evaluation::Plan plan = evaluation::Plan::build(std::move(policy));
  evaluation::EvaluationInput input(plan.field_slots());
  input.set(documents::Domain::Actor, "a", evaluation::ValueView::of_boolean(true));
  const evaluation::EvaluationResult result = evaluate_policy(plan, input);
  ASSERT_EQ(result.matched_rule, "a-rather-long-rule-id-that-needs-heap");
  EXPECT_EQ(result.matched_rule->data(), plan.model().global_rules[0].rule_id.data());
}

TEST(Evaluator, ManyFieldsSpillToHeapSlots) {
  compiler::CompiledPolicy policy;
  compiler::AllOf all;
  for (int i = 0; i < 100; ++i) {
    all.members.push_back(atomic(documents::Domain::Snapshot, "f" + std::to_string(i),
                                 documents::Operator::Equals, number(i)));
  }
  policy.global_rules.push_back(rule("wide", all, documents::Effect::Block));
  const evaluation::Plan plan = evaluation::Plan::build(std::move(policy));
  evaluation::EvaluationInput input(plan.field_slots());
  for (int i = 0; i < 100; ++i) {
    input.set(documents::Domain::Snapshot, "f" + std::to_string(i),
              evaluation::ValueView::of_number(i));
  }
  EXPECT_EQ(evaluation::evaluate_policy(plan, input).matched_rule, "wide");
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
  std::vector<compiler::AtomicCondition> members;
  for (std::size_t i = 0; i < c.member_truths.size(); ++i) {
    members.push_back(atomic(documents::Domain::Actor, "flag", documents::Operator::Equals,
                             boolean(c.member_truths[i])));
  }
  compiler::CompiledCondition condition =
      c.use_all ? compiler::CompiledCondition(compiler::AllOf{members})
                : compiler::CompiledCondition(compiler::AnyOf{members});
  compiler::CompiledPolicy policy;
  policy.global_rules.push_back(rule("r", condition, documents::Effect::Block));
  const evaluation::Plan plan = evaluation::Plan::build(std::move(policy));
  evaluation::EvaluationInput input(plan.field_slots());
  input.set(documents::Domain::Actor, "flag", evaluation::ValueView::of_boolean(true));
  CountingInput counting(input);
  EXPECT_EQ(evaluation::condition_holds(plan.model().global_rules[0].condition, counting),
            c.expected);
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
  compiler::CompiledPolicy policy;
  for (int i = 0; i < 3; ++i) {
    policy.global_rules.push_back(
        rule("r" + std::to_string(i),
             atomic(documents::Domain::Actor, "a", documents::Operator::Equals, boolean(true)),
             documents::Effect::Block));
  }
  const evaluation::Plan plan = evaluation::Plan::build(std::move(policy));
  evaluation::EvaluationInput input(plan.field_slots());
  input.set(documents::Domain::Actor, "a", evaluation::ValueView::of_boolean(true));
  CountingInput counting(input);
  EXPECT_EQ(evaluation::evaluate_policy(plan, counting).matched_rule, "r0");
  EXPECT_EQ(counting.lookups, 2) << "one read of the action type, one of the first rule";
}

}  // namespace
}  // namespace kavro
