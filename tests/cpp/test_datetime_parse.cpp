// parse_submitted_date is a fast path of Python's
//   datetime.strptime(text[:-3] if len(text) > 14 and text.endswith("000") else text,
//                     "%Y%m%d%H%M%S")
// Accepted texts must give exactly Python's date-time; everything else must be rejected
// (strptime also takes shorter, variable-width spellings: those are left to Python).
// Expected values below were checked with /usr/bin/python3.
#include "core/datetime_parse.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace deko {
// Lets GoogleTest print CivilTime values in failure messages.
void PrintTo(const CivilTime& t, std::ostream* os) {
    *os << t.year << '-' << t.month << '-' << t.day << ' ' << t.hour << ':' << t.minute << ':'
        << t.second;
}
}  // namespace deko

namespace {

using deko::CivilTime;
using deko::parse_submitted_date;

bool same(const CivilTime& a, const CivilTime& b) { return !(a < b) && !(b < a); }

struct Accepted {
    std::string text;
    CivilTime expected;
};

class ParseAccepted : public testing::TestWithParam<Accepted> {};

TEST_P(ParseAccepted, GivesPythonsDateTime) {
    const auto& p = GetParam();
    auto t = parse_submitted_date(p.text);
    ASSERT_TRUE(t.has_value()) << p.text;
    EXPECT_EQ(t->year, p.expected.year) << p.text;
    EXPECT_EQ(t->month, p.expected.month) << p.text;
    EXPECT_EQ(t->day, p.expected.day) << p.text;
    EXPECT_EQ(t->hour, p.expected.hour) << p.text;
    EXPECT_EQ(t->minute, p.expected.minute) << p.text;
    EXPECT_EQ(t->second, p.expected.second) << p.text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseAccepted,
    testing::Values(
        // The body itself contains "000": only the one trailing millisecond "000" goes.
        Accepted{"20241201123000000", {2024, 12, 1, 12, 30, 0}},
        Accepted{"20241201000000000", {2024, 12, 1, 0, 0, 0}},
        // 14 digits parse as they are, even when they end in "000".
        Accepted{"20241201123000", {2024, 12, 1, 12, 30, 0}},
        Accepted{"20241201120000", {2024, 12, 1, 12, 0, 0}},
        // Calendar and clock boundaries.
        Accepted{"20000229000000000", {2000, 2, 29, 0, 0, 0}},  // leap (divisible by 400)
        Accepted{"20240229235959", {2024, 2, 29, 23, 59, 59}},  // leap (divisible by 4)
        Accepted{"20240430000000", {2024, 4, 30, 0, 0, 0}},
        Accepted{"20241231235959", {2024, 12, 31, 23, 59, 59}},
        Accepted{"00010101000000", {1, 1, 1, 0, 0, 0}},
        Accepted{"99991231235959000", {9999, 12, 31, 23, 59, 59}}));

class ParseRejected : public testing::TestWithParam<std::string> {};

TEST_P(ParseRejected, ReturnsNothing) {
    EXPECT_FALSE(parse_submitted_date(GetParam()).has_value()) << '"' << GetParam() << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Length, ParseRejected,
    testing::Values("", "2024120112300",  // 13
                    "202412011230000",    // 15: 12 left after dropping "000"
                    "2024120112300000",   // 16: 13 left
                    "20241201123000123",  // 17 without a trailing "000"
                    "20241201123000000000",  // 20: only one "000" may be dropped
                    "202412011230000000"));  // 18: 15 left

INSTANTIATE_TEST_SUITE_P(
    NonDigits, ParseRejected,
    testing::Values("2024120112300/",  // the characters just below and above '0'..'9'
                    "2024120112300:", "2024120112300a", "-2024120112300", "+2024120112300",
                    "2024 201123000", "2024120112300 ", " 2024120112300",
                    std::string("2024120112300\0", 14),
                    "202412011230\xd9\xa1",        // ARABIC-INDIC DIGIT ONE: 14 bytes
                    "202412011230\xd9\xa1" "000"));  // same, with milliseconds

INSTANTIATE_TEST_SUITE_P(
    Calendar, ParseRejected,
    testing::Values("00000101000000",  // year 0
                    "20240001000000", "20241301000000",  // month 0, 13
                    "20240100000000", "20240132000000",  // day 0, Jan 32
                    "19000229000000", "20230229000000",  // Feb 29, non-leap years
                    "21000229000000000", "20240230000000",
                    "20240431000000", "20240631000000", "20240931000000", "20241131000000",
                    "20241201240000", "20241201236000", "20241201235960",  // 24h, 60m, 60s
                    "20241201999999000"));

TEST(CalendarHelpers, LeapYearsAndMonthLengths) {
    struct Case { int year; bool leap; };
    for (auto c : std::vector<Case>{{1900, false}, {2000, true}, {2023, false}, {2024, true},
                                    {2100, false}, {2400, true}, {1, false}, {4, true}})
        EXPECT_EQ(deko::is_leap_year(c.year), c.leap) << c.year;

    const int common[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (int m = 1; m <= 12; ++m) {
        EXPECT_EQ(deko::days_in_month(2023, m), common[m - 1]) << m;
        EXPECT_EQ(deko::days_in_month(2024, m), m == 2 ? 29 : common[m - 1]) << m;
    }
}

TEST(CivilTimeOrder, EachFieldOutranksAllLaterFields) {
    // Each pair: `earlier` is earlier in one field but later in every field after it.
    const std::vector<std::pair<CivilTime, CivilTime>> pairs = {
        {{2023, 12, 31, 23, 59, 59}, {2024, 1, 1, 0, 0, 0}},
        {{2024, 1, 31, 23, 59, 59}, {2024, 2, 1, 0, 0, 0}},
        {{2024, 2, 1, 23, 59, 59}, {2024, 2, 2, 0, 0, 0}},
        {{2024, 2, 2, 1, 59, 59}, {2024, 2, 2, 2, 0, 0}},
        {{2024, 2, 2, 2, 1, 59}, {2024, 2, 2, 2, 2, 0}},
        {{2024, 2, 2, 2, 2, 1}, {2024, 2, 2, 2, 2, 2}},
    };
    for (const auto& [earlier, later] : pairs) {
        EXPECT_TRUE(earlier < later);
        EXPECT_FALSE(later < earlier);
        EXPECT_FALSE(earlier < earlier);  // strict
    }
}

TEST(CivilTimeOrder, ParsedTimesOrderLikePythonDatetimes) {
    auto a = parse_submitted_date("20241201123000000");
    auto b = parse_submitted_date("20241201123000");
    auto c = parse_submitted_date("20241201123001000");
    ASSERT_TRUE(a && b && c);
    EXPECT_TRUE(same(*a, *b));  // with and without milliseconds: equal
    EXPECT_TRUE(*a < *c);
    EXPECT_FALSE(*c < *a);
}

}  // namespace
