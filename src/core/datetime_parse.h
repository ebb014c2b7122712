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

// The text without its milliseconds: one trailing "000" dropped from a text longer than 14
// characters (a bare 14-digit time keeps the zeros of its own seconds).
std::string_view without_millis(std::string_view text);

// without_millis(text), then exactly 14 ASCII digits read as year, month, day, hour, minute,
// second. Returns nothing when that is not a real calendar date and time (year 1..9999,
// second 0..59).
std::optional<CivilTime> parse_submitted_date(std::string_view text);

bool is_leap_year(int year);
int days_in_month(int year, int month);

}  // namespace deko
