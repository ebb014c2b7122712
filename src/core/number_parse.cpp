// Fast paths of Python's number conversions (see number_parse.h).
#include "core/number_parse.h"

#include <cmath>
#include <string>

#include "core/platform.h"

namespace deko {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Length of a run of ASCII digits starting at `pos`.
size_t digit_run(std::string_view s, size_t pos) {
    size_t n = 0;
    while (pos + n < s.size() && is_digit(s[pos + n])) ++n;
    return n;
}

}  // namespace

std::optional<long long> int_of_text(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty() || text.size() > 18 || digit_run(text, 0) != text.size())
        return std::nullopt;
    long long v = 0;
    for (char c : text) v = v * 10 + (c - '0');
    return negative ? -v : v;
}

std::optional<long long> int_of_float_text(std::string_view text) {
    std::string_view number = text;
    if (!number.empty() && (number[0] == '+' || number[0] == '-')) number.remove_prefix(1);
    // Accept exactly: digits [ "." digits? ] | "." digits, then [ e|E [sign] digits ].
    size_t pos = digit_run(number, 0);
    size_t mantissa_digits = pos;
    if (pos < number.size() && number[pos] == '.') {
        size_t frac = digit_run(number, pos + 1);
        mantissa_digits += frac;
        pos += 1 + frac;
    }
    if (mantissa_digits == 0) return std::nullopt;
    if (pos < number.size() && (number[pos] == 'e' || number[pos] == 'E')) {
        size_t exp = pos + 1;
        if (exp < number.size() && (number[exp] == '+' || number[exp] == '-')) ++exp;
        size_t exp_digits = digit_run(number, exp);
        if (exp_digits == 0) return std::nullopt;
        pos = exp + exp_digits;
    }
    if (pos != number.size()) return std::nullopt;
    // Read in the "C" locale and correctly rounded, as float() reads it, from a NUL-terminated copy.
    std::string copy(text);
    char* end = nullptr;
    double value = platform::strtod_c(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size()) return std::nullopt;
    return truncate_double(value);
}

std::optional<long long> truncate_double(double value) {
    if (!std::isfinite(value)) return std::nullopt;
    double t = std::trunc(value);
    // 2^63 is exactly representable; anything at or beyond it does not fit.
    if (t >= 9223372036854775808.0 || t < -9223372036854775808.0) return std::nullopt;
    return static_cast<long long>(t);
}

}  // namespace deko
