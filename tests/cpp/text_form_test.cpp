#include "compiler/text_form.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "compiler/policy_hash.h"
#include "compiler/unicode_escapes.h"
#include "engine/build_error.h"
#include "policy_builders.h"

namespace kavro {
namespace {

using namespace kavro::testing;

struct NumberCase {
  std::string name;
  double value;
  std::string expected;
};

class NumberForm : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberForm, ShortestRoundTripDigits) {
  std::string out;
  append_number(out, GetParam().value);
  EXPECT_EQ(out, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    TextForm, NumberForm,
    ::testing::Values(
        NumberCase{"Zero", 0.0, "0.0"}, NumberCase{"NegativeZero", -0.0, "-0.0"},
        NumberCase{"Five", 5.0, "5.0"}, NumberCase{"Tenth", 0.1, "0.1"},
        NumberCase{"Thousand", 1000.0, "1000.0"}, NumberCase{"Decimal", 123.456, "123.456"},
        NumberCase{"Negative", -2.5, "-2.5"}, NumberCase{"SmallestPositional", 1e-4, "0.0001"},
        NumberCase{"LargestScientificBelow", 1e-5, "1e-5"},
        NumberCase{"ScientificSmallWithDigits", 1.2345e-7, "1.2345e-7"},
        NumberCase{"BelowSwitch", 1e15, "1000000000000000.0"},
        NumberCase{"JustBelowSwitch", 9999999999999998.0, "9999999999999998.0"},
        NumberCase{"Switch", 1e16, "1e16"}, NumberCase{"ScientificLarge", 1.5e16, "1.5e16"},
        NumberCase{"NotExactlyRepresentable", 0.1 + 0.2, "0.30000000000000004"},
        NumberCase{"Largest", std::numeric_limits<double>::max(), "1.7976931348623157e308"},
        NumberCase{"SmallestNormal", std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
        NumberCase{"SmallestSubnormal", std::numeric_limits<double>::denorm_min(), "5e-324"},
        NumberCase{"NegativeScientific", -1.5e-9, "-1.5e-9"},
        NumberCase{"NaN", std::numeric_limits<double>::quiet_NaN(), "NaN"},
        NumberCase{"Infinity", std::numeric_limits<double>::infinity(), "inf"},
        NumberCase{"NegativeInfinity", -std::numeric_limits<double>::infinity(), "-inf"}),
    [](const auto& info) { return info.param.name; });

struct QuoteCase {
  std::string name;
  std::string text;
  std::string expected;
};

class QuotedText : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(QuotedText, EscapesWhatIsNotPrintable) {
  std::string out;
  append_quoted_text(out, GetParam().text);
  EXPECT_EQ(out, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    TextForm, QuotedText,
    ::testing::Values(
        QuoteCase{"Plain", "refund", "\"refund\""}, QuoteCase{"Empty", "", "\"\""},
        QuoteCase{"DoubleQuote", "say \"no\"", "\"say \\\"no\\\"\""},
        QuoteCase{"Backslash", "a\\b", "\"a\\\\b\""},
        QuoteCase{"ApostropheStays", "it's", "\"it's\""},
        QuoteCase{"LineFeed", "a\nb", "\"a\\nb\""}, QuoteCase{"CarriageReturn", "\r", "\"\\r\""},
        QuoteCase{"Tab", "\t", "\"\\t\""}, QuoteCase{"Nul", std::string("a\0b", 3), "\"a\\0b\""},
        QuoteCase{"Bell", "\a", "\"\\u{7}\""}, QuoteCase{"Delete", "\x7f", "\"\\u{7f}\""},
        QuoteCase{"C1Control", "\xC2\x85", "\"\\u{85}\""},
        QuoteCase{"NoBreakSpace", "\xC2\xA0", "\"\\u{a0}\""},
        QuoteCase{"CombiningAcute", "e\xCC\x81", "\"e\\u{301}\""},
        QuoteCase{"ZeroWidthSpace", "\xE2\x80\x8B", "\"\\u{200b}\""},
        QuoteCase{"ZeroWidthJoinerIsExtend", "\xE2\x80\x8D", "\"\\u{200d}\""},
        QuoteCase{"LineSeparator", "\xE2\x80\xA8", "\"\\u{2028}\""},
        QuoteCase{"ParagraphSeparator", "\xE2\x80\xA9", "\"\\u{2029}\""},
        QuoteCase{"IdeographicSpace", "\xE3\x80\x80", "\"\\u{3000}\""},
        QuoteCase{"ByteOrderMark", "\xEF\xBB\xBF", "\"\\u{feff}\""},
        QuoteCase{"PrivateUse", "\xEE\x80\x80", "\"\\u{e000}\""},
        QuoteCase{"Unassigned", "\xF0\x9F\xAF\xBF", "\"\\u{1fbff}\""},
        QuoteCase{"PrintableNonAscii", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
                  "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\""},
        QuoteCase{"ReplacementCharacterIsPrintable", "\xEF\xBF\xBD", "\"\xEF\xBF\xBD\""},
        QuoteCase{"MalformedByte",
                  "a\xFF"
                  "b",
                  "\"a\\u{fffd}b\""},
        QuoteCase{"TruncatedSequence", "\xE2\x82", "\"\\u{fffd}\\u{fffd}\""}),
    [](const auto& info) { return info.param.name; });

TEST(TextForm, UnicodeTableIsPinned) {
  EXPECT_EQ(unicode_escape_version(), "15.0.0");
}

CompiledPolicy worked_example() {
  CompiledPolicy policy;
  policy.action_rules["transfer"].push_back(rule(
      "r1", atomic(Domain::Action, "amount", Operator::GreaterThan, number(1000)), Effect::Block));
  policy.global_rules.push_back(
      rule("r2",
           AnyOf{{atomic(Domain::Actor, "role", Operator::Equals, text("manager")),
                  atomic(Domain::Snapshot, "locked", Operator::Equals, boolean(true))}},
           Effect::RequireApproval));
  return policy;
}

TEST(TextForm, WorkedExample) {
  EXPECT_EQ(
      policy_hash_text(worked_example()),
      "CompiledPolicy { action_rules: {\"transfer\": [CompiledRule { rule_id: \"r1\", condition: "
      "Atomic(AtomicCondition { lhs: SubjectRef { domain: Action, field: \"amount\" }, operator: "
      "GreaterThan, rhs: Literal(Number(1000.0)) }), effect: Block }]}, actor_rules: {}, "
      "global_rules: [CompiledRule { rule_id: \"r2\", condition: Any([AtomicCondition { lhs: "
      "SubjectRef { domain: Actor, field: \"role\" }, operator: Equals, rhs: "
      "Literal(String(\"manager\")) }, AtomicCondition { lhs: SubjectRef { domain: Snapshot, "
      "field: \"locked\" }, operator: Equals, rhs: Literal(Boolean(true)) }]), effect: "
      "RequireApproval }] }");
}

TEST(TextForm, EmptyPolicyTextAndDigest) {
  const CompiledPolicy empty;
  EXPECT_EQ(policy_hash_text(empty),
            "CompiledPolicy { action_rules: {}, actor_rules: {}, global_rules: [] }");
  EXPECT_EQ(policy_hash(empty), "e7e72b7a8b34255cd448b4c03dfee41a34fc891441e5a5fca68253f4bbf1b8c9");
}

TEST(TextForm, SubjectOnRightAndAllAndActorBuckets) {
  CompiledPolicy policy;
  policy.actor_rules["ops"].push_back(
      rule("a\"b\nc",
           AllOf{{atomic(Domain::Actor, "limit", Operator::LessThan,
                         CompiledValue(subject(Domain::Snapshot, "used"))),
                  atomic(Domain::Actor, "on", Operator::NotEquals, boolean(false))}},
           Effect::Allow));
  EXPECT_EQ(policy_hash_text(policy),
            "CompiledPolicy { action_rules: {}, actor_rules: {\"ops\": [CompiledRule { rule_id: "
            "\"a\\\"b\\nc\", condition: All([AtomicCondition { lhs: SubjectRef { domain: Actor, "
            "field: \"limit\" }, operator: LessThan, rhs: Subject(SubjectRef { domain: Snapshot, "
            "field: \"used\" }) }, AtomicCondition { lhs: SubjectRef { domain: Actor, field: "
            "\"on\" }, operator: NotEquals, rhs: Literal(Boolean(false)) }]), effect: Allow }]}, "
            "global_rules: [] }");
}

// The digest must not depend on the order in which map entries were created
// (nor on the hash map's iteration order).
TEST(TextForm, MapEntriesInAscendingByteOrder) {
  const std::vector<std::string> names = {"zeta", "alpha", "\xC3\xA9t\xC3\xA9", "Beta", "al"};
  CompiledPolicy forward, backward;
  for (const auto& name : names) {
    forward.action_rules[name].push_back(
        rule(name, atomic(Domain::Actor, "a", Operator::Equals, boolean(true)), Effect::Block));
  }
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    backward.action_rules[*it].push_back(
        rule(*it, atomic(Domain::Actor, "a", Operator::Equals, boolean(true)), Effect::Block));
  }
  const std::string text = policy_hash_text(forward);
  EXPECT_EQ(text, policy_hash_text(backward));
  EXPECT_EQ(policy_hash(forward), policy_hash(backward));
  std::vector<std::size_t> positions;
  for (const char* key : {"\"Beta\"", "\"al\"", "\"alpha\"", "\"zeta\"", "\"\xC3\xA9t\xC3\xA9\""}) {
    positions.push_back(text.find(std::string(key) + ": ["));
    ASSERT_NE(positions.back(), std::string::npos) << key;
  }
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
}

TEST(PolicyHash, DigestIsLowerHexAndTracksContent) {
  const CompiledPolicy policy = worked_example();
  const std::string digest = policy_hash(policy);
  ASSERT_EQ(digest.size(), 64u);
  EXPECT_EQ(digest.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(digest, policy_hash(policy));

  CompiledPolicy renamed = worked_example();
  renamed.global_rules[0].rule_id = "r3";
  EXPECT_NE(policy_hash(renamed), digest);
  CompiledPolicy other_effect = worked_example();
  other_effect.global_rules[0].effect = Effect::Block;
  EXPECT_NE(policy_hash(other_effect), digest);
}

TEST(TextForm, Violations) {
  EXPECT_EQ(engine::violations_text({}), "[]");
  EXPECT_EQ(engine::violations_text({{"r1", "no deletes"}, {"r2", "say \"hi\"\nnow"}}),
            "[GovernanceViolation { rule_id: \"r1\", message: \"no deletes\" }, "
            "GovernanceViolation { rule_id: \"r2\", message: \"say \\\"hi\\\"\\nnow\" }]");
}

}  // namespace
}  // namespace kavro
