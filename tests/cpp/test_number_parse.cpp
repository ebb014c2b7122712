// The number fast paths against Python: int(text), int(float(text)), int(value). A fast path that
// returns a value must return exactly what /usr/bin/python3 gives; `{}` marks inputs it must
// leave to Python (which then gives a big int, accepts another spelling, or raises).
#include "core/number_parse.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

namespace {

using Want = std::optional<long long>;

struct TextCase {
    std::string text;
    Want want;
};

constexpr long long kMin = std::numeric_limits<long long>::min();

TEST(NumberParse, IntOfText) {
    for (const TextCase& c : {
             TextCase{"-500", -500}, {"+7", 7}, {"0500", 500}, {"-0", 0},
             // 18 digits are decided here, 19 go to Python.
             {"999999999999999999", 999999999999999999},
             {"-999999999999999999", -999999999999999999},
             {"9999999999999999999", {}}, {"9223372036854775807", {}},
             // Python accepts these spellings; the fast path leaves them to it.
             {"1_000", {}}, {" 5", {}}, {"5 ", {}}, {"\xd9\xa1\xd9\xa2", {}},
             // Python raises; '/' and ':' are the characters around '0'..'9'.
             {"500.0", {}}, {"1e3", {}}, {"", {}}, {"+", {}}, {"-", {}}, {"--5", {}},
             {"+-5", {}}, {"5-", {}}, {"0x10", {}}, {"5/", {}}, {"5:", {}}})
        EXPECT_EQ(deko::int_of_text(c.text), c.want) << '"' << c.text << '"';
}

TEST(NumberParse, IntOfFloatText) {
    for (const TextCase& c : {
             TextCase{"500", 500}, {"+7", 7}, {"500.9", 500},
             {"-500.9", -500},  // truncation toward zero, not floor
             {"1E3", 1000}, {"1e+3", 1000}, {"1.5e1", 15}, {"1e-3", 0}, {".5", 0},
             {"-.5", 0}, {"5.", 5}, {"-0.0", 0},
             // Rounded to the nearest double first, then truncated.
             {"0.99999999999999999999", 1}, {"-0.99999999999999999999", -1},
             {"999999999999999999", 1000000000000000000}, {"-9223372036854775808", kMin},
             // Rounds to 2^63 or beyond: Python gives a big int.
             {"9223372036854775807", {}}, {"1e19", {}}, {"-1e19", {}},
             // Other spellings Python accepts.
             {"1_000", {}}, {" 5", {}}, {"5 ", {}}, {"\xd9\xa1\xd9\xa2", {}},
             // Python raises (ValueError or OverflowError).
             {"", {}}, {"+", {}}, {"-", {}}, {".", {}}, {"e5", {}}, {"1e", {}}, {"1e+", {}},
             {"1.2.3", {}}, {"..5", {}}, {"1e3.5", {}}, {"--5", {}}, {"+-5", {}},
             {"0x10", {}}, {"inf", {}}, {"-inf", {}}, {"nan", {}}, {"1e400", {}}})
        EXPECT_EQ(deko::int_of_float_text(c.text), c.want) << '"' << c.text << '"';
    // Underflow: Python gives 0; deciding it or leaving it to Python are both correct.
    for (const char* text : {"1e-400", "-1e-400"})
        EXPECT_EQ(deko::int_of_float_text(text).value_or(0), 0) << text;
}

TEST(NumberParse, TruncateDouble) {
    constexpr double kTwo63 = 9223372036854775808.0;  // 2^63, exact
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const std::pair<double, Want> cases[] = {
        {-0.0, 0}, {-0.5, 0}, {-1.5, -1}, {2.9999, 2},
        {std::numeric_limits<double>::denorm_min(), 0},
        // Around +2^63: the largest double below it fits, 2^63 itself does not.
        {std::nextafter(kTwo63, 0.0), 9223372036854774784}, {kTwo63, {}},
        // Around -2^63: -2^63 fits, the next double below does not.
        {-kTwo63, kMin}, {std::nextafter(-kTwo63, -kInf), {}},
        {1e300, {}}, {kInf, {}}, {-kInf, {}},
        {std::numeric_limits<double>::quiet_NaN(), {}}};
    for (const auto& [value, want] : cases)
        EXPECT_EQ(deko::truncate_double(value), want) << value;
}

}  // namespace
