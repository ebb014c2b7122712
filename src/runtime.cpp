// The module's runtime (see runtime.h).
#include "runtime.h"

namespace deko {

void note_interpreter_exit() { g_interpreter_exiting.store(true, std::memory_order_relaxed); }

namespace {

PyObject* g_globals = nullptr;  // the module's namespace, kept for the life of the process

}  // namespace

void set_module_globals(Obj globals) {
    Py_INCREF(globals.get());
    g_globals = globals.get();
}

Ref global(const Name& name) {
    Ref value = Ref::borrow(g_globals ? PyDict_GetItemWithError(g_globals, name.get()) : nullptr);
    if (!value && PyErr_Occurred()) throw PyError();
    if (!value) {
        Ref builtins = Ref::borrow(PyEval_GetBuiltins());
        value = Ref::borrow(PyDict_GetItemWithError(builtins.get(), name.get()));
        if (!value && PyErr_Occurred()) throw PyError();
    }
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name.text());
        throw PyError();
    }
    return value;
}

}  // namespace deko
