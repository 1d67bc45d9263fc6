#include "engine/policy.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

#include "refund_documents.h"

namespace kavro::engine {
namespace {

constexpr const char* kSchema = test_documents::kRefundSchema;
constexpr const char* kPolicy = test_documents::kRefundPolicy;

constexpr const char* kGovernance = R"(version: 1
governance:
  rules:
    - id: no-blocks
      select: {where: {effect: block}}
      must: {forbid: true}
      error: blocks are not allowed
)";

static_assert(!std::is_copy_constructible_v<Policy>);
static_assert(std::is_nothrow_move_constructible_v<Policy>);

// ---- what a BuildError knows besides its message ----

struct ErrorCase {
  std::string name;
  std::string schema;
  std::string policy;
  std::optional<std::string> governance;
  std::string rendered;
  Document document;
  std::optional<std::pair<std::size_t, std::size_t>> line_column;  // one-based, as printed
  std::optional<std::pair<std::size_t, std::string>> rule;
};

void PrintTo(const ErrorCase& c, std::ostream* os) {
  *os << c.name;
}

class BuildErrorTable : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(BuildErrorTable, KnowsItsDocumentPlaceAndRule) {
  const auto& c = GetParam();
  const auto built = Policy::build(c.schema, c.policy, c.governance);
  ASSERT_FALSE(built.ok());
  const BuildError& error = built.error();
  EXPECT_EQ(error.render(), c.rendered);
  EXPECT_EQ(error.document(), c.document);
  const auto position = error.position();
  ASSERT_EQ(position.has_value(), c.line_column.has_value());
  if (position) {
    EXPECT_EQ(position->line + 1, c.line_column->first);
    EXPECT_EQ(position->column + 1, c.line_column->second);
  }
  ASSERT_EQ(error.rule().has_value(), c.rule.has_value());
  if (c.rule) {
    EXPECT_EQ(error.rule()->index, c.rule->first);
    EXPECT_EQ(error.rule()->id, c.rule->second);
  }
}

std::string second_rule(const std::string& field) {
  return std::string(kPolicy) + R"(  - id: second
    scope: {global: true}
    when: {subject: {domain: actor, field: )" +
         field + R"(}, operator: equals, value: {literal: x}}
    effect: allow
)";
}

INSTANTIATE_TEST_SUITE_P(
    Policy, BuildErrorTable,
    ::testing::Values(
        ErrorCase{"SchemaMissingField",
                  "version: 1\nactions: {}\nactor: {fields: {}}\n",
                  kPolicy,
                  {},
                  "missing field `snapshot`",
                  Document::Schema,
                  std::nullopt,
                  std::nullopt},
        ErrorCase{"PolicyWrongTypeIsPositioned",
                  kSchema,
                  "version: 1\nrules: 5\n",
                  {},
                  "rules: invalid type: integer `5`, expected a sequence at line 2 column 8",
                  Document::Policy,
                  std::pair<std::size_t, std::size_t>{2, 8},
                  std::nullopt},
        ErrorCase{"GovernanceWrongType", kSchema, kPolicy, "version: [\n",
                  "version: invalid type: sequence, expected u32 at line 1 column 10",
                  Document::Governance, std::pair<std::size_t, std::size_t>{1, 10}, std::nullopt},
        ErrorCase{"CompileErrorNamesTheRule",
                  kSchema,
                  second_rule("nope"),
                  {},
                  "unknown field 'nope' in domain 'actor'",
                  Document::Policy,
                  std::nullopt,
                  std::pair<std::size_t, std::string>{1, "second"}},
        ErrorCase{"GovernanceVerdict", kSchema, kPolicy, kGovernance,
                  "governance validation failed: [GovernanceViolation { rule_id: \"no-blocks\", "
                  "message: \"blocks are not allowed\" }]",
                  Document::Governance, std::nullopt, std::nullopt}),
    [](const auto& info) { return info.param.name; });

// ---- a built policy decides, hashes, and survives being moved ----

TEST(Policy, MovedPolicyStillDecides) {
  auto built = Policy::build(kSchema, kPolicy);
  ASSERT_TRUE(built.ok()) << built.error().render();
  const std::string hash = built->policy_hash();
  Policy moved = std::move(built).value();
  evaluation::EvaluationInput input(moved.input_fields());
  input.set(documents::Domain::Action, "type", evaluation::ValueView::of_string("refund"));
  input.set(documents::Domain::Action, "amount", evaluation::ValueView::of_number(11));
  const evaluation::EvaluationResult result = moved.evaluate(input);
  EXPECT_EQ(result.effect, documents::Effect::Block);
  EXPECT_EQ(result.matched_rule, std::optional<std::string_view>("big"));
  EXPECT_EQ(moved.policy_hash(), hash);
  EXPECT_EQ(hash.size(), 64U);
}

// ---- the door's own reports: placed failures, the rule table, checks ----

struct ReportCase {
  std::string name;
  std::string policy;
  std::optional<std::string> governance;
  std::string_view kind;
  std::string path;
  std::optional<Place> place;
  std::vector<std::string> violations;  // "<rule id> @<line>: <constraint> / <found>"
};

void PrintTo(const ReportCase& c, std::ostream* os) {
  *os << c.name;
}

class BuildReportTable : public ::testing::TestWithParam<ReportCase> {};

TEST_P(BuildReportTable, PlacesTheFailureFromTheOneRead) {
  const auto& c = GetParam();
  const auto built = Policy::build(kSchema, c.policy, c.governance);
  ASSERT_FALSE(built.ok());
  const BuildError& error = built.error();
  EXPECT_EQ(error.kind(), c.kind);
  EXPECT_EQ(error.path(), c.path);
  EXPECT_EQ(error.place(), c.place);
  std::vector<std::string> violations;
  for (const PlacedViolation& violation : error.violations()) {
    violations.push_back(violation.rule_id + " @" +
                         (violation.place ? std::to_string(violation.place->line) : "-") + ": " +
                         violation.constraint + " / " + violation.found);
  }
  EXPECT_EQ(violations, c.violations);
}

constexpr const char* kTwoGovernanceRules = R"(version: 1
governance:
  rules:
    - id: few
      select: {where: {effect: block}}
      must: {max_count: 0}
      error: too many
    - id: no-blocks
      select: {where: {effect: block}}
      must: {forbid: true}
      error: blocks are not allowed
)";

