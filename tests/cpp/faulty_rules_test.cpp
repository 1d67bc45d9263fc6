// Reading a policy past its faulty rules: each rule that does not read is
// skipped with its own error, the first being the error a plain load reports;
// the rules that read are kept; faults outside a rule still end the reading.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "documents/loader.h"

namespace kavro {
namespace {

struct SkipCase {
  std::string name;
  std::string text;
  std::vector<std::string> read;     // ids of the rules kept
  std::vector<std::string> skipped;  // "index: message" of each skipped rule
  std::string end;                   // the error that ended the reading, "" when none
};

void PrintTo(const SkipCase& row, std::ostream* out) {
  *out << row.name;
}

std::string rule(std::string_view id, std::string_view extra = "effect: block") {
  return "  - id: " + std::string(id) +
         "\n    scope: { global: true }\n"
         "    when: { subject: { domain: actor, field: role }, operator: equals, "
         "value: { literal: x } }\n    " +
         std::string(extra) + "\n";
}

class FaultyRulesTable : public ::testing::TestWithParam<SkipCase> {};

TEST_P(FaultyRulesTable, SkipsEachFaultyRuleAndKeepsTheOthers) {
  const SkipCase& row = GetParam();
  const documents::PolicyReading reading = documents::read_policy_past_faulty_rules(row.text);
  std::vector<std::string> read;
  if (reading.policy) {
    for (const documents::RuleAst& kept : reading.policy->rules) read.push_back(kept.id);
  }
  std::vector<std::string> skipped;
  for (const documents::SkippedRule& one : reading.skipped) {
    skipped.push_back(std::to_string(one.index) + ": " + one.error.render());
  }
  EXPECT_EQ(read, row.read);
  EXPECT_EQ(skipped, row.skipped);
  EXPECT_EQ(reading.policy ? std::string() : reading.policy.error().render(), row.end);

  // A plain load stops at the first fault and reports it exactly.
  const auto plain = documents::load_policy(row.text);
  const std::string first =
      !reading.skipped.empty() ? reading.skipped.front().error.render() : row.end;
  EXPECT_EQ(plain ? std::string() : plain.error().render(), first);
}

INSTANTIATE_TEST_SUITE_P(
    Policies, FaultyRulesTable,
    ::testing::Values(
        SkipCase{"Clean", "version: 1\nrules:\n" + rule("a") + rule("b"), {"a", "b"}, {}, ""},
        SkipCase{"MissingKeyThenUnknownEffectThenWrongType",
                 "version: 1\nrules:\n" + rule("a", "efect: block") + rule("b") +
                     rule("c", "effect: deny") + rule("d", "effect: [block]") + rule("e"),
                 {"b", "e"},
                 {"0: rules[0]: missing field `effect` at line 3 column 5",
                  "2: rules[2].effect: unknown variant `deny`, expected one of `allow`, `block`, "
                  "`require_approval` at line 14 column 13",
                  "3: rules[3].effect: invalid type: sequence, expected a YAML tag starting with "
                  "'!' at line 18 column 13"},
                 ""},
        SkipCase{"ConditionThatIsNoShape",
                 "version: 1\nrules:\n  - id: a\n    scope: { global: true }\n"
                 "    when: { subject: { domain: actor, field: role }, oprator: equals, "
                 "value: { literal: x } }\n    effect: block\n" +
                     rule("b"),
                 {"b"},
                 {"0: rules[0]: data did not match any variant of untagged enum ConditionAst at "
                  "line 3 column 5"},
                 ""},
        SkipCase{"RuleThatIsNoMapping",
                 "version: 1\nrules:\n  - just text\n" + rule("b"),
                 {"b"},
                 {"0: rules[0]: invalid type: string \"just text\", expected struct RuleAst at "
                  "line 3 column 5"},
                 ""},
        // The version is no rule's: its fault ends the reading, after the
        // rules' own when it comes later.
        SkipCase{"FaultOutsideAnyRuleEndsTheReading",
                 "rules:\n" + rule("a", "efect: block") + rule("b") + "version: x\n",
                 {},
                 {"0: rules[0]: missing field `effect` at line 2 column 5"},
                 "version: invalid type: string \"x\", expected u32 at line 10 column 10"},
        // A document cut short is no rule's fault either; the rule it cuts
        // is read as far as it goes, as a plain load reads it.
        SkipCase{"SyntaxErrorEndsTheReading",
                 "version: 1\nrules:\n" + rule("a") + "  - id: [b\n",
                 {},
                 {"1: rules[1].id: invalid type: sequence, expected a string at line 7 column 9"},
                 "did not find expected ',' or ']' at line 8 column 1, while parsing a flow "
                 "sequence at line 7 column 9"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kavro
