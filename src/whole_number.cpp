// Whole numbers as Python gives them (see whole_number.h).
#include "whole_number.h"

#include "core/number_parse.h"
#include "objects.h"

#include <string>

namespace deko {

namespace {

Whole of_python_int(Ref value) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw PyError();
    if (overflow) return Whole{0, std::move(value)};
    return Whole{v, Ref()};
}

}  // namespace

Ref Whole::digits() const {
    if (big) return str_of(big.get());
    return py_str(std::to_string(small));
}

bool operator==(const Whole& a, const Whole& b) {
    if (!a.big && !b.big) return a.small == b.small;
    Ref x = a.big ? a.big : Ref::steal(PyLong_FromLongLong(a.small));
    Ref y = b.big ? b.big : Ref::steal(PyLong_FromLongLong(b.small));
    return equals(x.get(), y.get());
}

Whole whole_via_decimal(PyObject* value) {
    std::optional<long long> fast;
    if (auto spelled = utf8_view(value)) {
        fast = int_of_float_text(*spelled);
    } else if (PyFloat_CheckExact(value)) {
        fast = truncate_double(PyFloat_AS_DOUBLE(value));
    } else if (PyLong_CheckExact(value)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (v == -1 && PyErr_Occurred()) throw PyError();
        // Whole numbers up to 2**53 go through a double unchanged.
        if (!overflow && v <= (1LL << 53) && v >= -(1LL << 53)) fast = v;
    }
    if (fast) return Whole{*fast, Ref()};
    Ref as_float = Ref::steal(PyNumber_Float(value));
    return of_python_int(Ref::steal(PyNumber_Long(as_float.get())));
}

Whole whole_direct(PyObject* value) {
    if (PyLong_CheckExact(value)) return of_python_int(Ref::borrow(value));
    std::optional<long long> fast;
    if (auto spelled = utf8_view(value))
        fast = int_of_text(*spelled);
    else if (PyFloat_CheckExact(value))
        fast = truncate_double(PyFloat_AS_DOUBLE(value));
    if (fast) return Whole{*fast, Ref()};
    return of_python_int(Ref::steal(PyNumber_Long(value)));
}

}  // namespace deko
