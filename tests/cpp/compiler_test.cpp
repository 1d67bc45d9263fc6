#include "compiler/compiler.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "document_builders.h"
#include "evaluation/plan.h"

namespace kavro {
namespace {

using namespace kavro::testing;

// ---- faults found by compiling, including which of several faults wins ----

struct FailureCase {
  std::string name;
  std::vector<RuleAst> rules;
  std::string expected;
  SchemaAst schema = standard_schema();
};

void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}

class CompileFailureTable : public ::testing::TestWithParam<FailureCase> {};

TEST_P(CompileFailureTable, ReportsTheFirstFault) {
  const auto& c = GetParam();
  const auto result = compile_policy(build_schema_index(c.schema), policy_of(c.rules));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().render(), c.expected);
}

AtomicConditionAst amount_over(double limit) {
  return condition("action", "amount", "greater_than", literal_number(limit));
}
AtomicConditionAst role_is(std::string role) {
  return condition("actor", "role", "equals", literal_text(std::move(role)));
}

std::vector<FailureCase> failure_cases() {
  SchemaAst no_actor_fields = standard_schema();
  no_actor_fields.actor.fields.clear();
  const auto bad_operator = condition("actor", "role", "eq", literal_text("x"));
  return {
      // Scope.
      {"UnknownAction",
       {rule_ast("r", action_scope("wire"), amount_over(1))},
       "unknown action 'wire' in scope"},
      {"ActionNameIsCaseSensitive",
       {rule_ast("r", action_scope("Transfer"), amount_over(1))},
       "unknown action 'Transfer' in scope"},
      {"UnknownActionBeforeFaultyCondition",
       {rule_ast("r", action_scope("wire"), bad_operator)},
       "unknown action 'wire' in scope"},
      {"GlobalFalse",
       {rule_ast("r", global_scope(false), role_is("x"))},
       "invalid scope configuration"},
      {"GlobalFalseBeforeFaultyCondition",
       {rule_ast("r", global_scope(false), bad_operator)},
       "invalid scope configuration"},
      // Lists.
      {"AllWithOneMember",
       {rule_ast("r", global_scope(), all_of({role_is("x")}))},
       "invalid logical condition: must contain at least two conditions"},
      {"AnyEmpty",
       {rule_ast("r", global_scope(), any_of({}))},
       "invalid logical condition: must contain at least two conditions"},
      {"ShortListBeforeItsFaultyMember",
       {rule_ast("r", global_scope(), any_of({bad_operator}))},
       "invalid logical condition: must contain at least two conditions"},
      {"FirstFaultyMemberWins",
       {rule_ast("r", global_scope(),
                 all_of({role_is("x"), condition("snapshot", "nope", "equals", literal_bool(true)),
                         bad_operator}))},
       "unknown field 'nope' in domain 'snapshot'"},
      // Subjects.
      {"DomainIsCaseSensitive",
       {rule_ast("r", action_scope("transfer"),
                 condition("Action", "amount", "equals", literal_number(1)))},
       "unknown domain 'Action'"},
      {"EmptyDomain",
       {rule_ast("r", global_scope(), condition("", "role", "equals", literal_text("x")))},
       "unknown domain ''"},
      {"ActionFieldInGlobalRule",
       {rule_ast("r", global_scope(), amount_over(1))},
       "unknown field 'amount' in domain 'action'"},
      {"ActionFieldInActorRule",
       {rule_ast("r", actor_scope("ops"), amount_over(1))},
       "unknown field 'amount' in domain 'action'"},
      {"FieldOfAnotherAction",
       {rule_ast("r", action_scope("refund"),
                 condition("action", "currency", "equals", literal_text("EUR")))},
       "unknown field 'currency' in domain 'action'"},
      {"ActionWithoutFields",
       {rule_ast("r", action_scope("delete"), amount_over(1))},
       "unknown field 'amount' in domain 'action'"},
      {"UnknownSnapshotField",
       {rule_ast("r", global_scope(), condition("snapshot", "mode", "equals", literal_text("x")))},
       "unknown field 'mode' in domain 'snapshot'"},
      {"EmptyActorTable",
       {rule_ast("r", actor_scope("ops"), role_is("x"))},
       "unknown field 'role' in domain 'actor'",
       no_actor_fields},
      // Operators.
      {"OperatorEq", {rule_ast("r", global_scope(), bad_operator)}, "unknown operator 'eq'"},
      {"OperatorSymbol",
       {rule_ast("r", global_scope(), condition("actor", "level", ">", literal_number(1)))},
       "unknown operator '>'"},
      {"OperatorVariantName",
       {rule_ast("r", global_scope(), condition("actor", "role", "Equals", literal_text("x")))},
       "unknown operator 'Equals'"},
      {"ArgumentIsNotEscaped",
       {rule_ast("r", global_scope(),
                 condition("actor", "role", "it's \"eq\"", literal_text("x")))},
       "unknown operator 'it's \"eq\"'"},
      {"OperatorEmpty",
       {rule_ast("r", global_scope(), condition("actor", "role", "", literal_text("x")))},
       "unknown operator ''"},
      // Types.
      {"NumberAgainstString",
       {rule_ast("r", global_scope(), condition("actor", "level", "equals", literal_text("5")))},
       "type mismatch: left is 'Number', right is 'String'"},
      {"StringAgainstBoolean",
       {rule_ast("r", actor_scope("ops"),
                 condition("actor", "role", "equals", literal_bool(true)))},
       "type mismatch: left is 'String', right is 'Boolean'"},
      {"BooleanAgainstNumberField",
       {rule_ast("r", global_scope(),
                 condition("snapshot", "locked", "equals", field_ref("actor", "level")))},
       "type mismatch: left is 'Boolean', right is 'Number'"},
      {"StringGreaterThan",
       {rule_ast("r", global_scope(),
                 condition("actor", "role", "greater_than", literal_text("a")))},
       "operator 'GreaterThan' not supported for type 'string'"},
      {"BooleanLessThan",
       {rule_ast("r", global_scope(),
                 condition("snapshot", "locked", "less_than", literal_bool(false)))},
       "operator 'LessThan' not supported for type 'boolean'"},
      {"InOnNumber",
       {rule_ast("r", global_scope(), condition("actor", "level", "in", literal_number(1)))},
       "operator 'In' not supported for type 'number'"},
      {"NotInOnString",
       {rule_ast("r", global_scope(), condition("actor", "role", "not_in", literal_text("x")))},
       "operator 'NotIn' not supported for type 'string'"},
      // Order of the steps within one condition.
      {"LeftDomainBeforeOperator",
       {rule_ast("r", global_scope(), condition("user", "role", "eq", literal_text("x")))},
       "unknown domain 'user'"},
      {"LeftFieldBeforeOperator",
       {rule_ast("r", global_scope(), condition("actor", "rank", "eq", literal_text("x")))},
       "unknown field 'rank' in domain 'actor'"},
      {"LeftActionFieldBeforeOperator",
       {rule_ast("r", global_scope(), condition("action", "amount", "eq", literal_text("x")))},
       "unknown field 'amount' in domain 'action'"},
      {"OperatorBeforeRightField",
       {rule_ast("r", global_scope(), condition("actor", "role", "eq", field_ref("actor", "x")))},
       "unknown operator 'eq'"},
      {"OperatorBeforeTypeMismatch",
       {rule_ast("r", global_scope(), condition("actor", "role", "eq", literal_number(1)))},
       "unknown operator 'eq'"},
      {"RightDomainBeforeTypeMismatch",
       {rule_ast("r", global_scope(),
                 condition("actor", "role", "greater_than", field_ref("Snapshot", "role")))},
       "unknown domain 'Snapshot'"},
      {"RightActionFieldInGlobalRule",
       {rule_ast("r", global_scope(),
                 condition("actor", "id", "equals", field_ref("action", "owner")))},
       "unknown field 'owner' in domain 'action'"},
      {"TypeMismatchBeforeUnsupportedOperator",
       {rule_ast("r", global_scope(),
                 condition("actor", "role", "greater_than", literal_number(1)))},
       "type mismatch: left is 'String', right is 'Number'"},
      // Order across rules.
      {"SecondRuleFaulty",
       {rule_ast("ok", global_scope(), role_is("x")),
        rule_ast("bad", global_scope(false), role_is("x"))},
       "invalid scope configuration"},
      {"FirstFaultyRuleWins",
       {rule_ast("a", global_scope(), bad_operator),
        rule_ast("b", action_scope("wire"), role_is("x"))},
       "unknown operator 'eq'"},
  };
}

