// Methods of the module's classes, bound on CPython's own calling convention (METH_FASTCALL |
// METH_KEYWORDS) through one binder, and the classes made from them with type().
//
// A method is a row of a table: its class, name, parameters (with their defaults), a one-line doc
// and the C++ body. The binder binds each call's arguments to the parameters as Python binds a
// def's, runs the body, and turns whatever the body throws into the Python error: the one
// boundary between C++ and the interpreter (boundary(), errors.h). In
// the class a method is a descriptor of this module that looks like a def of the class to Python's
// tools (its __qualname__ "DekoConnection.login", __module__, inspect.signature, help()) and binds
// to an instance as a def does.
#pragma once
#include <array>
#include <cstddef>
#include <initializer_list>
#include <utility>

#include "errors.h"
#include "objects.h"

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

// The arguments of one call, bound to the method's parameters: the named ones (the instance
// first) by position in the parameter list, *args as a tuple and **kwargs as a dict. Borrowed
// from the call for its length.
class Args {
public:
    PyObject* operator[](std::size_t i) const { return values_[i]; }
    PyObject* rest() const { return rest_.get(); }
    PyObject* options() const { return options_.get(); }

private:
    template <const MethodDef* Table, std::size_t I>
    friend PyObject* fast_call(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
    friend struct Mistake;
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
// *args and **kwargs (`count` when it has none).
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
void intern_names(const MethodDef& def, ParamNames& names);

// A default's value (borrowed: none, a truth value, or the small int 0, which live for ever).
PyObject* default_value(Default value);

// The TypeErrors Python gives for a caller's mistakes in binding a def's arguments.
struct Mistake {
    [[noreturn]] static void too_many(const MethodDef& def, Py_ssize_t given);
    [[noreturn]] static void unexpected(const MethodDef& def, PyObject* keyword);
    [[noreturn]] static void keyword_not_text(const MethodDef& def);
    [[noreturn]] static void twice(const MethodDef& def, std::size_t slot);
    [[noreturn]] static void missing(const MethodDef& def, const Args& bound);
};

// The C entry of the method in row I of a table, on CPython's fast calling convention: the call's
// arguments bound as Python binds `def name(<params>)` (the parameters are known when the module is
// compiled), then the body run inside the boundary.
using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <const MethodDef* Table, std::size_t I>
PyObject* fast_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr const MethodDef& def = Table[I];
    constexpr Shape shape = shape_of(def);
    static ParamNames names{};
    return boundary([&]() -> Ref {
        if (!names[shape.count - 1]) intern_names(def, names);  // filled in order: the last is made last
        Args a;
        const std::size_t given = static_cast<std::size_t>(nargs);
        if (given > shape.positional && shape.rest_at == shape.count) Mistake::too_many(def, nargs);
        for (std::size_t i = 0; i < shape.positional && i < given; ++i) a.values_[i] = args[i];
        if constexpr (shape.rest_at < shape.count) {
            Py_ssize_t extra = given > shape.positional ? nargs - static_cast<Py_ssize_t>(shape.positional) : 0;
            a.rest_ = Ref::steal(PyTuple_New(extra));
            for (Py_ssize_t k = 0; k < extra; ++k) {
                Py_INCREF(args[shape.positional + k]);
                PyTuple_SET_ITEM(a.rest_.get(), k, args[shape.positional + k]);
            }
        }
        if constexpr (shape.options_at < shape.count) a.options_ = new_dict();
        const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(keyword)) Mistake::keyword_not_text(def);  // 3.7 passes any key of a ** mapping
            std::size_t slot = shape.count;
            for (std::size_t i = 0; i < shape.count && slot == shape.count; ++i)
                if ((def.params[i].kind == Kind::Named || def.params[i].kind == Kind::KeywordOnly) &&
                    same_text(keyword, names[i]))
                    slot = i;
            if (slot == shape.count) {
                if constexpr (shape.options_at == shape.count) Mistake::unexpected(def, keyword);
                set_item(a.options_, keyword, args[nargs + k]);
            } else if (a.values_[slot]) {
                Mistake::twice(def, slot);
            } else {
                a.values_[slot] = args[nargs + k];
            }
        }
        for (std::size_t i = 0; i < shape.count; ++i) {
            const Param& p = def.params[i];
            if (a.values_[i] || p.kind == Kind::Rest || p.kind == Kind::Options) continue;
            if (p.value == Default::Required) Mistake::missing(def, a);
            a.values_[i] = default_value(p.value);
        }
        return def.body(a);
    });
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
