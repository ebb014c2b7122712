// Python errors in C++ (see errors.h).
#include "errors.h"

namespace deko {

Fetched fetch_error() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) PyException_SetTraceback(value, traceback);
    Fetched error{Ref::steal_or_null(type), Ref::steal_or_null(value), Ref::steal_or_null(traceback)};
    if (!error.type) {
        PyErr_SetString(PyExc_SystemError, "error reported without an exception");
        return fetch_error();
    }
    return error;
}

void restore_error(Fetched error) {
    PyErr_Restore(error.type.release(), error.value.release(), error.traceback.release());
}

Fetched failure_error(const char* what, bool out_of_memory) {
    if (out_of_memory)
        PyErr_NoMemory();
    else
        PyErr_SetString(PyExc_RuntimeError, what);
    return fetch_error();
}

bool is_ordinary(const Fetched& error) {
    return PyErr_GivenExceptionMatches(error.type.get(), PyExc_Exception) != 0;
}

}  // namespace deko
