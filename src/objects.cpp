// Object operations (see objects.h).
#include "objects.h"

namespace deko {

Ref item(Obj mapping, Obj key) {
    if (!PyDict_CheckExact(mapping.get())) return Ref::steal(PyObject_GetItem(mapping.get(), key.get()));
    // The lookup may run the __eq__ of a key in the dict; the value is held before anything else runs.
    Ref value = Ref::borrow(PyDict_GetItemWithError(mapping.get(), key.get()));
    if (!value) {
        if (!PyErr_Occurred()) {
            Ref missing = tuple({key});  // KeyError(key), as dict raises it (also for tuple keys)
            PyErr_SetObject(PyExc_KeyError, missing.get());
        }
        throw PyError();
    }
    return value;
}

Ref item_if_present(Obj mapping, Obj key) {
    if (PyDict_CheckExact(mapping.get())) {
        Ref value = Ref::borrow(PyDict_GetItemWithError(mapping.get(), key.get()));
        if (!value && PyErr_Occurred()) throw PyError();
        return value;
    }
    if (!checked(PySequence_Contains(mapping.get(), key.get()))) return Ref();
    return item(mapping, key);
}

Ref attr_if_present(Obj obj, Obj name) {
    PyObject* value = PyObject_GetAttr(obj.get(), name.get());
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return Ref();
    }
    return Ref::steal(value);
}

Ref item_at(Obj sequence, Py_ssize_t index) {
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    return Ref::steal(PyObject_GetItem(sequence.get(), key.get()));
}

// Calls of up to three arguments go through CPython's own argument passing (its temporaries, in C
// frames, are never touched by an unwinding thread); the request pipeline makes several a request.
Ref call(Obj fn, std::initializer_list<Obj> args) {
    const Obj* a = args.begin();
    switch (args.size()) {
        case 0: return Ref::steal(PyObject_CallFunctionObjArgs(fn.get(), nullptr));
        case 1: return Ref::steal(PyObject_CallFunctionObjArgs(fn.get(), a[0].get(), nullptr));
        case 2: return Ref::steal(PyObject_CallFunctionObjArgs(fn.get(), a[0].get(), a[1].get(), nullptr));
        case 3:
            return Ref::steal(PyObject_CallFunctionObjArgs(fn.get(), a[0].get(), a[1].get(), a[2].get(), nullptr));
    }
    Ref arguments = tuple(args);
    return Ref::steal(PyObject_Call(fn.get(), arguments.get(), nullptr));
}

// fn(*stack[:nargs], **dict(zip(kwnames, stack[nargs:]))) on CPython's fast calling convention
// (named _PyObject_FastCallKeywords in 3.7, _PyObject_Vectorcall from 3.8 on).
PyObject* vectorcall(PyObject* fn, PyObject* const* stack, std::size_t nargs, PyObject* kwnames) {
#if PY_VERSION_HEX >= 0x03080000
    return _PyObject_Vectorcall(fn, stack, nargs, kwnames);
#else
    return _PyObject_FastCallKeywords(fn, stack, static_cast<Py_ssize_t>(nargs), kwnames);
#endif
}

Ref call(Obj fn, std::initializer_list<Obj> args, std::initializer_list<Kw> kwargs) {
    constexpr std::size_t kMost = 16;
    if (args.size() + kwargs.size() > kMost) {
        Ref arguments = tuple(args);
        Ref keywords = new_dict();
        for (const Kw& kw : kwargs) set_item(keywords, kw.name, kw.value);
        return Ref::steal(PyObject_Call(fn.get(), arguments.get(), keywords.get()));
    }
    PyObject* stack[kMost];
    std::size_t n = 0;
    for (const Obj& arg : args) stack[n++] = arg.get();
    Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
    Py_ssize_t k = 0;
    for (const Kw& kw : kwargs) {
        PyObject* name = kw.name.get();
        Py_INCREF(name);
        PyTuple_SET_ITEM(names.get(), k++, name);
        stack[n++] = kw.value.get();
    }
    return Ref::steal(vectorcall(fn.get(), stack, args.size(), kwargs.size() ? names.get() : nullptr));
}

Ref call_method(Obj obj, const Name& name, std::initializer_list<Obj> args) {
    PyObject *o = obj.get(), *n = name.get();
    const Obj* a = args.begin();
    switch (args.size()) {
        case 0: return Ref::steal(PyObject_CallMethodObjArgs(o, n, nullptr));
        case 1: return Ref::steal(PyObject_CallMethodObjArgs(o, n, a[0].get(), nullptr));
        case 2: return Ref::steal(PyObject_CallMethodObjArgs(o, n, a[0].get(), a[1].get(), nullptr));
    }
    Ref method = attr(obj, name);
    return call(method, args);
}

bool compare(Obj a, Obj b, int op) {
    bool texts = PyUnicode_CheckExact(a.get()) && PyUnicode_CheckExact(b.get());
    if (texts && (op == Py_EQ || op == Py_NE)) return same_text(a.get(), b.get()) == (op == Py_EQ);
    Ref result = Ref::steal(PyObject_RichCompare(a.get(), b.get(), op));
    return truthy(result);
}

bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    int kind = PyUnicode_KIND(a);
    if (length != PyUnicode_GET_LENGTH(b) || kind != static_cast<int>(PyUnicode_KIND(b))) return false;
    const char* x = static_cast<const char*>(PyUnicode_DATA(a));
    const char* y = static_cast<const char*>(PyUnicode_DATA(b));
    // Short identifiers differ early: a plain loop beats a library call here.
    for (Py_ssize_t i = 0, n = length * kind; i < n; ++i)
        if (x[i] != y[i]) return false;
    return true;
}

Ref integer(long value) { return Ref::steal(PyLong_FromLong(value)); }

Ref py_str(std::string_view value) {
    return Ref::steal(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

Ref str_of(Obj value) { return Ref::steal(PyObject_Str(value.get())); }

Ref join(std::initializer_list<Obj> texts) {
    Ref result = py_str("");
    for (Obj part : texts) result = Ref::steal(PyUnicode_Concat(result.get(), part.get()));
    return result;
}

Ref tuple(std::initializer_list<Obj> items) {
    Ref result = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Obj item : items) {
        Py_INCREF(item.get());
        PyTuple_SET_ITEM(result.get(), i++, item.get());
    }
    return result;
}

Ref new_dict() { return Ref::steal(PyDict_New()); }

Ref new_list() { return Ref::steal(PyList_New(0)); }

void append(Obj list, Obj value) { checked(PyList_Append(list.get(), value.get())); }

std::optional<std::string_view> utf8_view(Obj value) {
    if (!PyUnicode_CheckExact(value.get())) return std::nullopt;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.get(), &size);
    if (!data) {
        PyErr_Clear();  // lone surrogates: left to Python's own methods
        return std::nullopt;
    }
    return std::string_view(data, static_cast<size_t>(size));
}

std::optional<std::string> utf8_copy(Obj value) {
    if (!PyUnicode_Check(value.get())) return std::nullopt;
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(value.get(), "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
}

Ref next(Obj iterator) {
    PyObject* item = PyIter_Next(iterator.get());
    if (!item && PyErr_Occurred()) throw PyError();
    return Ref::steal_or_null(item);
}

}  // namespace deko
