#include "governance/governance_checker.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "compiler/compiler.h"
#include "document_builders.h"
#include "engine/policy.h"
#include "policy_probe.h"

namespace kavro {
namespace {

using namespace kavro::testing;

documents::AtomicConditionAst on(std::string domain, std::string field) {
  return condition(std::move(domain), std::move(field), "equals", literal_text("x"));
}

documents::RuleFilter by_id(std::string id) {
  documents::RuleFilter filter;
  filter.id = std::move(id);
  return filter;
}
documents::RuleFilter by_effect(std::string effect) {
  documents::RuleFilter filter;
  filter.effect = std::move(effect);
  return filter;
}
documents::RuleFilter by_scope(std::optional<bool> global, std::optional<std::string> action) {
  documents::RuleFilter filter;
  filter.scope = documents::ScopeFilter{global, std::move(action)};
  return filter;
}
documents::RuleFilter by_subject(std::optional<std::string> domain,
                                 std::optional<std::string> field) {
  documents::RuleFilter filter;
  filter.when =
      documents::WhenFilter{documents::SubjectFilter{std::move(domain), std::move(field)}};
  return filter;
}

// ---- which policy rules a filter selects ----

struct SelectionCase {
  std::string name;
  documents::RuleFilter filter;
  documents::RuleAst rule;
  bool selected;
};

void PrintTo(const SelectionCase& c, std::ostream* os) {
  *os << c.name;
}

class SelectionTable : public ::testing::TestWithParam<SelectionCase> {};

TEST_P(SelectionTable, Selects) {
  EXPECT_EQ(governance::rule_is_selected(GetParam().filter, GetParam().rule), GetParam().selected);
}

std::vector<SelectionCase> selection_cases() {
  const documents::RuleAst action_rule =
      rule_ast("r1", action_scope("refund"), on("actor", "role"));
  const documents::RuleAst actor_rule = rule_ast("r2", actor_scope("refund"), on("actor", "role"));
  const documents::RuleAst global_rule = rule_ast("r3", global_scope(true), on("actor", "role"));
  const documents::RuleAst global_false_rule =
      rule_ast("r4", global_scope(false), on("actor", "role"));
  const auto global = [](bool value) { return by_scope(value, {}); };
  const auto action = [](std::string name) { return by_scope({}, std::move(name)); };
  documents::RuleFilter empty_when;
  empty_when.when = documents::WhenFilter{};
  documents::RuleFilter all_members = by_scope({}, "refund");
  all_members.id = "r1";
  all_members.effect = "allow";
  return {
      {"EmptyFilterSelectsAll", {}, actor_rule, true},
      {"IdEqual", by_id("r1"), action_rule, true},
      {"IdIsCaseSensitive", by_id("R1"), action_rule, false},
      {"GlobalTrueSelectsGlobal", global(true), global_rule, true},
      {"GlobalTrueSkipsAction", global(true), action_rule, false},
      {"GlobalTrueSkipsGlobalFalse", global(true), global_false_rule, false},
      {"GlobalFalseSelectsAction", global(false), action_rule, true},
      {"GlobalFalseSelectsActor", global(false), actor_rule, true},
      {"GlobalFalseSelectsGlobalFalse", global(false), global_false_rule, true},
      {"GlobalFalseSkipsGlobal", global(false), global_rule, false},
      {"ActionMatches", action("refund"), action_rule, true},
      {"ActionSkipsOtherAction", action("transfer"), action_rule, false},
      {"ActionSkipsActorOfSameName", action("refund"), actor_rule, false},
      {"ActionSkipsGlobal", action("refund"), global_rule, false},
      {"GlobalTrueWithActionSelectsNothing", by_scope(true, "refund"), action_rule, false},
      {"EmptyScopeFilter", by_scope({}, {}), global_false_rule, true},
      {"EffectSpelling", by_effect("block"), action_rule, true},
      {"EffectRequireApproval", by_effect("require_approval"),
       rule_ast("r", global_scope(), on("actor", "role"), documents::Effect::RequireApproval),
       true},
      {"EffectOtherEffect", by_effect("allow"), action_rule, false},
      {"EffectCapitalised", by_effect("Block"), action_rule, false},
      {"EffectUnknownWord", by_effect("permit"), action_rule, false},
      {"EffectVariantName", by_effect("RequireApproval"),
       rule_ast("r", global_scope(), on("actor", "role"), documents::Effect::RequireApproval),
       false},
      {"EmptyWhenFilter", empty_when, action_rule, true},
      {"DomainInAnyList", by_subject("snapshot", {}),
       rule_ast("r", global_scope(),
                any_of({on("actor", "role"), on("snapshot", "locked"), on("actor", "id")})),
       true},
      {"DomainAndFieldInSameCondition", by_subject("actor", "role"),
       rule_ast("r", global_scope(), all_of({on("actor", "level"), on("snapshot", "role")})),
       false},
      {"DomainAndFieldBothMatch", by_subject("actor", "role"),
       rule_ast("r", global_scope(), all_of({on("actor", "level"), on("actor", "role")})), true},
      {"FieldOnly", by_subject({}, "role"), action_rule, true},
      {"RightHandSubjectNotExamined", by_subject("snapshot", {}),
       rule_ast("r", global_scope(),
                condition("actor", "role", "equals", field_ref("snapshot", "owner"))),
       false},
      {"DomainComparedAsWritten", by_subject("Actor", {}),
       rule_ast("r", global_scope(), on("Actor", "role")), true},
      {"DomainIsCaseSensitive", by_subject("actor", {}),
       rule_ast("r", global_scope(), on("Actor", "role")), false},
      {"BareSubjectFilterNeedsACondition", by_subject({}, {}),
       rule_ast("r", global_scope(), any_of({})), false},
      {"BareSubjectFilterSelectsAtomic", by_subject({}, {}), action_rule, true},
      {"AllMembersMustHold", all_members, action_rule, false},
  };
}

INSTANTIATE_TEST_SUITE_P(Governance, SelectionTable, ::testing::ValuesIn(selection_cases()),
                         [](const auto& info) { return info.param.name; });

// ---- whole checks: gate, constraints and the resulting error ----

struct CheckCase {
  std::string name;
  std::vector<documents::RuleAst> policy;
  std::vector<documents::GovernanceRule> governance;
  std::optional<std::string> expected_error;  // absent when the policy compiles
};

void PrintTo(const CheckCase& c, std::ostream* os) {
  *os << c.name;
}

class CheckTable : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckTable, ChecksThenCompiles) {
  const auto& c = GetParam();
  const auto result =
      engine::Policy::from_documents(standard_schema(), policy_of(c.policy), &c.governance);
  if (c.expected_error) {
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().render(), *c.expected_error);
  } else {
    EXPECT_TRUE(result.ok()) << result.error().render();
  }
}

