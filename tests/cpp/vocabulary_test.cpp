#include "documents/vocabulary.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace kavro {
namespace {

// Every word is found by its own spelling and by no other casing of it.
template <class Enum>
void expect_spellings_round_trip() {
  for (const auto& entry : Vocabulary<Enum>::words) {
    EXPECT_EQ(from_spelling<Enum>(entry.spelling), entry.value) << entry.spelling;
    EXPECT_EQ(from_spelling<Enum>(entry.variant_name), std::nullopt) << entry.variant_name;
  }
}

TEST(Vocabulary, SpellingsRoundTrip) {
  expect_spellings_round_trip<Domain>();
  expect_spellings_round_trip<Operator>();
  expect_spellings_round_trip<FieldType>();
  expect_spellings_round_trip<Effect>();
  EXPECT_EQ(from_spelling<Operator>(""), std::nullopt);
}

struct ApplicabilityCase {
  Operator op;
  bool string;
  bool number;
  bool boolean;
};

class Applicability : public ::testing::TestWithParam<ApplicabilityCase> {};

TEST_P(Applicability, OperatorAppliesToItsTypes) {
  const auto& c = GetParam();
  EXPECT_EQ(applies_to(c.op, FieldType::String), c.string);
  EXPECT_EQ(applies_to(c.op, FieldType::Number), c.number);
  EXPECT_EQ(applies_to(c.op, FieldType::Boolean), c.boolean);
}

INSTANTIATE_TEST_SUITE_P(
    Vocabulary, Applicability,
    ::testing::Values(ApplicabilityCase{Operator::Equals, true, true, true},
                      ApplicabilityCase{Operator::NotEquals, true, true, true},
                      ApplicabilityCase{Operator::GreaterThan, false, true, false},
                      ApplicabilityCase{Operator::LessThan, false, true, false},
                      ApplicabilityCase{Operator::In, false, false, false},
                      ApplicabilityCase{Operator::NotIn, false, false, false}),
    [](const auto& info) { return std::string(variant_name(info.param.op)); });

}  // namespace
}  // namespace kavro