INSTANTIATE_TEST_SUITE_P(Compiler, CompileFailureTable, ::testing::ValuesIn(failure_cases()),
                         [](const auto& info) { return info.param.name; });

// ---- valid policies ----

struct SuccessCase {
  std::string name;
  RuleAst rule;
};

void PrintTo(const SuccessCase& c, std::ostream* os) {
  *os << c.name;
}

class CompileSuccessTable : public ::testing::TestWithParam<SuccessCase> {};

TEST_P(CompileSuccessTable, Compiles) {
  const auto result =
      compile_policy(build_schema_index(standard_schema()), policy_of({GetParam().rule}));
  ASSERT_TRUE(result.ok()) << result.error().render();
}

INSTANTIATE_TEST_SUITE_P(
    Compiler, CompileSuccessTable,
    ::testing::Values(
        SuccessCase{"ActorScopeWithAnyName",
                    rule_ast("r", actor_scope("anyone at all"), role_is("x"))},
        SuccessCase{"BooleanFieldsNotEquals", rule_ast("r", global_scope(),
                                                       condition("actor", "verified", "not_equals",
                                                                 field_ref("snapshot", "locked")))},
        SuccessCase{"NumberOrdering", rule_ast("r", action_scope("refund"),
                                               condition("action", "amount", "less_than",
                                                         field_ref("snapshot", "limit")))},
        SuccessCase{"ActionWithoutFieldsReadsActorAndSnapshot",
                    rule_ast("r", action_scope("delete"),
                             all_of({role_is("x"), condition("snapshot", "locked", "equals",
                                                             literal_bool(true))}))},
        SuccessCase{"TwoMemberAny",
                    rule_ast("r", action_scope("transfer"),
                             any_of({amount_over(5), condition("action", "urgent", "equals",
                                                               literal_bool(true))}))}),
    [](const auto& info) { return info.param.name; });

