// Shared helpers of the connection module's Python glue.
#pragma once
#include <pybind11/pybind11.h>

#include <map>
#include <string>

namespace deko {
namespace py = pybind11;

// Name under which the classes and methods report their module.
constexpr const char* kModuleName = "apps.deko.libs.connections.dekoconnection";

// Keeps the module's namespace so that globals are looked up at call time.
void set_module_globals(py::dict globals);

// A module global (or, failing that, a built-in), looked up now: the host and tests may
// have replaced it.
// Raises NameError, as Python does, when the name is gone.
py::object global(const char* name);

// Python truth value; raises what __bool__ raises.
bool truthy(py::handle value);

// value == other with Python's equality (as the == operator, without an identity shortcut).
bool equals(py::handle value, py::handle other);

// value != other with Python's inequality (not always the negation of ==).
bool differs(py::handle value, py::handle other);

// str(value).
py::str text_of(py::handle value);

// An interned attribute or key name, made once and kept for the life of the process.
py::handle name(const char* text);

// obj.<attr_name> for an interned name.
inline py::object attr_of(py::handle obj, py::handle attr_name) {
    PyObject* v = PyObject_GetAttr(obj.ptr(), attr_name.ptr());
    if (!v) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(v);
}

// Whether two plain str objects hold the same text, compared in place (short identifiers
// differ early, so no library call).
inline bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    int kind = PyUnicode_KIND(a);
    if (length != PyUnicode_GET_LENGTH(b) || kind != static_cast<int>(PyUnicode_KIND(b))) return false;
    const char* x = static_cast<const char*>(PyUnicode_DATA(a));
    const char* y = static_cast<const char*>(PyUnicode_DATA(b));
    for (Py_ssize_t i = 0, n = length * kind; i < n; ++i)
        if (x[i] != y[i]) return false;
    return true;
}

// mapping[key]: a plain dict is read directly, anything else through its __getitem__.
inline py::object get_item(py::handle mapping, py::handle key) {
    PyObject* v;
    if (PyDict_CheckExact(mapping.ptr())) {
        v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());
        if (!v) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key.ptr());
            throw py::error_already_set();
        }
        Py_INCREF(v);
    } else {
        v = PyObject_GetItem(mapping.ptr(), key.ptr());
        if (!v) throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(v);
}

// mapping[key] if key in mapping, else a null object.
py::object get_if_present(py::handle mapping, py::handle key);

// Calls fn(item) for each item of an iterable, in order, until fn returns false. Items for which
// skip(item) is true are passed over; skip must run no Python code, as list items are handed
// to it without taking a reference.
template <typename Skip, typename Fn>
void for_each_unless(py::handle iterable, Skip&& skip, Fn&& fn) {
    PyObject* seq = iterable.ptr();
    if (PyList_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
            if (skip(PyList_GET_ITEM(seq, i))) continue;
            py::object item = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(seq, i));
            if (!fn(item)) return;
        }
        return;
    }
    for (py::handle item : iterable) {
        if (skip(item.ptr())) continue;
        if (!fn(item)) return;
    }
}

template <typename Fn>
void for_each(py::handle iterable, Fn&& fn) {
    for_each_unless(iterable, [](PyObject*) { return false; }, std::forward<Fn>(fn));
}

// self.terminal.console(text, level)
void console(py::handle self, py::handle text, const char* level);
void console(py::handle self, const char* text, const char* level);

// Whether the exception being handled (inside a catch block) is an ordinary error: an
// instance of Exception, or a C++ failure. Interrupts and exits are not.
bool current_exception_is_ordinary();

// The exception being handled (inside a catch block) as a Python exception object.
// C++ failures are turned into the Python exceptions pybind11 would raise for them.
py::object current_exception_object();

// self.terminal.logException(error) for the exception being handled; returns its result.
py::object log_current_exception(py::handle self);

// Gives a built function another name (its __name__ and the name in its error messages).
void rename_function(py::handle fn, const char* name);

// Methods of a class under construction, by name; the module assembles them in order.
using Methods = std::map<std::string, py::object>;

// A Python function object built from a C++ callable: bound as a method when looked up
// through an instance, like a function defined in the class body.
// An "__init__" is built under another name (pybind11 treats functions of that name as
// constructors of its own classes) and renamed afterwards.
template <typename Func, typename... Extra>
py::object method(const char* name, Func&& f, const char* doc, const Extra&... extra) {
    bool is_init = std::string(name) == "__init__";
    py::cpp_function fn(std::forward<Func>(f), py::name(is_init ? "init" : name), py::doc(doc),
                        extra...);
    if (is_init) rename_function(fn, name);
    return py::reinterpret_steal<py::object>(PyInstanceMethod_New(fn.ptr()));
}

// Methods of each subsystem.
void add_session_methods(Methods& m);       // __init__, makerequest, login, cek_saldo, get_connection_thread
void add_catalogue_methods(Methods& m);     // tarik_produk, get_produk, get_terbaik, get_produk_terbaik
void add_transaction_methods(Methods& m);   // cek, transaksi, menu_cek
void add_history_methods(Methods& m);       // history, get_previous_transaksi, get_transaksi_history
void add_connection_thread_methods(Methods& m);  // DekoConnectonThread: __init__, run
void add_history_thread_methods(Methods& m);     // WaitTransaksiHistoryThread: __init__, run

// The module's classes, kept for the life of the process once defined.
void set_module_class(const char* name, py::handle cls);
py::object module_class(const char* name);

}  // namespace deko