std::string failed(const std::string& rule_id, const std::string& message) {
  return "governance validation failed: [GovernanceViolation { rule_id: \"" + rule_id +
         "\", message: \"" + message + "\" }]";
}

std::vector<CheckCase> check_cases() {
  const documents::RuleAst refund_block =
      rule_ast("rb", action_scope("refund"), on("actor", "role"));
  const documents::RuleAst refund_allow =
      rule_ast("ra", action_scope("refund"), on("actor", "id"), documents::Effect::Allow);
  const documents::RuleAst global_block = rule_ast("gb", global_scope(), on("snapshot", "owner"));
  const documents::RuleAst actor_block = rule_ast("ob", actor_scope("ops"), on("actor", "role"));
  const std::vector<documents::RuleAst> policy = {refund_block, refund_allow, global_block};
  const documents::RuleFilter blocks = by_effect("block");
  const documents::RuleFilter nothing = by_id("none");
  const auto rule = [](documents::Constraint must, documents::RuleFilter where = {},
                       std::optional<documents::AppliesTo> applies_to = std::nullopt) {
    return governance_rule("g", std::move(where), std::move(must), "bad", std::move(applies_to));
  };
  const std::string violated = failed("g", "bad");
  constexpr auto kMaxCount = std::numeric_limits<std::uint64_t>::max();
  return {
      {"NoGovernanceRules", policy, {}, {}},
      // Exists.
      {"ExistsTrueWithNothingSelected",
       policy,
       {rule(documents::ExistsConstraint{true}, nothing)},
       violated},
      {"ExistsTrueWithOneSelected",
       policy,
       {rule(documents::ExistsConstraint{true}, by_id("ra"))},
       {}},
      {"ExistsFalseWithOneSelected",
       policy,
       {rule(documents::ExistsConstraint{false}, by_id("ra"))},
       violated},
      {"ExistsFalseWithNothingSelected",
       policy,
       {rule(documents::ExistsConstraint{false}, nothing)},
       {}},
      // Counts: two rules block.
      {"MinCountReached", policy, {rule(documents::MinCountConstraint{2}, blocks)}, {}},
      {"MinCountMissed", policy, {rule(documents::MinCountConstraint{3}, blocks)}, violated},
      {"MinCountZero", {}, {rule(documents::MinCountConstraint{0})}, {}},
      {"MaxCountReached", policy, {rule(documents::MaxCountConstraint{2}, blocks)}, {}},
      {"MaxCountExceeded", policy, {rule(documents::MaxCountConstraint{2})}, violated},
      {"MaxCountZeroLikeForbid",
       policy,
       {rule(documents::MaxCountConstraint{0}, by_id("ra"))},
       violated},
      {"MaxCountLargest", policy, {rule(documents::MaxCountConstraint{kMaxCount})}, {}},
      {"MinCountLargest", policy, {rule(documents::MinCountConstraint{kMaxCount})}, violated},
      // Forbid.
      {"ForbidTrueSelected", policy, {rule(documents::ForbidConstraint{true}, blocks)}, violated},
      {"ForbidTrueNothingSelected", policy, {rule(documents::ForbidConstraint{true}, nothing)}, {}},
      {"ForbidFalseNeverViolated", policy, {rule(documents::ForbidConstraint{false})}, {}},
      // Allowed fields.
      {"AllowedFieldsListed",
       policy,
       {rule(documents::AllowedFieldsConstraint{{"snapshot.owner", "actor.role"}}, blocks)},
       {}},
      {"AllowedFieldsMissing",
       policy,
       {rule(documents::AllowedFieldsConstraint{{"actor.role"}}, blocks)},
       violated},
      {"AllowedFieldsRightHandNotExamined",
       {rule_ast("r", global_scope(),
                 condition("actor", "role", "equals", field_ref("snapshot", "owner")))},
       {rule(documents::AllowedFieldsConstraint{{"actor.role"}})},
       {}},
      {"AllowedFieldsEveryListMember",
       {rule_ast("r", global_scope(), any_of({on("actor", "role"), on("actor", "id")}))},
       {rule(documents::AllowedFieldsConstraint{{"actor.role"}})},
       violated},
      {"AllowedFieldsKeyIsExactText",
       {rule_ast("r", global_scope(), on("actor", "role"))},
       {rule(documents::AllowedFieldsConstraint{{"actor.role ", "actor", "role", "Actor.role"}})},
       violated},
      {"AllowedFieldsEmptyWithACondition",
       policy,
       {rule(documents::AllowedFieldsConstraint{}, blocks)},
       violated},
      {"AllowedFieldsEmptyWithNothingSelected",
       policy,
       {rule(documents::AllowedFieldsConstraint{}, nothing)},
       {}},
      // The gate.
      {"GateNamesNoScopedAction",
       policy,
       {rule(documents::ExistsConstraint{true}, nothing, documents::AppliesTo{{"transfer"}})},
       {}},
      {"GateEmptyList",
       policy,
       {rule(documents::ExistsConstraint{true}, nothing, documents::AppliesTo{})},
       {}},
      {"GateEmptyPolicy",
       {},
       {rule(documents::ExistsConstraint{true}, nothing, documents::AppliesTo{{"refund"}})},
       {}},
      {"GateIsCaseSensitive",
       policy,
       {rule(documents::ExistsConstraint{true}, nothing, documents::AppliesTo{{"Refund"}})},
       {}},
      {"GateIgnoresActorScopes",
       {actor_block},
       {rule(documents::ExistsConstraint{true}, nothing, documents::AppliesTo{{"ops"}})},
       {}},
      {"GateOpenChecksTheRule",
       policy,
       {rule(documents::ExistsConstraint{true}, nothing,
             documents::AppliesTo{{"transfer", "refund"}})},
       violated},
      {"GateDoesNotNarrowSelection",
       {refund_block, global_block, actor_block},
       {rule(documents::MinCountConstraint{3}, blocks, documents::AppliesTo{{"refund"}}),
        governance_rule("three", blocks, documents::MaxCountConstraint{2}, "over",
                        documents::AppliesTo{{"refund"}})},
       failed("three", "over")},
      // Errors and order.
      {"ViolationsInGovernanceOrder",
       policy,
       {governance_rule("first", blocks, documents::ForbidConstraint{true}, "no blocks"),
        governance_rule("passes", {}, documents::ExistsConstraint{true}, "unused"),
        governance_rule("second", {}, documents::MaxCountConstraint{1}, "too many rules"),
        governance_rule("third", by_id("missing"), documents::ExistsConstraint{true},
                        "need missing")},
       "governance validation failed: [GovernanceViolation { rule_id: \"first\", "
       "message: \"no "
       "blocks\" }, GovernanceViolation { rule_id: \"second\", message: \"too many "
       "rules\" }, "
       "GovernanceViolation { rule_id: \"third\", message: \"need missing\" }]"},
      {"ViolationHidesCompileError",
       {rule_ast("r", action_scope("wire"), on("actor", "nope"), documents::Effect::Allow)},
       {rule(documents::ForbidConstraint{true}, by_effect("allow"))},
       violated},
      {"NoViolationGivesCompileError",
       {rule_ast("r", global_scope(), on("actor", "nope"))},
       {rule(documents::ForbidConstraint{true}, by_effect("allow"))},
       "unknown field 'nope' in domain 'actor'"},
      {"RuleWithoutConditionsPassesThenFailsToCompile",
       {rule_ast("r", global_scope(), any_of({}))},
       {rule(documents::AllowedFieldsConstraint{})},
       "invalid logical condition: must contain at least two conditions"},
  };
}

