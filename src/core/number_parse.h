// Fast paths of Python's number conversions for the plain values providers send.
// Each returns nothing when it cannot decide exactly as Python would (other spellings,
// whitespace, underscores, values beyond 64 bits, inf, nan); the caller then lets Python
// convert, which either gives the same kind of result or raises.
#pragma once
#include <optional>
#include <string_view>

namespace deko {

// int(text): an optional sign and 1 to 18 ASCII digits.
std::optional<long long> int_of_text(std::string_view text);

// int(float(text)): an optional sign, a decimal number with an optional exponent; the
// value is rounded to the nearest double first, as float() does, then truncated.
std::optional<long long> int_of_float_text(std::string_view text);

// int(value) for a finite double whose truncation fits in 64 bits.
std::optional<long long> truncate_double(double value);

}  // namespace deko
