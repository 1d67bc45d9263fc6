// How scalars are typed and named in messages ("<found>"), rule by rule.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "documents/scalar_typing.h"

namespace kavro {
namespace {

struct TypingCase {
  std::string name;
  std::string text;
  bool plain;
  std::string found;
};

void PrintTo(const TypingCase& row, std::ostream* out) {
  *out << row.name;
}

class ScalarTypingTable : public ::testing::TestWithParam<TypingCase> {};

TEST_P(ScalarTypingTable, TypesAndDescribesTheScalar) {
  const TypingCase& row = GetParam();
  EXPECT_EQ(documents::detail::describe_found(documents::detail::type_scalar(row.text, row.plain)),
            row.found);
}

std::string integer(const std::string& digits) {
  return "integer `" + digits + "`";
}
std::string floating(const std::string& digits) {
  return "floating point `" + digits + "`";
}
std::string text(const std::string& quoted) {
  return "string \"" + quoted + "\"";
}

std::vector<TypingCase> null_and_boolean_cases() {
  return {
      {"Empty", "", true, "unit value"},
      {"Tilde", "~", true, "unit value"},
      {"NullLower", "null", true, "unit value"},
      {"NullCapitalised", "Null", true, "unit value"},
      {"NullUpper", "NULL", true, "unit value"},
      {"NullMixedCaseIsText", "nULL", true, text("nULL")},
      {"QuotedEmptyIsText", "", false, text("")},
      {"QuotedTildeIsText", "~", false, text("~")},
      {"TrueLower", "true", true, "boolean `true`"},
      {"TrueCapitalised", "True", true, "boolean `true`"},
      {"TrueUpper", "TRUE", true, "boolean `true`"},
      {"FalseLower", "false", true, "boolean `false`"},
      {"FalseCapitalised", "False", true, "boolean `false`"},
      {"FalseUpper", "FALSE", true, "boolean `false`"},
      {"YesIsText", "yes", true, text("yes")},
      {"OffIsText", "off", true, text("off")},
      {"QuotedTrueIsText", "true", false, text("true")},
  };
}

std::vector<TypingCase> integer_cases() {
  return {
      {"Zero", "0", true, integer("0")},
      {"PlusSign", "+5", true, integer("5")},
      {"Negative", "-5", true, integer("-5")},
      {"NegativeZero", "-0", true, integer("0")},
      {"Hexadecimal", "0x1f", true, integer("31")},
      {"HexadecimalUpperDigits", "0xFF", true, integer("255")},
      {"UpperPrefixIsText", "0X1F", true, text("0X1F")},
      {"PlusBeforePrefix", "+0x10", true, integer("16")},
      {"MinusBeforePrefixIsText", "-0x10", true, text("-0x10")},
      {"SignAfterPrefixIsText", "0x-1", true, text("0x-1")},
      {"PrefixWithoutDigitsIsText", "0x", true, text("0x")},
      {"Octal", "0o17", true, integer("15")},
      {"Binary", "0b101", true, integer("5")},
      {"DigitOutsideBaseIsText", "0b102", true, text("0b102")},
      {"LeadingZeroIsText", "0123", true, text("0123")},
      {"SignedLeadingZeroIsText", "-007", true, text("-007")},
      {"DoubleZeroIsText", "00", true, text("00")},
      {"TwoSignsAreText", "+-1", true, text("+-1")},
      {"UnderscoresAreText", "1_000", true, text("1_000")},
      {"LargestUnsigned", "18446744073709551615", true, integer("18446744073709551615")},
      {"MostNegative", "-9223372036854775808", true, integer("-9223372036854775808")},
      {"BeyondUnsignedIsFloat", "18446744073709551616", true, floating("18446744073709552000.0")},
      {"BelowSignedIsFloat", "-9223372036854775809", true, floating("-9223372036854776000.0")},
      {"HexBeyondUnsignedIsText", "0x10000000000000000", true, text("0x10000000000000000")},
      {"QuotedNumberIsText", "5", false, text("5")},
  };
}

std::vector<TypingCase> float_cases() {
  return {
      {"WholeFloatKeepsOneDecimal", "2.0", true, floating("2.0")},
      {"TrailingPoint", "2.", true, floating("2.0")},
      {"LeadingPoint", ".5", true, floating("0.5")},
      {"NegativeLeadingPoint", "-.5", true, floating("-0.5")},
      {"PlusSign", "+1.5", true, floating("1.5")},
      {"Exponent", "1e3", true, floating("1000.0")},
      {"NegativeExponent", "1E-2", true, floating("0.01")},
      {"SmallIsPositional", "1e-7", true, floating("0.0000001")},
      {"LargeIsPositional", "1.5e20", true, floating("150000000000000000000.0")},
      {"ShortestDigits", "0.1", true, floating("0.1")},
      {"LeadingZeroBeforePoint", "00.5", true, floating("0.5")},
      {"Underflow", "1e-400", true, floating("0.0")},
      {"NegativeUnderflow", "-1e-400", true, floating("-0.0")},
      {"LongZeroFractionUnderflows", "0." + std::string(400, '0') + "1", true, floating("0.0")},
      {"OverflowIsText", "1e400", true, text("1e400")},
      {"LongIntegerPartOverflowsToText", std::string(400, '9') + ".5", true,
       text(std::string(400, '9') + ".5")},
      {"Infinity", ".inf", true, floating("inf")},
      {"InfinityCapitalised", ".Inf", true, floating("inf")},
      {"InfinityUpperWithPlus", "+.INF", true, floating("inf")},
      {"NegativeInfinity", "-.inf", true, floating("-inf")},
      {"NotANumber", ".NaN", true, floating("NaN")},
      {"NotANumberUpper", ".NAN", true, floating("NaN")},
      {"SignedNotANumberIsText", "+.nan", true, text("+.nan")},
      {"BareInfIsText", "inf", true, text("inf")},
      {"BareNanIsText", "nan", true, text("nan")},
      {"ExponentWithoutDigitsIsText", "1e", true, text("1e")},
      {"LonePointIsText", ".", true, text(".")},
      {"MixedCaseInfinityIsText", ".iNF", true, text(".iNF")},
  };
}

std::vector<TypingCase> quoting_cases() {
  return {
      {"QuoteAndBackslash", "a\"b\\c", false, "string \"a\\\"b\\\\c\""},
      {"LineBreaksAndTab", "\n\r\t", false, "string \"\\n\\r\\t\""},
      {"Nul", std::string("a\0b", 3), false, "string \"a\\0b\""},
      {"OtherControlCharacters", "\x01\x1b\x7f", false, "string \"\\u{1}\\u{1b}\\u{7f}\""},
      {"NextLineControl", "a\xc2\x85z", false, "string \"a\\u{85}z\""},
      {"PrintableNonAscii", "caf\xc3\xa9 \xe2\x80\xa8", false,
       "string \"caf\xc3\xa9 \xe2\x80\xa8\""},
  };
}

INSTANTIATE_TEST_SUITE_P(NullAndBoolean, ScalarTypingTable,
                         ::testing::ValuesIn(null_and_boolean_cases()),
                         [](const auto& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(Integer, ScalarTypingTable, ::testing::ValuesIn(integer_cases()),
                         [](const auto& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(Float, ScalarTypingTable, ::testing::ValuesIn(float_cases()),
                         [](const auto& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(Quoting, ScalarTypingTable, ::testing::ValuesIn(quoting_cases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kavro
