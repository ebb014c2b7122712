// parse_submitted_date is a fast path of Python's
//   datetime.strptime(text[:-3] if len(text) > 14 and text.endswith("000") else text,
//                     "%Y%m%d%H%M%S")
// Accepted texts must give exactly Python's date-time; everything else must be rejected
// (strptime also takes shorter, variable-width spellings: those are left to Python).
// Expected values below were checked with /usr/bin/python3.
#include "core/datetime_parse.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>

namespace {

using deko::CivilTime;
using deko::parse_submitted_date;

auto fields(const CivilTime& t) {
    return std::make_tuple(t.year, t.month, t.day, t.hour, t.minute, t.second);
}

TEST(ParseSubmittedDate, GivesPythonsDateTime) {
    const std::pair<std::string, CivilTime> cases[] = {
        // The body itself contains "000": only the one trailing millisecond "000" goes.
        {"20241201123000000", {2024, 12, 1, 12, 30, 0}},
        {"20241201123000", {2024, 12, 1, 12, 30, 0}},  // 14 digits are kept as they are
        {"20000229000000000", {2000, 2, 29, 0, 0, 0}},  // leap: divisible by 400
        {"20240229235959", {2024, 2, 29, 23, 59, 59}},
        {"20240430000000", {2024, 4, 30, 0, 0, 0}},
        {"00010101000000", {1, 1, 1, 0, 0, 0}},
        {"99991231235959000", {9999, 12, 31, 23, 59, 59}}};
    for (const auto& [text, want] : cases) {
        auto t = parse_submitted_date(text);
        ASSERT_TRUE(t.has_value()) << text;
        EXPECT_EQ(fields(*t), fields(want)) << text;
    }
}

TEST(ParseSubmittedDate, RejectsEverythingElse) {
    for (const std::string text : {
             // Length: 13; 15 and 18 leave 12 and 15 after dropping "000"; 17 without a
             // trailing "000"; 20, where only one "000" may be dropped.
             "", "2024120112300", "202412011230000", "202412011230000000",
             "20241201123000123", "20241201123000000000",
             // Non-digits, including the characters just below and above '0'..'9' and
             // ARABIC-INDIC DIGIT ONE (two bytes, so 14 bytes in all).
             "2024120112300/", "2024120112300:", "+2024120112300", " 2024120112300",
             "202412011230\xd9\xa1", "202412011230\xd9\xa1" "000",
             // Calendar and clock: year 0, month 0 and 13, day 0 and 32, Feb 29 in years
             // that are not leap, Feb 30, Apr 31, 24h, 60m, 60s.
             "00000101000000", "20240001000000", "20241301000000", "20240100000000",
             "20240132000000", "19000229000000", "21000229000000000", "20230229000000",
             "20240230000000", "20240431000000", "20241201240000", "20241201236000",
             "20241201235960"})
        EXPECT_FALSE(parse_submitted_date(text).has_value()) << '"' << text << '"';
    EXPECT_FALSE(parse_submitted_date(std::string("2024120112300\0", 14)).has_value());
}

TEST(CalendarHelpers, LeapYearsAndMonthLengths) {
    for (int year : {2000, 2024, 2400, 4}) EXPECT_TRUE(deko::is_leap_year(year)) << year;
    for (int year : {1900, 2023, 2100, 1}) EXPECT_FALSE(deko::is_leap_year(year)) << year;
    const int common[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (int m = 1; m <= 12; ++m) {
        EXPECT_EQ(deko::days_in_month(2023, m), common[m - 1]) << m;
        EXPECT_EQ(deko::days_in_month(2024, m), m == 2 ? 29 : common[m - 1]) << m;
    }
}

TEST(CivilTimeOrder, EachFieldOutranksAllLaterFields) {
    // In each pair the first is earlier in one field but later in every field after it.
    const std::pair<CivilTime, CivilTime> pairs[] = {
        {{2023, 12, 31, 23, 59, 59}, {2024, 1, 1, 0, 0, 0}},
        {{2024, 1, 31, 23, 59, 59}, {2024, 2, 1, 0, 0, 0}},
        {{2024, 2, 1, 23, 59, 59}, {2024, 2, 2, 0, 0, 0}},
        {{2024, 2, 2, 1, 59, 59}, {2024, 2, 2, 2, 0, 0}},
        {{2024, 2, 2, 2, 1, 59}, {2024, 2, 2, 2, 2, 0}},
        {{2024, 2, 2, 2, 2, 1}, {2024, 2, 2, 2, 2, 2}}};
    for (const auto& [earlier, later] : pairs) {
        EXPECT_TRUE(earlier < later);
        EXPECT_FALSE(later < earlier);
        EXPECT_FALSE(earlier < earlier);  // strict
    }
}

}  // namespace
