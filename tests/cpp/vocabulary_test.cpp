#include "documents/vocabulary.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace kavro {
namespace {

// Every word is found by its own spelling and by no other casing of it.
template <class Enum>
void expect_spellings_round_trip() {
  for (const auto& entry : documents::Vocabulary<Enum>::words) {
    EXPECT_EQ(documents::from_spelling<Enum>(entry.spelling), entry.value) << entry.spelling;
    EXPECT_EQ(documents::from_spelling<Enum>(entry.variant_name), std::nullopt)
        << entry.variant_name;
  }
}

TEST(Vocabulary, SpellingsRoundTrip) {
  expect_spellings_round_trip<documents::Domain>();
  expect_spellings_round_trip<documents::Operator>();
  expect_spellings_round_trip<documents::FieldType>();
  expect_spellings_round_trip<documents::Effect>();
  EXPECT_EQ(documents::from_spelling<documents::Operator>(""), std::nullopt);
}

struct ApplicabilityCase {
  documents::Operator op;
  bool string;
  bool number;
  bool boolean;
};

class Applicability : public ::testing::TestWithParam<ApplicabilityCase> {};

TEST_P(Applicability, OperatorAppliesToItsTypes) {
  const auto& c = GetParam();
  EXPECT_EQ(documents::applies_to(c.op, documents::FieldType::String), c.string);
  EXPECT_EQ(documents::applies_to(c.op, documents::FieldType::Number), c.number);
  EXPECT_EQ(documents::applies_to(c.op, documents::FieldType::Boolean), c.boolean);
}

INSTANTIATE_TEST_SUITE_P(
    Vocabulary, Applicability,
    ::testing::Values(ApplicabilityCase{documents::Operator::Equals, true, true, true},
                      ApplicabilityCase{documents::Operator::NotEquals, true, true, true},
                      ApplicabilityCase{documents::Operator::GreaterThan, false, true, false},
                      ApplicabilityCase{documents::Operator::LessThan, false, true, false},
                      ApplicabilityCase{documents::Operator::In, false, false, false},
                      ApplicabilityCase{documents::Operator::NotIn, false, false, false}),
    [](const auto& info) { return std::string(documents::variant_name(info.param.op)); });

}  // namespace
}  // namespace kavro