TEST(Compiler, EmptyPolicyCompilesToEmptyBuckets) {
  const auto result = compile_policy(build_schema_index(standard_schema()), policy_of({}));
  ASSERT_TRUE(result.ok());
  EXPECT_TRUE(result->action_rules.empty());
  EXPECT_TRUE(result->actor_rules.empty());
  EXPECT_TRUE(result->global_rules.empty());
}

TEST(Compiler, FilesRulesByScopeInDocumentOrder) {
  const auto result = compile_policy(build_schema_index(standard_schema()),
                                     policy_of({
                                         rule_ast("t1", action_scope("transfer"), amount_over(1)),
                                         rule_ast("g1", global_scope(), role_is("a")),
                                         rule_ast("o1", actor_scope("ops"), role_is("b")),
                                         rule_ast("t2", action_scope("transfer"), amount_over(2)),
                                         rule_ast("r1", action_scope("refund"), amount_over(3)),
                                         rule_ast("g2", global_scope(), role_is("c")),
                                         rule_ast("t1", action_scope("transfer"), amount_over(4)),
                                         rule_ast("o2", actor_scope("ops"), role_is("d")),
                                     }));
  ASSERT_TRUE(result.ok()) << result.error().render();
  EXPECT_EQ(bucket_summary(*result),
            "action refund: r1 | action transfer: t1 t2 t1 | actor ops: o1 o2 | global: g1 g2");
  // The duplicate id is a rule of its own, not a replacement of the first.
  const auto& transfer = result->action_rules.at("transfer");
  EXPECT_EQ(std::get<double>(
                std::get<RuntimeValue>(std::get<AtomicCondition>(transfer[2].condition).rhs)),
            4.0);
}