INSTANTIATE_TEST_SUITE_P(Governance, CheckTable, ::testing::ValuesIn(check_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(Governance, WithoutViolationReturnsTheCompiledPolicy) {
  const documents::PolicyAst policy = policy_of({
      rule_ast("t", action_scope("transfer"), on("actor", "role")),
      rule_ast("g", global_scope(), on("snapshot", "owner")),
      rule_ast("o", actor_scope("ops"), on("actor", "id")),
  });
  const std::vector<documents::GovernanceRule> governance = {
      governance_rule("g", {}, documents::MinCountConstraint{3}, "e")};
  const auto checked = engine::Policy::from_documents(standard_schema(), policy, &governance);
  const auto compiled =
      compiler::compile_policy(compiler::build_schema_index(standard_schema()), policy);
  ASSERT_TRUE(checked.ok());
  ASSERT_TRUE(compiled.ok());
  EXPECT_EQ(bucket_summary(engine::PolicyProbe::model(*checked)), bucket_summary(*compiled));
  EXPECT_EQ(checked->input_fields().size(),
            evaluation::Plan::build(std::move(compiled).value()).field_slots().size());
}

// ---- quoted text inside the message ----

struct EscapeCase {
  std::string name;
  std::string rule_id;
  std::string error;
  std::string rendered;  // what follows "governance validation failed: "
};

void PrintTo(const EscapeCase& c, std::ostream* os) {
  *os << c.name;
}

class EscapeTable : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeTable, QuotesIdAndMessage) {
  const auto& c = GetParam();
  const std::vector<documents::GovernanceRule> governance = {
      governance_rule(c.rule_id, {}, documents::ExistsConstraint{true}, c.error)};
  const auto result = engine::Policy::from_documents(standard_schema(), policy_of({}), &governance);
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().render(), "governance validation failed: " + c.rendered);
  ASSERT_NE(result.error().governance_failure(), nullptr);
  EXPECT_EQ(engine::violations_text(result.error().governance_failure()->violations), c.rendered);
}

INSTANTIATE_TEST_SUITE_P(
    Governance, EscapeTable,
    ::testing::Values(
        EscapeCase{"QuoteAndLineBreak", "r\"1", "say \"no\"\nnow",
                   R"([GovernanceViolation { rule_id: "r\"1", message: "say \"no\"\nnow" }])"},
        EscapeCase{"ApostropheAndBackslash", "it's", "a\\b",
                   R"([GovernanceViolation { rule_id: "it's", message: "a\\b" }])"},
        EscapeCase{"ControlCharacters", "r", "tab\there\r\a",
                   R"([GovernanceViolation { rule_id: "r", message: "tab\there\r\u{7}" }])"},
        EscapeCase{"PrintableNonAsciiUnchanged", "r", "caf\u00e9 \u20ac",
                   "[GovernanceViolation { rule_id: \"r\", message: \"caf\u00e9 \u20ac\" }]"},
        EscapeCase{"CombiningMarkAndZeroWidth", "r", "e\u0301\u200b",
                   R"([GovernanceViolation { rule_id: "r", message: "e\u{301}\u{200b}" }])"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kavro
