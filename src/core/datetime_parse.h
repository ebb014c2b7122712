// Provider submission times: "YYYYmmddHHMMSS" followed by three millisecond digits "000".
#pragma once
#include <optional>
#include <string_view>

namespace deko {

struct CivilTime {
    int year, month, day, hour, minute, second;
};

// Compares like naive date-times: earlier < later.
bool operator<(const CivilTime& a, const CivilTime& b);

// Drops one trailing "000" (the milliseconds) from a text longer than 14 characters, then
// reads exactly 14 ASCII digits as year, month, day, hour, minute, second. Returns nothing
// when the rest is not a real calendar date and time (year 1..9999, second 0..59).
std::optional<CivilTime> parse_submitted_date(std::string_view text);

bool is_leap_year(int year);
int days_in_month(int year, int month);

}  // namespace deko
