#include "engine/decision_json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "engine/batch_answers.h"
#include "engine/policy.h"
#include "refund_documents.h"
#include "support/json_text.h"

namespace kavro::engine {
namespace {

struct TextCase {
  const char* name;
  std::string text;
  std::string json;
};

class JsonTextTest : public testing::TestWithParam<TextCase> {};

TEST_P(JsonTextTest, EscapesOnlyWhatJsonNeeds) {
  std::string out = "x";
  append_json_text(out, GetParam().text);
  EXPECT_EQ(out, "x" + GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, JsonTextTest,
    testing::Values(TextCase{"plain", "refund", "\"refund\""}, TextCase{"empty", "", "\"\""},
                    TextCase{"quote_and_backslash", "a\"b\\c", R"("a\"b\\c")"},
                    TextCase{"named_controls", "\n\r\t\b\f", R"("\n\r\t\b\f")"},
                    TextCase{"other_controls", std::string("\x00\x1f", 2), R"("\u0000\u001f")"},
                    // Non-ASCII stays raw, as the standard encoder writes it without ensure_ascii;
                    // so does U+2028, which JSON allows in a string.
                    TextCase{"non_ascii", "z\xc3\xa9\xe2\x80\xa8", "\"z\xc3\xa9\xe2\x80\xa8\""},
                    TextCase{"escape_last", "ab\"", R"("ab\"")"}),
    [](const testing::TestParamInfo<TextCase>& info) { return std::string(info.param.name); });

struct FloatCase {
  const char* name;
  double number;
  const char* json;
};

class JsonFloatTest : public testing::TestWithParam<FloatCase> {};

// Each reads back in Python as a float of the same value (the sign of zero too).
TEST_P(JsonFloatTest, ReadsBackAsTheSameFloat) {
  std::string out;
  append_json_float(out, GetParam().number);
  EXPECT_EQ(out, GetParam().json);
}

INSTANTIATE_TEST_SUITE_P(
    Floats, JsonFloatTest,
    testing::Values(FloatCase{"integral", 7.0, "7.0"}, FloatCase{"negative_integral", -5.0, "-5.0"},
                    FloatCase{"zero", 0.0, "0.0"}, FloatCase{"negative_zero", -0.0, "-0.0"},
                    FloatCase{"fraction", 0.1, "0.1"},
                    FloatCase{"large_integral", 123456789.0, "123456789.0"},
                    FloatCase{"last_integral_in_digits", 9999999999999998.0, "9999999999999998.0"},
                    FloatCase{"exponent", 1e16, "1e+16"}, FloatCase{"small", 1e-7, "1e-07"},
                    FloatCase{"nan", std::numeric_limits<double>::quiet_NaN(), "NaN"},
                    FloatCase{"infinity", std::numeric_limits<double>::infinity(), "Infinity"},
                    FloatCase{"minus_infinity", -std::numeric_limits<double>::infinity(),
                              "-Infinity"}),
    [](const testing::TestParamInfo<FloatCase>& info) { return std::string(info.param.name); });

TEST(JsonIntegerTest, WritesTheExtremes) {
  std::string out;
  append_json_integer(out, std::numeric_limits<std::int64_t>::min());
  out += ' ';
  append_json_integer(out, 0);
  EXPECT_EQ(out, "-9223372036854775808 0");
}

TEST(DecisionJsonTest, DecisionAndLineFrames) {
  std::string decision;
  append_decision(decision, Effect::Block, "r\"1", "abc", std::nullopt);
  EXPECT_EQ(decision, R"({"effect":"block","matched_rule":"r\"1","policy_hash":"abc"})");
  decision.clear();
  append_decision(decision, Effect::Allow, std::nullopt, "abc", "id7");
  EXPECT_EQ(decision,
            R"({"effect":"allow","matched_rule":null,"policy_hash":"abc","decision_id":"id7"})");

  std::string line;
  open_decision_line(line, "T", "id7", "abc");
  line += R"(,"action":{"type":"refund"})";
  const std::vector<std::string> masked = {"actor.email"};
  close_decision_line(line, "require_approval", "r2", masked);
  EXPECT_EQ(line,
            R"({"time":"T","decision_id":"id7","policy_hash":"abc","action":{"type":"refund"},)"
            R"("effect":"require_approval","matched_rule":"r2","masked":["actor.email"]})");
}

TEST(DecisionJsonTest, IdsAreUniqueAndAtLeastEightDigits) {
  DecisionIds ids("p-");
  EXPECT_EQ(ids.next(), "p-00000000");
  EXPECT_EQ(ids.next(), "p-00000001");
  for (int i = 2; i < 0x1f; ++i) ids.next();
  EXPECT_EQ(ids.next(), "p-0000001f");
}

TEST(DecisionJsonTest, ClockWritesUtcToTheMicrosecond) {
  LineClock clock;
  const std::string first(clock.now());
  const std::string second(clock.now());
  const std::regex shape(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z)");
  EXPECT_TRUE(std::regex_match(first, shape)) << first;
  EXPECT_TRUE(std::regex_match(second, shape)) << second;
  EXPECT_LE(first, second);
}

constexpr const char* kSchema = test_documents::kRefundSchema;
constexpr const char* kPolicy = test_documents::kRefundPolicy;

// A request as a source of the batch converts it: the action's amount, or a
// request it answers itself, or a failure.
struct FakeRequest {
  Conversion conversion = Conversion::Converted;
  std::optional<double> amount;
  std::string type = "refund";
};

FakeRequest refund(std::optional<double> amount, std::string type = "refund") {
  return {Conversion::Converted, amount, std::move(type)};
}
FakeRequest converted_by(Conversion conversion) {
  return {conversion, std::nullopt, "refund"};
}

struct FakeSource {
  const Policy& policy;
  std::vector<FakeRequest> requests;
  std::vector<std::size_t> answered;
  std::vector<std::size_t> logged;
  bool log_ids = false;

  Conversion convert(std::size_t index, ConvertedRequest& request) {
    const FakeRequest& fake = requests[index];
    if (fake.conversion != Conversion::Converted) return fake.conversion;
    request.sections.push_back("action");
    request.entries.push_back({Domain::Action, "type", ValueKind::String, "str", fake.type});
    const InputFields& slots = policy.input_fields();
    if (const auto slot = slots.find(Domain::Action, "type"); slot != kNoSlot) {
      request.row[slot] = ValueView::of_string(fake.type);
    }
    if (fake.amount) {
      request.entries.push_back({Domain::Action, "amount", ValueKind::Number, "float", {}});
      request.row[slots.find(Domain::Action, "amount")] = ValueView::of_number(*fake.amount);
    }
    return Conversion::Converted;
  }
  bool answer(std::size_t index, BatchAnswers& answers) {
    answered.push_back(index);
    answers.answered("{\"refused\":" + std::to_string(index) + "}");
    return true;
  }
  bool log(std::size_t index, std::uint32_t, std::optional<std::string>& id) {
    logged.push_back(index);
    if (log_ids) id = "d" + std::to_string(index);
    return true;
  }
};

struct BatchCase {
  const char* name;
  std::vector<FakeRequest> requests;
  bool check;
  bool log_ids;
  bool answered_whole;  // false: the batch stops at a failed conversion
  std::string decisions;
  std::vector<std::size_t> answered_elsewhere;
};

class BatchAnswersTest : public testing::TestWithParam<BatchCase> {};

TEST_P(BatchAnswersTest, AnswersEveryRequestInOrder) {
  const BatchCase& row = GetParam();
  auto policy = Policy::build(kSchema, kPolicy);
  ASSERT_TRUE(policy);
  FakeSource source{*policy, row.requests, {}, {}, row.log_ids};
  BatchAnswers answers(*policy, "h");
  const bool whole = answer_batch(*policy, row.requests.size(), source, row.check, answers);
  ASSERT_EQ(whole, row.answered_whole);
  EXPECT_EQ(source.answered, row.answered_elsewhere);
  if (!whole) return;
  EXPECT_EQ(answers.finish(), R"({"policy_hash":"h","decisions":[)" + row.decisions + "]}");
}

const std::string kBlock = R"({"effect":"block","matched_rule":"big","policy_hash":"h")";
const std::string kAllow = R"({"effect":"allow","matched_rule":null,"policy_hash":"h")";

INSTANTIATE_TEST_SUITE_P(
    Batches, BatchAnswersTest,
    testing::Values(
        BatchCase{"empty", {}, true, false, true, "", {}},
        BatchCase{"decided",
                  {refund(50.0), refund(5.0)},
                  true,
                  false,
                  true,
                  kBlock + "}," + kAllow + "}",
                  {}},
        BatchCase{
            "logged_ids", {refund(50.0)}, true, true, true, kBlock + R"(,"decision_id":"d0"})", {}},
        BatchCase{"elsewhere_in_place",
                  {refund(50.0), converted_by(Conversion::Elsewhere), refund(std::nullopt)},
                  true,
                  false,
                  true,
                  kBlock + R"(},{"refused":1},)" + kAllow + "}",
                  {1}},
        // The engine's own check refuses an undeclared action; without the check it decides.
        BatchCase{"checked", {refund(50.0, "refnud")}, true, false, true, R"({"refused":0})", {0}},
        BatchCase{"unchecked", {refund(50.0, "refnud")}, false, false, true, kAllow + "}", {}},
        BatchCase{"failed",
                  {converted_by(Conversion::Elsewhere), converted_by(Conversion::Failed),
                   converted_by(Conversion::Elsewhere)},
                  true,
                  false,
                  false,
                  "",
                  {0}}),
    [](const testing::TestParamInfo<BatchCase>& info) { return std::string(info.param.name); });

TEST(BatchAnswersCountTest, CountsByDecidingRule) {
  auto policy = Policy::build(kSchema, kPolicy);
  ASSERT_TRUE(policy);
  FakeSource source{*policy,
                    {refund(50.0), refund(1.0), refund(60.0), converted_by(Conversion::Elsewhere)},
                    {},
                    {},
                    false};
  BatchAnswers answers(*policy, "h");
  ASSERT_TRUE(answer_batch(*policy, 4, source, true, answers));
  EXPECT_EQ(answers.counts(), (std::vector<std::uint64_t>{2, 1}));
  EXPECT_EQ(source.logged, (std::vector<std::size_t>{0, 1, 2}));
}

}  // namespace
}  // namespace kavro::engine
