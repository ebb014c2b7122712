// pynum fast paths against Python. `python` is what /usr/bin/python3 gives for the same
// input (int(text), int(float(text)), int(value)), or "error" when it raises. The
// invariant that matters: a fast path that returns a value returns exactly Python's value.
// `fast` additionally pins which inputs the fast path must decide itself and which it must
// leave to Python (nullopt).
#include "core/pynum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

namespace {

enum class Fast { Value, None };  // must return Python's value / must return nullopt

struct TextCase {
    std::string text;
    std::string python;
    Fast fast;
};

std::ostream& operator<<(std::ostream& os, const TextCase& c) {
    return os << '"' << c.text << "\" -> " << c.python;
}

void check(const std::optional<long long>& got, const std::string& python, Fast fast,
           const std::string& what) {
    if (got) {
        // Never a value Python would not give.
        EXPECT_EQ(std::to_string(*got), python) << what;
    }
    EXPECT_EQ(got.has_value(), fast == Fast::Value) << what;
}

// ---- int(text) ----
class IntOfText : public testing::TestWithParam<TextCase> {};

TEST_P(IntOfText, AgreesWithPythonInt) {
    const auto& c = GetParam();
    check(deko::int_of_text(c.text), c.python, c.fast, c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IntOfText,
    testing::Values(
        TextCase{"500", "500", Fast::Value}, TextCase{"-500", "-500", Fast::Value},
        TextCase{"+7", "7", Fast::Value}, TextCase{"0500", "500", Fast::Value},
        TextCase{"00", "0", Fast::Value}, TextCase{"-0", "0", Fast::Value},
        TextCase{"+0", "0", Fast::Value},
        // 18 digits are decided here, 19 go to Python.
        TextCase{"999999999999999999", "999999999999999999", Fast::Value},
        TextCase{"-999999999999999999", "-999999999999999999", Fast::Value},
        TextCase{"9999999999999999999", "9999999999999999999", Fast::None},
        TextCase{"9223372036854775807", "9223372036854775807", Fast::None},
        TextCase{"-9223372036854775808", "-9223372036854775808", Fast::None},
        TextCase{"12345678901234567890", "12345678901234567890", Fast::None},
        TextCase{"0000000000000000000500", "500", Fast::None},  // Python's, or nothing
        // Spellings Python accepts but the fast path leaves to it.
        TextCase{"1_000", "1000", Fast::None}, TextCase{" 5", "5", Fast::None},
        TextCase{"5 ", "5", Fast::None}, TextCase{"\xd9\xa1\xd9\xa2", "12", Fast::None},
        // Python raises.
        TextCase{"500.0", "error", Fast::None}, TextCase{"1e3", "error", Fast::None},
        TextCase{"", "error", Fast::None}, TextCase{"+", "error", Fast::None},
        TextCase{"-", "error", Fast::None}, TextCase{"--5", "error", Fast::None},
        TextCase{"+-5", "error", Fast::None}, TextCase{"5-", "error", Fast::None},
        TextCase{"0x10", "error", Fast::None}, TextCase{"5/", "error", Fast::None},
        TextCase{"5:", "error", Fast::None}, TextCase{"inf", "error", Fast::None},
        TextCase{"nan", "error", Fast::None}));

// ---- int(float(text)) ----
class IntOfFloatText : public testing::TestWithParam<TextCase> {};

TEST_P(IntOfFloatText, AgreesWithPythonIntOfFloat) {
    const auto& c = GetParam();
    check(deko::int_of_float_text(c.text), c.python, c.fast, c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IntOfFloatText,
    testing::Values(
        TextCase{"500", "500", Fast::Value}, TextCase{"-500", "-500", Fast::Value},
        TextCase{"+7", "7", Fast::Value}, TextCase{"0500", "500", Fast::Value},
        TextCase{"500.0", "500", Fast::Value}, TextCase{"500.9", "500", Fast::Value},
        TextCase{"-500.9", "-500", Fast::Value},  // truncation toward zero, not floor
        TextCase{"1e3", "1000", Fast::Value}, TextCase{"1E3", "1000", Fast::Value},
        TextCase{"1e+3", "1000", Fast::Value}, TextCase{"1.5e1", "15", Fast::Value},
        TextCase{"1e-3", "0", Fast::Value}, TextCase{".5", "0", Fast::Value},
        TextCase{"-.5", "0", Fast::Value}, TextCase{"5.", "5", Fast::Value},
        TextCase{"-0.0", "0", Fast::Value}, TextCase{"5e-324", "0", Fast::Value},
        // Rounded to the nearest double first, then truncated.
        TextCase{"0.99999999999999999999", "1", Fast::Value},
        TextCase{"-0.99999999999999999999", "-1", Fast::Value},
        TextCase{"999999999999999999", "1000000000000000000", Fast::Value},
        TextCase{"9.223372036854775e18", "9223372036854774784", Fast::Value},
        TextCase{"-9223372036854775808.0", "-9223372036854775808", Fast::Value},
        TextCase{"-9223372036854775808", "-9223372036854775808", Fast::Value},
        // Rounds to 2^63 or beyond: does not fit 64 bits, Python gives a big int.
        TextCase{"9223372036854775807.0", "9223372036854775808", Fast::None},
        TextCase{"9223372036854775807", "9223372036854775808", Fast::None},
        TextCase{"1e19", "10000000000000000000", Fast::None},
        TextCase{"-1e19", "-10000000000000000000", Fast::None},
        TextCase{"12345678901234567890", "12345678901234567168", Fast::None},
        // Spellings Python accepts but the fast path leaves to it.
        TextCase{"1_000", "1000", Fast::None}, TextCase{" 5", "5", Fast::None},
        TextCase{"5 ", "5", Fast::None}, TextCase{"\xd9\xa1\xd9\xa2", "12", Fast::None},
        // Python raises (ValueError or OverflowError).
        TextCase{"", "error", Fast::None}, TextCase{"+", "error", Fast::None},
        TextCase{"-", "error", Fast::None}, TextCase{".", "error", Fast::None},
        TextCase{"e5", "error", Fast::None}, TextCase{"1e", "error", Fast::None},
        TextCase{"1e+", "error", Fast::None}, TextCase{"1.2.3", "error", Fast::None},
        TextCase{"..5", "error", Fast::None}, TextCase{"1e3.5", "error", Fast::None},
        TextCase{"--5", "error", Fast::None}, TextCase{"+-5", "error", Fast::None},
        TextCase{"0x10", "error", Fast::None}, TextCase{"inf", "error", Fast::None},
        TextCase{"-inf", "error", Fast::None}, TextCase{"Infinity", "error", Fast::None},
        TextCase{"nan", "error", Fast::None}, TextCase{"1e400", "error", Fast::None}));

// Underflow to zero: Python gives 0; deciding it or leaving it to Python are both correct.
TEST(IntOfFloatText, UnderflowIsZeroOrLeftToPython) {
    for (const char* text : {"1e-400", "-1e-400", "0.0000001e-330"}) {
        auto got = deko::int_of_float_text(text);
        if (got) {
            EXPECT_EQ(*got, 0) << text;
        }
    }
}

// ---- int(value) for doubles ----
struct DoubleCase {
    double value;
    std::string python;
    Fast fast;
};

std::ostream& operator<<(std::ostream& os, const DoubleCase& c) {
    return os << c.value << " -> " << c.python;
}

class TruncateDouble : public testing::TestWithParam<DoubleCase> {};

TEST_P(TruncateDouble, AgreesWithPythonInt) {
    const auto& c = GetParam();
    check(deko::truncate_double(c.value), c.python, c.fast, testing::PrintToString(c.value));
}

constexpr double kTwo63 = 9223372036854775808.0;  // 2^63, exact
constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, TruncateDouble,
    testing::Values(
        DoubleCase{0.0, "0", Fast::Value}, DoubleCase{-0.0, "0", Fast::Value},
        DoubleCase{0.5, "0", Fast::Value}, DoubleCase{-0.5, "0", Fast::Value},
        DoubleCase{-1.5, "-1", Fast::Value}, DoubleCase{2.9999, "2", Fast::Value},
        DoubleCase{std::numeric_limits<double>::denorm_min(), "0", Fast::Value},
        DoubleCase{9007199254740993.0, "9007199254740992", Fast::Value},
        // Around +2^63: the largest double below it fits, 2^63 itself does not.
        DoubleCase{std::nextafter(kTwo63, 0.0), "9223372036854774784", Fast::Value},
        DoubleCase{kTwo63, "9223372036854775808", Fast::None},
        // Around -2^63: -2^63 fits, the next double below does not.
        DoubleCase{-kTwo63, "-9223372036854775808", Fast::Value},
        DoubleCase{std::nextafter(-kTwo63, -kInf), "-9223372036854777856", Fast::None},
        DoubleCase{1e300, "1000000000000000052504760255204420248704468581108159154915854115511"
                          "80245798890819578637137508044786404370444383288387817694252323536043"
                          "05756447921847867069828483872009265758037378302337947880900593689532"
                          "34970799945081119038967640880074652742780142494579258788820056842838"
                          "115669472196386865459400540160",
                   Fast::None},
        DoubleCase{kInf, "error", Fast::None}, DoubleCase{-kInf, "error", Fast::None},
        DoubleCase{std::numeric_limits<double>::quiet_NaN(), "error", Fast::None},
        DoubleCase{-std::numeric_limits<double>::quiet_NaN(), "error", Fast::None}));

}  // namespace
