// Documents that load, checked record by record: the worked examples and the
// reading rules that decide which record a text becomes.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "documents/loader.h"

namespace kavro {
namespace {

template <class T>
const T& loaded(const Result<T, LoadError>& result) {
  if (!result) ADD_FAILURE() << "did not load: " << result.error().render();
  static const T empty{};
  return result ? result.value() : empty;
}

TEST(SchemaRecords, WorkedExample) {
  const auto result = load_schema(
      "version: 1\n"
      "actions:\n"
      "  refund:\n"
      "    fields:\n"
      "      amount: number\n"
      "      currency: string\n"
      "  delete:\n"
      "    fields: {}\n"
      "actor:\n"
      "  fields:\n"
      "    role: string\n"
      "    verified: boolean\n"
      "snapshot:\n"
      "  fields:\n"
      "    maintenance: boolean\n");
  const SchemaAst& schema = loaded(result);
  EXPECT_EQ(schema.version, 1u);
  ASSERT_EQ(schema.actions.size(), 2u);
  const auto& refund = schema.actions.at("refund").fields;
  ASSERT_EQ(refund.size(), 2u);
  EXPECT_EQ(refund.at("amount"), FieldType::Number);
  EXPECT_EQ(refund.at("currency"), FieldType::String);
  EXPECT_TRUE(schema.actions.at("delete").fields.empty());
  ASSERT_EQ(schema.actor.fields.size(), 2u);
  EXPECT_EQ(schema.actor.fields.at("role"), FieldType::String);
  EXPECT_EQ(schema.actor.fields.at("verified"), FieldType::Boolean);
  ASSERT_EQ(schema.snapshot.fields.size(), 1u);
  EXPECT_EQ(schema.snapshot.fields.at("maintenance"), FieldType::Boolean);
}

TEST(SchemaRecords, MapsOfNamesTakeKeysAsTextAndKeepTheLaterEntry) {
  const auto result = load_schema(
      "version: 0x2\n"
      "description: ignored\n"
      "actions:\n"
      "  refund: {fields: {amount: string}}\n"
      "  refund:\n"
      "    fields:\n"
      "      amount: number\n"
      "      note: !string\n"
      "  1: {fields: }\n"
      "  true: {fields: {}}\n"
      "actor: {fields: {role: string, role: boolean}}\n"
      "snapshot: {fields: }\n");
  const SchemaAst& schema = loaded(result);
  EXPECT_EQ(schema.version, 2u);
  ASSERT_EQ(schema.actions.size(), 3u);
  EXPECT_EQ(schema.actions.at("refund").fields.size(), 2u);
  EXPECT_EQ(schema.actions.at("refund").fields.at("amount"), FieldType::Number);
  EXPECT_EQ(schema.actions.at("refund").fields.at("note"), FieldType::String);
  EXPECT_TRUE(schema.actions.at("1").fields.empty());
  EXPECT_TRUE(schema.actions.at("true").fields.empty());
  EXPECT_EQ(schema.actor.fields.at("role"), FieldType::Boolean);
  EXPECT_TRUE(schema.snapshot.fields.empty());
}

const ActionScopeAst* action_scope(const RuleAst& rule) {
  return std::get_if<ActionScopeAst>(&rule.scope);
}

TEST(PolicyRecords, WorkedExample) {
  const auto result = load_policy(
      "version: 1\n"
      "rules:\n"
      "  - id: deny-large-refunds\n"
      "    scope:\n"
      "      action: refund\n"
      "    when:\n"
      "      all:\n"
      "        - subject: {domain: action, field: amount}\n"
      "          operator: greater_than\n"
      "          value: {literal: 1000}\n"
      "        - subject: {domain: actor, field: role}\n"
      "          operator: not_equals\n"
      "          value: {literal: manager}\n"
      "    effect: block\n"
      "  - id: approve-self\n"
      "    scope: {global: true}\n"
      "    when:\n"
      "      subject: {domain: actor, field: id}\n"
      "      operator: equals\n"
      "      value:\n"
      "        subject: {domain: action, field: owner}\n"
      "    effect: require_approval\n");
  const PolicyAst& policy = loaded(result);
  EXPECT_EQ(policy.version, 1u);
  ASSERT_EQ(policy.rules.size(), 2u);

  const RuleAst& deny = policy.rules[0];
  EXPECT_EQ(deny.id, "deny-large-refunds");
  ASSERT_NE(action_scope(deny), nullptr);
  EXPECT_EQ(action_scope(deny)->action, "refund");
  const auto* all = std::get_if<AllConditionAst>(&deny.when);
  ASSERT_NE(all, nullptr);
  ASSERT_EQ(all->all.size(), 2u);
  EXPECT_EQ(all->all[0].subject.domain, "action");
  EXPECT_EQ(all->all[0].subject.field, "amount");
  EXPECT_EQ(all->all[0].op, "greater_than");
  EXPECT_EQ(all->all[0].value, ValueAst(LiteralValueAst(1000.0)));
  EXPECT_EQ(all->all[1].subject.domain, "actor");
  EXPECT_EQ(all->all[1].subject.field, "role");
  EXPECT_EQ(all->all[1].op, "not_equals");
  EXPECT_EQ(all->all[1].value, ValueAst(LiteralValueAst(std::string("manager"))));
  EXPECT_EQ(deny.effect, Effect::Block);

  const RuleAst& approve = policy.rules[1];
  EXPECT_EQ(approve.id, "approve-self");
  ASSERT_TRUE(std::holds_alternative<GlobalScopeAst>(approve.scope));
  EXPECT_TRUE(std::get<GlobalScopeAst>(approve.scope).global);
  const auto* atomic = std::get_if<AtomicConditionAst>(&approve.when);
  ASSERT_NE(atomic, nullptr);
  EXPECT_EQ(atomic->subject.domain, "actor");
  EXPECT_EQ(atomic->subject.field, "id");
  EXPECT_EQ(atomic->op, "equals");
  const auto* other = std::get_if<SubjectAst>(&atomic->value);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->domain, "action");
  EXPECT_EQ(other->field, "owner");
  EXPECT_EQ(approve.effect, Effect::RequireApproval);
}

TEST(PolicyRecords, AliasToAnchoredRuleYieldsAnIdenticalRuleAndMergeKeyIsIgnored) {
  const auto result = load_policy(
      "defaults: &defaults {version: 9}\n"
      "<<: *defaults\n"
      "version: 1\n"
      "rules:\n"
      "  - &first\n"
      "    id: r1\n"
      "    note: extra keys are ignored\n"
      "    scope: {actor: ops}\n"
      "    when: [[snapshot, maintenance], equals, {literal: true}]\n"
      "    effect: !allow\n"
      "  - *first\n");
  const PolicyAst& policy = loaded(result);
  EXPECT_EQ(policy.version, 1u);
  ASSERT_EQ(policy.rules.size(), 2u);
  for (const RuleAst& rule : policy.rules) {
    EXPECT_EQ(rule.id, "r1");
    ASSERT_TRUE(std::holds_alternative<ActorScopeAst>(rule.scope));
    EXPECT_EQ(std::get<ActorScopeAst>(rule.scope).actor, "ops");
    const auto* atomic = std::get_if<AtomicConditionAst>(&rule.when);
    ASSERT_NE(atomic, nullptr);
    EXPECT_EQ(atomic->subject.domain, "snapshot");
    EXPECT_EQ(atomic->value, ValueAst(LiteralValueAst(true)));
    EXPECT_EQ(rule.effect, Effect::Allow);
  }
}

// One rule's scope and when, and what they read as.
struct ShapeCase {
  std::string name;
  std::string scope;
  std::string when;
  ScopeAst expected_scope;
  ConditionAst expected_when;
};

void PrintTo(const ShapeCase& row, std::ostream* out) {
  *out << row.name;
}

class ChoiceShapeTable : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(ChoiceShapeTable, PicksTheFirstFittingVariant) {
  const ShapeCase& row = GetParam();
  const auto result =
      load_policy("version: 1\nrules:\n- id: r\n  effect: block\n  scope: " + row.scope +
                  "\n  when: " + row.when + "\n");
  const PolicyAst& policy = loaded(result);
  ASSERT_EQ(policy.rules.size(), 1u);
  EXPECT_EQ(policy.rules[0].scope, row.expected_scope);
  EXPECT_EQ(policy.rules[0].when, row.expected_when);
}

std::vector<ShapeCase> shape_cases() {
  const std::string atomic_text = "{subject: [actor, role], operator: equals, value: {literal: x}}";
  const AtomicConditionAst atomic{{"actor", "role"}, "equals", LiteralValueAst(std::string("x"))};
  const ScopeAst global = GlobalScopeAst{true};
  return {
      {"ActionBeforeActor", "{actor: a, action: refund}", atomic_text, ActionScopeAst{"refund"},
       atomic},
      {"ActorBeforeGlobal", "{global: true, actor: ops}", atomic_text, ActorScopeAst{"ops"},
       atomic},
      {"GlobalFalseIsRead", "{global: false}", atomic_text, GlobalScopeAst{false}, atomic},
      {"PositionalKeySelectsField", "{0: refund}", atomic_text, ActionScopeAst{"refund"}, atomic},
      {"QuotedNumberIsText", "{action: '5'}", atomic_text, ActionScopeAst{"5"}, atomic},
      {"AtomicWinsOverAll", "{global: true}",
       "{all: [], subject: [actor, role], operator: equals, value: {literal: x}}", global, atomic},
      {"AllWinsOverAny", "{global: true}", "{any: [], all: [" + atomic_text + "]}", global,
       AllConditionAst{{atomic}}},
      {"AnyWithSequenceForm", "{global: true}", "{any: [[[actor, role], equals, {literal: x}]]}",
       global, AnyConditionAst{{atomic}}},
      {"EmptyAllIsRead", "{global: true}", "{all: []}", global, AllConditionAst{}},
      {"SubjectAsMappingWithPositions", "{global: true}",
       "{0: {1: role, 0: actor}, 1: equals, 2: {literal: x}}", global, atomic},
      {"PositionBeyondLastFieldIsSkipped", "{global: true}",
       "{subject: [actor, role], operator: equals, value: {literal: x}, 7: extra}", global, atomic},
      {"AliasInsideWhen", "{global: true}",
       "{subject: &s [actor, role], operator: equals, value: {subject: *s}}", global,
       AtomicConditionAst{{"actor", "role"}, "equals", SubjectAst{"actor", "role"}}},
  };
}

INSTANTIATE_TEST_SUITE_P(Policy, ChoiceShapeTable, ::testing::ValuesIn(shape_cases()),
                         [](const auto& info) { return info.param.name; });

// A literal as written after `literal:` and the value it reads as.
struct LiteralCase {
  std::string name;
  std::string text;
  LiteralValueAst expected;
};

void PrintTo(const LiteralCase& row, std::ostream* out) {
  *out << row.name;
}

class LiteralTable : public ::testing::TestWithParam<LiteralCase> {};

TEST_P(LiteralTable, TypesTheScalar) {
  const LiteralCase& row = GetParam();
  const auto result = load_policy(
      "version: 1\nrules:\n- id: r\n  effect: block\n  scope: {global: true}\n"
      "  when: [[actor, role], equals, {literal: " +
      row.text + "}]\n");
  const PolicyAst& policy = loaded(result);
  ASSERT_EQ(policy.rules.size(), 1u);
  const auto& value = std::get<AtomicConditionAst>(policy.rules[0].when).value;
  EXPECT_EQ(std::get<LiteralValueAst>(value), row.expected);
}

std::vector<LiteralCase> literal_cases() {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  using S = std::string;
  return {
      {"QuotedNumberIsText", "'10'", S("10")},
      {"PlainNumberIsNumber", "10", 10.0},
      {"PlainFloat", "5.0", 5.0},
      {"NegativeInteger", "-7", -7.0},
      {"Hexadecimal", "0x1F", 31.0},
      {"OctalWithPlus", "+0o17", 15.0},
      {"Binary", "0b101", 5.0},
      {"Exponent", "1e3", 1000.0},
      {"LeadingPoint", ".5", 0.5},
      {"TrailingPoint", "5.", 5.0},
      {"Infinity", ".inf", kInf},
      {"NegativeInfinity", "-.Inf", -kInf},
      {"LeadingZeroIsText", "0123", S("0123")},
      {"NegativeHexIsText", "-0x10", S("-0x10")},
      {"YesIsText", "yes", S("yes")},
      {"OnIsText", "on", S("on")},
      {"CapitalisedTrue", "True", true},
      {"UpperFalse", "FALSE", false},
      {"MixedCaseIsText", "tRUE", S("tRUE")},
      {"QuotedTrueIsText", "\"true\"", S("true")},
      {"TaggedNumberIsText", "!num 5", S("5")},
      {"HugeExponentIsText", "1e400", S("1e400")},
      {"TinyExponentIsZero", "1e-400", 0.0},
      {"EscapedControlCharacter", "\"a\\tb\"", S("a\tb")},
  };
}

INSTANTIATE_TEST_SUITE_P(Policy, LiteralTable, ::testing::ValuesIn(literal_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(PolicyRecords, IdIsAnyScalarAsWritten) {
  const auto result = load_policy(
      "version: 1\nrules:\n"
      "- {id: 7, scope: {global: true}, when: [[a, b], in, {literal: 1}], effect: allow}\n"
      "- {id: ~, scope: {global: true}, when: [[a, b], in, {literal: 1}], effect: allow}\n"
      "- {id: , scope: {global: true}, when: [[a, b], in, {literal: 1}], effect: allow}\n"
      "- {id: 0x10, scope: {global: true}, when: [[a, b], in, {literal: 1}], effect: allow}\n");
  const PolicyAst& policy = loaded(result);
  ASSERT_EQ(policy.rules.size(), 4u);
  EXPECT_EQ(policy.rules[0].id, "7");
  EXPECT_EQ(policy.rules[1].id, "~");
  EXPECT_EQ(policy.rules[2].id, "");
  EXPECT_EQ(policy.rules[3].id, "0x10");
}

TEST(PolicyRecords, EmptyRulesInEitherForm) {
  EXPECT_TRUE(loaded(load_policy("version: 1\nrules: []\n")).rules.empty());
  EXPECT_TRUE(loaded(load_policy("\"version\": 1\n'rules':\n")).rules.empty());
}

TEST(GovernanceRecords, WorkedExample) {
  const auto result = load_governance(
      "version: 1\n"
      "governance:\n"
      "  rules:\n"
      "    - id: no-refund-allow\n"
      "      select:\n"
      "        where:\n"
      "          effect: allow\n"
      "          scope: {action: refund}\n"
      "      must: {forbid: true}\n"
      "      error: refunds may not be allowed outright\n"
      "    - id: need-block\n"
      "      applies_to: {actions: [refund]}\n"
      "      select: {where: {effect: block}}\n"
      "      must: {min_count: 1}\n"
      "      error: a refund needs a blocking rule\n"
      "    - id: role-only\n"
      "      select: {where: {when: {subject: {domain: actor}}}}\n"
      "      must: {allowed_fields: [actor.role]}\n"
      "      error: only the role may be tested\n");
  const GovernanceAst& governance = loaded(result);
  EXPECT_EQ(governance.version, 1u);
  const auto& rules = governance.governance.rules;
  ASSERT_EQ(rules.size(), 3u);

  EXPECT_EQ(rules[0].id, "no-refund-allow");
  EXPECT_FALSE(rules[0].applies_to.has_value());
  const RuleFilter& first = rules[0].select.where;
  EXPECT_EQ(first.effect, "allow");
  ASSERT_TRUE(first.scope.has_value());
  EXPECT_EQ(first.scope->action, "refund");
  EXPECT_FALSE(first.scope->global.has_value());
  EXPECT_FALSE(first.id.has_value());
  EXPECT_FALSE(first.when.has_value());
  ASSERT_TRUE(std::holds_alternative<ForbidConstraint>(rules[0].must));
  EXPECT_TRUE(std::get<ForbidConstraint>(rules[0].must).forbid);
  EXPECT_EQ(rules[0].error, "refunds may not be allowed outright");

  EXPECT_EQ(rules[1].id, "need-block");
  ASSERT_TRUE(rules[1].applies_to.has_value());
  EXPECT_EQ(rules[1].applies_to->actions, std::vector<std::string>{"refund"});
  EXPECT_EQ(rules[1].select.where.effect, "block");
  ASSERT_TRUE(std::holds_alternative<MinCountConstraint>(rules[1].must));
  EXPECT_EQ(std::get<MinCountConstraint>(rules[1].must).min_count, 1u);

  EXPECT_EQ(rules[2].id, "role-only");
  const auto& when = rules[2].select.where.when;
  ASSERT_TRUE(when.has_value() && when->subject.has_value());
  EXPECT_EQ(when->subject->domain, "actor");
  EXPECT_FALSE(when->subject->field.has_value());
  ASSERT_TRUE(std::holds_alternative<AllowedFieldsConstraint>(rules[2].must));
  EXPECT_EQ(std::get<AllowedFieldsConstraint>(rules[2].must).allowed_fields,
            std::vector<std::string>{"actor.role"});
}

// A governance rule's `must` (or other keys) and what the rule reads as.
struct GovernanceRuleCase {
  std::string name;
  std::string keys;  // the rule's keys besides id, select and error
  std::string where;
  Constraint must;
  bool has_applies_to;
};

void PrintTo(const GovernanceRuleCase& row, std::ostream* out) {
  *out << row.name;
}

class GovernanceRuleTable : public ::testing::TestWithParam<GovernanceRuleCase> {};

TEST_P(GovernanceRuleTable, ReadsTheRule) {
  const GovernanceRuleCase& row = GetParam();
  const auto result = load_governance(
      "version: 1\ngovernance:\n  rules:\n  - id: g\n    error: e\n    select:\n      where: " +
      row.where + "\n" + row.keys);
  const GovernanceAst& governance = loaded(result);
  ASSERT_EQ(governance.governance.rules.size(), 1u);
  const GovernanceRule& rule = governance.governance.rules[0];
  EXPECT_EQ(rule.must, row.must);
  EXPECT_EQ(rule.applies_to.has_value(), row.has_applies_to);
}

std::vector<GovernanceRuleCase> governance_rule_cases() {
  const std::string forbid = "    must: {forbid: true}\n";
  return {
      {"MinCountZero", "    must: {min_count: 0}\n", "{}", MinCountConstraint{0}, false},
      {"ExistsBeforeForbid", "    must: {forbid: true, exists: true}\n", "{}",
       ExistsConstraint{true}, false},
      {"MinCountBeforeMaxCount", "    must: {max_count: 3, min_count: 1}\n", "{}",
       MinCountConstraint{1}, false},
      {"MaxCountHex", "    must: {max_count: 0x10}\n", "{}", MaxCountConstraint{16}, false},
      {"AllowedFieldsEmpty", "    must: {allowed_fields: []}\n", "{}", AllowedFieldsConstraint{},
       false},
      {"AppliesToNull", "    applies_to: null\n" + forbid, "{}", ForbidConstraint{true}, false},
      {"AppliesToEmptyValue", "    applies_to:\n" + forbid, "{}", ForbidConstraint{true}, false},
      {"AppliesToEmptyActions", "    applies_to: {actions: }\n" + forbid, "{}",
       ForbidConstraint{true}, true},
      {"EmptyWhereValue", forbid, "", ForbidConstraint{true}, false},
      {"EffectFilterIsFreeText", forbid, "{effect: permit}", ForbidConstraint{true}, false},
      {"ActorInScopeFilterIsIgnored", forbid, "{scope: {actor: ops}}", ForbidConstraint{true},
       false},
  };
}

INSTANTIATE_TEST_SUITE_P(Governance, GovernanceRuleTable,
                         ::testing::ValuesIn(governance_rule_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(GovernanceRecords, FiltersAbsentWhenNullAndEmptyWhenEmpty) {
  const auto result = load_governance(
      "version: 1\ngovernance:\n  rules:\n  - id: g\n    must: {exists: false}\n    error: e\n"
      "    select:\n      where:\n        id: ~\n        scope: {actor: ops}\n"
      "        when: {subject: }\n        effect: NULL\n");
  const GovernanceAst& governance = loaded(result);
  ASSERT_EQ(governance.governance.rules.size(), 1u);
  const RuleFilter& where = governance.governance.rules[0].select.where;
  EXPECT_FALSE(where.id.has_value());
  EXPECT_FALSE(where.effect.has_value());
  ASSERT_TRUE(where.scope.has_value());
  EXPECT_FALSE(where.scope->global.has_value());
  EXPECT_FALSE(where.scope->action.has_value());
  ASSERT_TRUE(where.when.has_value());
  EXPECT_FALSE(where.when->subject.has_value());
}

}  // namespace
}  // namespace kavro