INSTANTIATE_TEST_SUITE_P(
    Policy, BuildReportTable,
    ::testing::Values(ReportCase{"LoadErrorKeepsItsOwnPlace",
                                 "version: 1\nrules: 5\n",
                                 {},
                                 "Load",
                                 "rules",
                                 Place{2, 8},
                                 {}},
                      ReportCase{"CompileErrorPointsAtTheCondition",
                                 second_rule("nope"),
                                 {},
                                 "UnknownField",
                                 "rules[1].when",
                                 Place{9, 11},
                                 {}},
                      ReportCase{"ScopeErrorPointsAtTheScope",
                                 std::string(kPolicy) +
                                     "  - id: x\n    scope: {action: nowhere}\n"
                                     "    when: {subject: {domain: actor, field: role},"
                                     " operator: equals, value: {literal: a}}\n"
                                     "    effect: allow\n",
                                 {},
                                 "UnknownAction",
                                 "rules[1].scope",
                                 Place{8, 12},
                                 {}},
                      ReportCase{"EachViolationPlacedAtItsGovernanceRule",
                                 kPolicy,
                                 kTwoGovernanceRules,
                                 "GovernanceFailed",
                                 "governance.rules[0]",
                                 Place{4, 7},
                                 {"few @4: max_count: 0 / 1 rule selected: 'big'",
                                  "no-blocks @8: forbid: true / 1 rule selected: 'big'"}}),
    [](const auto& info) { return info.param.name; });

TEST(Policy, RuleTableHoldsIdsAsWrittenWithScopesAndLines) {
  const std::string policy = std::string(kPolicy) + R"(  - id: '1.10'
    scope: {actor: ops}
    when: {subject: {domain: actor, field: role}, operator: equals, value: {literal: a}}
    effect: allow
  - id: 0x10
    scope: {global: true}
    when: {subject: {domain: actor, field: role}, operator: equals, value: {literal: b}}
    effect: require_approval
)";
  const auto built = Policy::build(kSchema, policy);
  ASSERT_TRUE(built.ok()) << built.error().render();
  std::vector<std::string> rows;
  for (const RuleEntry& rule : built->rules()) {
    rows.push_back(std::to_string(rule.number) + " " + rule.id + " " + rule.scope + " " +
                   std::string(spelling(rule.effect)) + " @" +
                   (rule.place ? std::to_string(rule.place->line) : "-"));
  }
  EXPECT_EQ(rows,
            (std::vector<std::string>{"0 big action:refund block @3", "1 1.10 actor:ops allow @7",
                                      "2 0x10 global require_approval @11"}));
  Input input(built->input_fields());
  input.set(Domain::Actor, "role", ValueView::of_string("b"));
  EXPECT_EQ(built->deciding_number(input), 2U);
  input.set(Domain::Actor, "role", ValueView::of_string("a"));
  EXPECT_EQ(built->deciding_number(input), built->no_rule());
}

TEST(Policy, HashIsComputedOnceAndKept) {
  auto built = Policy::build(kSchema, kPolicy);
  ASSERT_TRUE(built.ok());
  const std::string& first = built->policy_hash();
  EXPECT_EQ(&built->policy_hash(), &first);
}

TEST(Policy, ChecksRequestsWithTheSchemaItKept) {
  auto built = Policy::build(kSchema, kPolicy);
  ASSERT_TRUE(built.ok());
  const std::vector<std::string_view> sections = {"action", "extra"};
  const std::vector<RequestEntry> entries = {
      {Domain::Action, "type", ValueKind::String, "str", "refund"},
      {Domain::Action, "amount", ValueKind::String, "str", "ten"},
      {Domain::Actor, "team", ValueKind::String, "str", "x"}};
  std::vector<std::string> problems;
  for (const RequestProblem& problem : built->check_request(sections, entries)) {
    problems.push_back(problem.path + " " + std::string(problem.kind));
  }
  EXPECT_EQ(problems, (std::vector<std::string>{"extra UnknownSection", "action.amount WrongType",
                                                "actor.team UndeclaredField"}));
}

}  // namespace
}  // namespace kavro::engine
