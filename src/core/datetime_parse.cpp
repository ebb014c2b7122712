// Provider submission times (see datetime_parse.h).
#include "core/datetime_parse.h"

#include <tuple>

namespace deko {

bool operator<(const CivilTime& a, const CivilTime& b) {
    return std::tie(a.year, a.month, a.day, a.hour, a.minute, a.second) <
           std::tie(b.year, b.month, b.day, b.hour, b.minute, b.second);
}

bool is_leap_year(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int days_in_month(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && is_leap_year(year)) return 29;
    return days[month - 1];
}

namespace {

int digits(std::string_view s, size_t pos, size_t n) {
    int v = 0;
    for (size_t i = pos; i < pos + n; ++i) v = v * 10 + (s[i] - '0');
    return v;
}

}  // namespace

std::string_view without_millis(std::string_view text) {
    constexpr std::string_view millis = "000";
    if (text.size() > 14 && text.substr(text.size() - millis.size()) == millis)
        text.remove_suffix(millis.size());
    return text;
}

std::optional<CivilTime> parse_submitted_date(std::string_view text) {
    text = without_millis(text);
    if (text.size() != 14) return std::nullopt;
    for (char c : text)
        if (c < '0' || c > '9') return std::nullopt;
    CivilTime t{digits(text, 0, 4), digits(text, 4, 2), digits(text, 6, 2),
                digits(text, 8, 2), digits(text, 10, 2), digits(text, 12, 2)};
    if (t.year < 1 || t.month < 1 || t.month > 12) return std::nullopt;
    if (t.day < 1 || t.day > days_in_month(t.year, t.month)) return std::nullopt;
    if (t.hour > 23 || t.minute > 59 || t.second > 59) return std::nullopt;
    return t;
}

}  // namespace deko
