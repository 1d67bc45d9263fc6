// The loader's limits (nesting budget, alias repetition) and hostile texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "document_test_support.h"

namespace kavro::testing {
namespace {

std::string nested(std::size_t levels, const std::string& inner = "") {
  return std::string(levels, '[') + inner + std::string(levels, ']');
}

// A policy whose only rule's `when` (line 4, value from column 9) is `when`.
std::string rule_when(const std::string& when) {
  return "version: 1\nrules:\n- id: r\n  when: " + when + "\n";
}

// Nine levels of ten aliases each: 10^9 scalars if expanded.
std::string alias_bomb(const std::string& key) {
  std::string text = "a0: &a0 [x, x, x, x, x, x, x, x, x, x]\n";
  for (int level = 1; level < 10; ++level) {
    const std::string previous = "*a" + std::to_string(level - 1);
    text += "a" + std::to_string(level) + ": &a" + std::to_string(level) + " [";
    for (int i = 0; i < 10; ++i) text += (i ? ", " : "") + previous;
    text += "]\n";
  }
  return text + "version: 1\nrules:\n- id: r\n  " + key + ": *a9\n";
}

std::string repeated(const std::string& item, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += (i ? ", " : "") + item;
  return text;
}

std::string repeated_lines(const std::string& line, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += line;
  return text;
}

const std::string kNoCondition =
    "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 column 3";

class LimitTable : public ::testing::TestWithParam<MessageCase> {};

TEST_P(LimitTable, GivesTheCompleteMessage) {
  const MessageCase& row = GetParam();
  EXPECT_EQ(load_message(row.root, row.text), row.message);
}

std::vector<MessageCase> limit_cases() {
  // The root, `rules` and the rule take three levels; `when` may add 125.
  return {
      {"AllLevelsOfTheBudgetAreRead", Root::Policy, rule_when(nested(125)), kNoCondition},
      {"LevelBeyondTheBudgetFails", Root::Policy, rule_when(nested(126)),
       "recursion limit exceeded at line 4 column 134"},
      {"LevelsThroughAliasesCount", Root::Policy,
       "deep: &d " + nested(100) + "\n" + rule_when(nested(30, "*d")),
       "recursion limit exceeded at line 1 column 105"},
      {"SelfReferenceEndsAtTheBudget", Root::Policy, rule_when("&w [*w]"),
       "recursion limit exceeded at line 4 column 9"},
      {"DeepValueUnderUnknownKeyWithinBudget", Root::Policy,
       "version: 1\nrules: []\nextra: " + nested(127) + "\n", ""},
      {"DeepValueUnderUnknownKeyBeyondBudget", Root::Policy,
       "version: 1\nrules: []\nextra: " + nested(128) + "\n",
       "recursion limit exceeded at line 3 column 135"},
      {"DeepMappingsInBlockStyle", Root::Schema,
       [] {
         std::string text = "version: 1\nx:\n";
         for (int level = 1; level <= 128; ++level) {
           text += std::string(2 * level, ' ') + "x:\n";
         }
         return text;
       }(),
       "recursion limit exceeded at line 130 column 257"},
      {"AliasBombIsStopped", Root::Policy, alias_bomb("when"), "repetition limit exceeded"},
      {"AliasBombUnderUnknownKeyIsNotFollowed", Root::Policy,
       alias_bomb("comment") + "  scope: {global: true}\n  when: [[a, b], in, {literal: 1}]\n"
                               "  effect: allow\n",
       ""},
      {"ManyAliasesToOneLargeNodeAreStopped", Root::Policy,
       "big: &big [" + repeated("1", 2000) + "]\n" + rule_when("[" + repeated("*big", 2000) + "]"),
       "repetition limit exceeded"},
      {"ModerateReuseLoads", Root::Policy,
       "version: 1\nrules:\n- &rule {id: r, scope: {global: true}, when: [[a, b], in, {literal: "
       "1}], effect: allow}\n" +
           repeated_lines("- *rule\n", 50),
       ""},
  };
}

INSTANTIATE_TEST_SUITE_P(Limits, LimitTable, ::testing::ValuesIn(limit_cases()), row_name);

TEST(HostileText, HugeScalarLoads) {
  const std::string id(1 << 20, 'x');
  const auto result = load_policy("version: 1\nrules:\n- {id: " + id +
                                  ", scope: {global: true}, when: [[a, b], in, {literal: 1}], "
                                  "effect: allow}\n");
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result->rules.at(0).id, id);
}

TEST(HostileText, EveryPrefixLoadsOrFailsWithAMessage) {
  const std::string text =
      "version: 0x1\n"
      "spare: &s {domain: actor, field: \"r\\u00e9le\\t\"}\n"
      "rules:\n"
      "  - &r\n"
      "    id: 'first # rule'\n"
      "    scope: {action: refund}\n"
      "    when:\n"
      "      any:\n"
      "        - [*s, in, {literal: -.inf}]\n"
      "        - {subject: *s, operator: equals, value: {subject: [a, b]}}\n"
      "    effect: !block\n"
      "  - *r\n"
      "  - {id: x, scope: {global: true}, when: {all: [[[a, b], in, {literal: \"two\n"
      "        lines\"}]]}, effect: allow}\n"
      "...\n";
  ASSERT_TRUE(load_policy(text).ok()) << load_message(Root::Policy, text);
  for (std::size_t length = 0; length < text.size(); ++length) {
    const auto result = load_policy(std::string_view(text).substr(0, length));
    if (!result) {
      EXPECT_FALSE(result.error().render().empty()) << "prefix of " << length;
    }
  }
}

}  // namespace
}  // namespace kavro::testing
