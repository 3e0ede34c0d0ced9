#include "platform/value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/error.h"

namespace veldon {
namespace {

TEST(NumericValue, ReadsTheLeadingNumberAndAnExponentOnlyWhenDigitsFollow) {
    const std::pair<const char*, double> cases[] = {{"2 ", 2},
                                                    {" 1 ", 1},
                                                    {"-909", -909},
                                                    {"+7", 7},
                                                    {"4545.25", 4545.25},
                                                    {".5", 0.5},
                                                    {"-909.5x", -909.5},
                                                    {"12abc", 12},
                                                    {"2412050001", 2412050001.0},
                                                    {"1e3", 1000},
                                                    {"1E-2", 0.01},
                                                    {"1e", 1},
                                                    {"1e+", 1},
                                                    {"5ex", 5},
                                                    {"", 0},
                                                    {"abc", 0},
                                                    {"  -", 0},
                                                    {".", 0},
                                                    {"x1", 0},
                                                    {"- 1", 0}};
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(numericValue(text), value) << '"' << text << '"';
    }
}

TEST(NumberToText, ShortestDecimalWithoutExponent) {
    const std::pair<double, const char*> cases[] = {
        {0, "0"},
        {-0.0, "0"},
        {4545.25, "4545.25"},
        {-1000, "-1000"},
        {1e15, "1000000000000000"},
        {1e-7, "0.0000001"},
        {0.1 + 0.2, "0.30000000000000004"},
        {1.0 / 3, "0.3333333333333333"},
        {std::numeric_limits<double>::quiet_NaN(), "NaN"},
        {std::numeric_limits<double>::infinity(), "Infinity"},
        {-std::numeric_limits<double>::infinity(), "-Infinity"}};
    for (const auto& [number, text] : cases) {
        EXPECT_EQ(numberToText(number), text);
    }
}

TEST(NumberToText, ReadsBackToTheSameNumber) {
    for (double value : {0.1, 123456.789, -0.000123, 9007199254740993.0, 1e300, 5e-324}) {
        EXPECT_EQ(numericValue(numberToText(value)), value) << numberToText(value);
    }
}

TEST(IntegerToText, WholeRangeInDecimal) {
    EXPECT_EQ(integerToText(0), "0");
    EXPECT_EQ(integerToText(-500), "-500");
    EXPECT_EQ(integerToText(2412050001), "2412050001");
    EXPECT_EQ(integerToText(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
    EXPECT_EQ(integerToText(std::numeric_limits<std::int64_t>::max()), "9223372036854775807");
}

TEST(ValueText, EachKindHasItsForm) {
    EXPECT_EQ(Value::boolean(true).toText(), "True");
    EXPECT_EQ(Value::boolean(false).toText(), "False");
    EXPECT_EQ(Value::integer(-909).toText(), "-909");
    EXPECT_EQ(Value::real(4545.25).toText(), "4545.25");
    EXPECT_EQ(Value::real(10000).toText(), "10000");
    EXPECT_EQ(Value::text(" 가 ").toText(), " 가 ");
}

TEST(ValueText, NullHasNoTextForm) {
    try {
        (void)Value().toText();
        FAIL() << "Null became text";
    } catch (const Error& e) {
        EXPECT_EQ(e.number(), errc::InvalidUseOfNull);
        EXPECT_EQ(e.number(), 94);
    }
    EXPECT_EQ(Value().textOr(""), "");
    EXPECT_EQ(Value().textOr("(null)"), "(null)");
    EXPECT_EQ(Value::integer(7).textOr("(null)"), "7");
}

TEST(ValueNumber, BooleansAreMinusOneAndZero) {
    EXPECT_EQ(Value::boolean(true).toNumber(), -1);
    EXPECT_EQ(Value::boolean(false).toNumber(), 0);
    EXPECT_EQ(Value().toNumber(), 0);
    EXPECT_EQ(Value::text(" 7 ").toNumber(), 7);
    EXPECT_EQ(Value::integer(2412050001).toNumber(), 2412050001.0);
}

TEST(RoundHalfEven, HalvesGoToTheEvenNeighbour) {
    EXPECT_EQ(roundHalfEven(2.5), 2);
    EXPECT_EQ(roundHalfEven(3.5), 4);
    EXPECT_EQ(roundHalfEven(-2.5), -2);
    EXPECT_EQ(roundHalfEven(-3.5), -4);
    EXPECT_EQ(roundHalfEven(0.5), 0);
    EXPECT_EQ(roundHalfEven(2.4999), 2);
    EXPECT_EQ(roundHalfEven(2.5001), 3);
}

TEST(TextHelpers, TrimDropsOnlyBlanksAndLeftCountsCharacters) {
    EXPECT_EQ(trimBlanks("  1 "), "1");
    EXPECT_EQ(trimBlanks("\t1\t"), "\t1\t");
    EXPECT_EQ(trimBlanks("   "), "");
    EXPECT_EQ(leftChars("외식업후불_서울", 5), "외식업후불");  // characters, not bytes
    EXPECT_EQ(leftChars("전문점", 5), "전문점");
    EXPECT_EQ(leftChars("ab", 0), "");
}

}  // namespace
}  // namespace veldon
