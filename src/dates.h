// Python's datetime objects read and made through the datetime module's C API.
//
// Rules of use: call datetime_api() before any PyDateTime_* macro of a file (each file that
// includes <datetime.h> has a PyDateTimeAPI of its own, imported at its first use).
#pragma once
#include <datetime.h>

#include "refs.h"

namespace deko {

static inline PyDateTime_CAPI* datetime_api() {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) throw PyError();
    }
    return PyDateTimeAPI;
}

}  // namespace deko