TEST(Compiler, KeepsTheConditionEffectAndSidesOfARule) {
  const auto result = compile_policy(
      build_schema_index(standard_schema()),
      policy_of(
          {rule_ast(
               "r", action_scope("transfer"),
               any_of({condition("action", "owner", "not_equals", field_ref("actor", "id")),
                       condition("snapshot", "limit", "less_than", field_ref("action", "amount"))}),
               Effect::RequireApproval),
           rule_ast("g", global_scope(),
                    all_of({role_is("m"),
                            condition("actor", "verified", "equals", literal_bool(false))}),
                    Effect::Allow)}));
  ASSERT_TRUE(result.ok()) << result.error().render();

  const CompiledRule& rule = result->action_rules.at("transfer").at(0);
  EXPECT_EQ(rule.effect, Effect::RequireApproval);
  const auto& any = std::get<AnyOf>(rule.condition).members;
  ASSERT_EQ(any.size(), 2u);
  EXPECT_EQ(any[0].lhs.domain, Domain::Action);
  EXPECT_EQ(any[0].lhs.field, "owner");
  EXPECT_EQ(any[0].op, Operator::NotEquals);
  const auto& right = std::get<SubjectRef>(any[0].rhs);
  EXPECT_EQ(right.domain, Domain::Actor);
  EXPECT_EQ(right.field, "id");
  EXPECT_EQ(any[1].lhs.domain, Domain::Snapshot);
  EXPECT_EQ(any[1].op, Operator::LessThan);
  EXPECT_EQ(std::get<SubjectRef>(any[1].rhs).domain, Domain::Action);

  const CompiledRule& global = result->global_rules.at(0);
  EXPECT_EQ(global.effect, Effect::Allow);
  const auto& all = std::get<AllOf>(global.condition).members;
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(std::get<std::string>(std::get<RuntimeValue>(all[0].rhs)), "m");
  EXPECT_EQ(std::get<bool>(std::get<RuntimeValue>(all[1].rhs)), false);
}

TEST(Compiler, PlanningAssignsASlotToEverySubject) {
  auto result = compile_policy(
      build_schema_index(standard_schema()),
      policy_of({rule_ast("r", action_scope("transfer"),
                          condition("action", "owner", "equals", field_ref("actor", "id"))),
                 rule_ast("g", global_scope(),
                          any_of({role_is("m"), condition("snapshot", "role", "equals",
                                                          field_ref("actor", "role"))}))}));
  ASSERT_TRUE(result.ok()) << result.error().render();
  const Plan plan = Plan::build(std::move(result).value());
  const CompiledPolicy& policy = plan.model();
  const FieldSlots& slots = plan.field_slots();
  const auto expect_slot = [&](const SubjectRef& subject) {
    EXPECT_NE(subject.slot, kNoSlot) << subject.field;
    EXPECT_EQ(subject.slot, slots.find(subject.domain, subject.field)) << subject.field;
  };
  const auto& atomic = std::get<AtomicCondition>(policy.action_rules.at("transfer")[0].condition);
  expect_slot(atomic.lhs);
  expect_slot(std::get<SubjectRef>(atomic.rhs));
  for (const auto& member : std::get<AnyOf>(policy.global_rules[0].condition).members) {
    expect_slot(member.lhs);
    if (const auto* subject = std::get_if<SubjectRef>(&member.rhs)) expect_slot(*subject);
  }
  // action.type, action.owner, actor.id, actor.role, snapshot.role.
  EXPECT_EQ(slots.size(), 5u);
}

}  // namespace
}  // namespace kavro
