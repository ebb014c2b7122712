// Methods of the module's classes, bound on CPython's own calling convention (METH_FASTCALL |
// METH_KEYWORDS) through one binder, and the classes made from them with type().
//
// A method is a row of a table: its class, name, parameters (with their defaults), a one-line doc
// and the C++ body. The binder binds each call's arguments to the parameters as Python binds a
// def's, runs the body, and turns whatever the body throws into the Python error: the one
// boundary between C++ and the interpreter. In the class a method is a descriptor of this module
// that looks like a def of the class to Python's tools (its __qualname__ "DekoConnection.login",
// __module__, inspect.signature, help()) and binds to an instance as a def does.
#pragma once
#include <array>
#include <cstddef>
#include <initializer_list>
#include <utility>

#include "pyproto.h"

namespace deko {

// Name under which the classes and methods report their module.
constexpr const char* kModuleName = "apps.deko.libs.connections.dekoconnection";

// A parameter's default: none (required), or the value Python would evaluate it to.
enum class Default { Required, None, Zero, True, False };

// Where a parameter stands: named (positional or keyword), *args, keyword-only, **kwargs.
enum class Kind { Named, Rest, KeywordOnly, Options };

struct Param {
    const char* name = nullptr;
    Default value = Default::Required;
    Kind kind = Kind::Named;
};

constexpr std::size_t kMostParams = 8;

struct MethodDef;
struct Binding;

// The arguments of one call, bound to the method's parameters: the named ones (the instance
// first) by position in the parameter list, *args as a tuple and **kwargs as a dict. Borrowed
// from the call for its length.
class Args {
public:
    PyObject* operator[](std::size_t i) const { return values_[i]; }
    PyObject* rest() const { return rest_.get(); }
    PyObject* options() const { return options_.get(); }

private:
    friend struct Binding;
    PyObject* values_[kMostParams] = {};
    Ref rest_, options_;
};

// One method: its class, name, parameters, doc and body.
struct MethodDef {
    const char* owner;
    const char* name;
    std::array<Param, kMostParams> params;
    const char* doc;
    Ref (*body)(const Args&);
};

// Where a method's parameters stand: their number, the named ones before *args, and the places of
// *args and **kwargs (`count` when it has none). Worked out when the module is compiled.
struct Shape {
    std::size_t count = 0, positional = 0, rest_at = 0, options_at = 0;
};

constexpr Shape shape_of(const MethodDef& def) {
    Shape s;
    while (s.count < kMostParams && def.params[s.count].name) ++s.count;
    s.rest_at = s.options_at = s.count;
    for (std::size_t i = 0; i < s.count; ++i) {
        if (def.params[i].kind == Kind::Named && s.rest_at == s.count) ++s.positional;
        if (def.params[i].kind == Kind::Rest) s.rest_at = i;
        if (def.params[i].kind == Kind::Options) s.options_at = i;
    }
    return s;
}

// The parameters' names as interned str, made at the method's first call and kept.
using ParamNames = std::array<PyObject*, kMostParams>;

// Binds a call's arguments to `def` and runs its body: the module's one boundary.
PyObject* invoke(const MethodDef& def, const Shape& shape, ParamNames& names, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames);

// The C entry of the method in row I of a table: CPython's fast calling convention.
using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <const MethodDef* Table, std::size_t I>
PyObject* fast_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Shape shape = shape_of(Table[I]);
    static ParamNames names{};
    return invoke(Table[I], shape, names, args, nargs, kwnames);
}

template <const MethodDef* Table, std::size_t... I>
constexpr std::array<FastCall, sizeof...(I)> fast_calls(std::index_sequence<I...>) {
    return {&fast_call<Table, I>...};
}

// Makes the class `name` with type(name, bases, namespace): its namespace holds the methods of
// `table` whose owner it is (in table order), then `extra`. Kept for the life of the process.
Ref make_class(const char* name, Obj bases, const char* doc, const MethodDef* table, const FastCall* entries,
               std::size_t rows, Obj extra);

// A class made by make_class.
Ref module_class(const char* name);

}  // namespace deko
