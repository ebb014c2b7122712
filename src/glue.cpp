#include "glue.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>

namespace deko {

namespace {

// Owned for the life of the process: never released, so nothing runs at interpreter exit.
PyObject* g_globals = nullptr;
std::map<std::string, PyObject*>* g_classes = new std::map<std::string, PyObject*>();

}  // namespace

void set_module_globals(py::dict globals) {
    g_globals = globals.inc_ref().ptr();
}

py::object global(const char* name) {
    PyObject* value = g_globals ? PyDict_GetItemString(g_globals, name) : nullptr;
    if (!value) value = PyDict_GetItemString(PyEval_GetBuiltins(), name);
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(value);
}

bool truthy(py::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

namespace {

// value <op> other as Python's operator gives it: no identity shortcut, so a value that is not
// equal to itself (nan, or an __eq__ that says so) compares as Python compares it.
bool compare(py::handle value, py::handle other, int op) {
    PyObject* a = value.ptr();
    PyObject* b = other.ptr();
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        bool same = same_text(a, b);
        return op == Py_EQ ? same : !same;
    }
    PyObject* result = PyObject_RichCompare(a, b, op);
    if (!result) throw py::error_already_set();
    int r = PyObject_IsTrue(result);
    Py_DECREF(result);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

}  // namespace

bool equals(py::handle value, py::handle other) { return compare(value, other, Py_EQ); }

bool differs(py::handle value, py::handle other) { return compare(value, other, Py_NE); }

py::str text_of(py::handle value) { return py::str(value); }

py::handle name(const char* text) {
    static auto* names = new std::map<std::string, PyObject*>();
    auto it = names->find(text);
    if (it != names->end()) return it->second;
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) throw py::error_already_set();
    names->emplace(text, s);
    return s;
}

py::object get_if_present(py::handle mapping, py::handle key) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (!v && PyErr_Occurred()) throw py::error_already_set();
        return py::reinterpret_borrow<py::object>(v);
    }
    int r = PySequence_Contains(mapping.ptr(), key.ptr());
    if (r < 0) throw py::error_already_set();
    return r ? get_item(mapping, key) : py::object();
}

void console(py::handle self, py::handle text, const char* level) {
    self.attr("terminal").attr("console")(text, level);
}

void console(py::handle self, const char* text, const char* level) {
    console(self, py::str(text), level);
}

bool current_exception_is_ordinary() {
    try {
        throw;
    } catch (py::error_already_set& e) {
        return e.matches(PyExc_Exception);
    } catch (...) {
        return true;
    }
}

py::object current_exception_object() {
    try {
        throw;
    } catch (py::error_already_set& e) {
        return e.value();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, "out of memory");
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown error in the connection module");
    }
    py::error_already_set err;
    return err.value();
}

py::object log_current_exception(py::handle self) {
    py::object error = current_exception_object();
    return self.attr("terminal").attr("logException")(error);
}

void rename_function(py::handle fn, const char* name) {
    PyObject* capsule = PyCFunction_GET_SELF(fn.ptr());
    auto* rec = static_cast<py::detail::function_record*>(
        PyCapsule_GetPointer(capsule, py::detail::get_function_record_capsule_name()));
    if (!rec) throw py::error_already_set();
    char* renamed = strdup(name);
    if (!renamed) throw std::bad_alloc();
    std::free(const_cast<char*>(rec->name));
    rec->name = renamed;
    rec->def->ml_name = rec->name;
}

void set_module_class(const char* name, py::handle cls) {
    (*g_classes)[name] = cls.inc_ref().ptr();
}

py::object module_class(const char* name) {
    auto it = g_classes->find(name);
    if (it == g_classes->end()) throw std::logic_error(std::string("class not defined: ") + name);
    return py::reinterpret_borrow<py::object>(it->second);
}

}  // namespace deko
