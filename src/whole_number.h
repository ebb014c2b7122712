// Whole numbers as Python's int() and int(float()) give them, for the prices of provider data:
// plain values go through the fast paths of core/number_parse, anything else through Python,
// with the same results.
#pragma once
#include "refs.h"

namespace deko {

// A whole number: in 64 bits when it fits, else the Python int.
struct Whole {
    long long small = 0;
    Ref big;  // set when the value does not fit in `small`

    // Its decimal digits, as str() writes them.
    Ref digits() const;
};

bool operator==(const Whole& a, const Whole& b);

// int(float(value)): a price given as a number or as a text spelling a decimal number.
Whole whole_via_decimal(PyObject* value);

// int(value): a stored or expected price; a text must spell a whole number.
Whole whole_direct(PyObject* value);

}  // namespace deko
