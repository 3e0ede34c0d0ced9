#include "platform/clock.h"

#include <gtest/gtest.h>

#include <tuple>

namespace veldon {
namespace {

DateTime day(int year, int month, int dayOfMonth) {
    return {year, month, dayOfMonth, 0, 0, 0};
}

TEST(DateTimeAddDays, CrossesMonthYearAndLeapDayEndsAndKeepsTheTime) {
    const std::tuple<DateTime, int, DateTime> cases[] = {
        {day(2024, 2, 28), 1, day(2024, 2, 29)},
        {day(2024, 3, 1), -1, day(2024, 2, 29)},
        {day(2023, 2, 28), 1, day(2023, 3, 1)},
        {day(1900, 2, 28), 1, day(1900, 3, 1)},
        {day(2000, 2, 28), 1, day(2000, 2, 29)},
        {day(2024, 12, 31), 1, day(2025, 1, 1)},
        {day(2024, 5, 1), -1, day(2024, 4, 30)},
        {day(2024, 3, 5), -400, day(2023, 1, 30)},
        {{2024, 2, 29, 23, 59, 58}, 1, {2024, 3, 1, 23, 59, 58}}};
    for (const auto& [from, days, to] : cases) {
        EXPECT_EQ(from.addDays(days), to) << from.toDateTimeText() << " + " << days;
    }
}

TEST(DateTimeText, PadsEveryFieldWithZeros) {
    const DateTime stamp{2024, 3, 5, 14, 7, 9};
    EXPECT_EQ(stamp.toDateText(), "2024-03-05");
    EXPECT_EQ(stamp.toDateTimeText(), "2024-03-05 14:07:09");
    EXPECT_EQ((DateTime{987, 1, 2, 3, 4, 5}).toDateTimeText(), "0987-01-02 03:04:05");
}

TEST(DateTimeText, MidnightIsADateOnly) {
    EXPECT_EQ(day(2024, 3, 5).toText(), "2024-03-05");
    EXPECT_EQ((DateTime{2024, 3, 5, 0, 0, 1}).toText(), "2024-03-05 00:00:01");
    EXPECT_EQ((DateTime{2024, 3, 5, 12, 0, 0}).toText(), "2024-03-05 12:00:00");
}

TEST(ParseDateTime, AcceptsDatesAndDateTimesInTheUsualForms) {
    DateTime out;
    ASSERT_TRUE(parseDateTime("2024-03-05", out));
    EXPECT_EQ(out, day(2024, 3, 5));
    ASSERT_TRUE(parseDateTime("2024-03-05 14:07:09", out));
    EXPECT_EQ(out, (DateTime{2024, 3, 5, 14, 7, 9}));
    ASSERT_TRUE(parseDateTime("2024-03-05 14:07", out));
    EXPECT_EQ(out, (DateTime{2024, 3, 5, 14, 7, 0}));
    ASSERT_TRUE(parseDateTime("2024/03/05T23:59:59", out));
    EXPECT_EQ(out, (DateTime{2024, 3, 5, 23, 59, 59}));
    ASSERT_TRUE(parseDateTime("2024.3.5", out));
    EXPECT_EQ(out, day(2024, 3, 5));
    ASSERT_TRUE(parseDateTime(" 2024-12-31 00:00:00 ", out));
    EXPECT_EQ(out, day(2024, 12, 31));
}

TEST(ParseDateTime, ChecksTheCalendarAndLeavesTheResultAloneOnOtherText) {
    const DateTime before{2001, 2, 3, 4, 5, 6};
    DateTime out;
    EXPECT_TRUE(parseDateTime("2000-02-29", out));
    const char* const invalid[] = {"2023-02-29",
                                   "1900-02-29",
                                   "2024-04-31",
                                   "2024-13-01",
                                   "2024-00-10",
                                   "2024-01-00",
                                   "2024-01-01 24:00:00",
                                   "2024-01-01 12:60",
                                   "2024-01-01 12:00:60",
                                   "",
                                   "abc",
                                   "20240305",
                                   "24-03-05",
                                   "2024-03/05",
                                   "2024-03-05x",
                                   "2024-03-05 14",
                                   "2024-03-05 14:7",
                                   "2024-03-05 14:07:09.5",
                                   "2024-003-05",
                                   "2024-03-05T"};
    for (const char* text : invalid) {
        out = before;
        EXPECT_FALSE(parseDateTime(text, out)) << text;
        EXPECT_EQ(out, before) << text;
    }
}

TEST(SystemClock, GivesAValidLocalDateAndTime) {
    const DateTime now = SystemClock().now();
    DateTime parsed;
    EXPECT_TRUE(parseDateTime(now.toDateTimeText(), parsed)) << now.toDateTimeText();
    EXPECT_GE(now.year, 2024);
}

}  // namespace
}  // namespace veldon
