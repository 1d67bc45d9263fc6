// The loader's limits (nesting budget, alias repetition) and hostile texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "document_test_support.h"
#include "documents/event_stream.h"
#include "documents/reading_context.h"

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

// Following aliases may replay at most 100 times the document: 100 times its
// events in aliases followed, and 100 times its weight (events plus scalar
// bytes) in replayed weight. Each row names the text, whose first alias is
// followed again and again, and which of the two bounds it reaches first.
struct RepetitionCase {
  const char* name;
  const char* text;
  bool bound_by_weight;
};

class RepetitionBound : public ::testing::TestWithParam<RepetitionCase> {};

TEST_P(RepetitionBound, AllowsTheFactorAndRefusesOneMore) {
  constexpr std::size_t kFactor = 100;
  YamlEventStream stream(GetParam().text);
  auto document = stream.first_document();
  ASSERT_TRUE(document.ok());
  std::size_t alias = 0;
  while ((*document)[alias].kind != EventKind::Alias) ++alias;
  const std::size_t replayed = document->weight(document->link((*document)[alias]));
  const std::size_t by_count = kFactor * document->size();
  const std::size_t by_weight = kFactor * document->total_weight() / replayed;
  // The row's claim about which bound binds must hold, or the row pins nothing.
  ASSERT_EQ(by_weight < by_count, GetParam().bound_by_weight);
  const std::size_t allowed = std::min(by_count, by_weight);
  if (GetParam().bound_by_weight) {
    // Exactly at the bound, so that `>=` in place of `>` is caught as well.
    ASSERT_EQ(kFactor * document->total_weight() % replayed, 0u);
  }

  ReadingContext context(*document);
  for (std::size_t follow = 1; follow <= allowed; ++follow) {
    ASSERT_TRUE(context.resolve(alias).ok()) << "follow " << follow << " of " << allowed;
  }
  const auto over = context.resolve(alias);
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error().render(), "repetition limit exceeded");
}

INSTANTIATE_TEST_SUITE_P(
    Limits, RepetitionBound,
    ::testing::Values(
        // An empty scalar weighs one event: the count of aliases binds first.
        RepetitionCase{"AliasCount", "a: &x\nb: *x\n", false},
        // A long scalar outweighs its one event: the replayed weight binds first,
        // and its weight (35) divides 100 times the document's (42).
        RepetitionCase{"ReplayedWeight", "a: &x yyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy\nb: *x\n",
                       true}),
    [](const ::testing::TestParamInfo<RepetitionCase>& info) { return info.param.name; });

}  // namespace
}  // namespace kavro::testing
