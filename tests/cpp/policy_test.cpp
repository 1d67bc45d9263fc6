#include "engine/policy.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

namespace kavro::engine {
namespace {

constexpr const char* kSchema = R"(version: 1
actions:
  refund:
    fields: {amount: number}
actor:
  fields: {role: string}
snapshot:
  fields: {}
)";

constexpr const char* kPolicy = R"(version: 1
rules:
  - id: big
    scope: {action: refund}
    when: {subject: {domain: action, field: amount}, operator: greater_than, value: {literal: 10}}
    effect: block
)";

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
  EvaluationInput input(moved.field_slots());
  input.set(Domain::Action, "type", ValueView::of_string("refund"));
  input.set(Domain::Action, "amount", ValueView::of_number(11));
  const EvaluationResult result = moved.evaluate(input);
  EXPECT_EQ(result.effect, Effect::Block);
  EXPECT_EQ(result.matched_rule, std::optional<std::string_view>("big"));
  EXPECT_EQ(moved.policy_hash(), hash);
  EXPECT_EQ(hash.size(), 64U);
}

}  // namespace
}  // namespace kavro::engine
