// Methods of the module's classes, bound on CPython's own calling convention (METH_FASTCALL |
// METH_KEYWORDS) through one binder, and the classes made from them with type().
//
// A method is a row of a table: its class, name, parameters (with their defaults), a one-line doc
// and its body, a C++ function with one PyObject* parameter for each of the row's (the instance
// first; *args a tuple, **kwargs a dict), e.g. Ref transaksi(PyObject* self, PyObject* record,
// PyObject* counter). The binder binds each call's arguments to the parameters as Python binds a
// def's, calls the body with them, and turns whatever the body throws into the Python error
// (boundary(), errors.h). In the class a method is a descriptor of this module that looks like a
// def of the class to Python's tools (its __qualname__ "DekoConnection.login", __module__,
// inspect.signature, help(), pickle) and binds to an instance as a def does.
#pragma once
#include <array>
#include <cstddef>
#include <initializer_list>
#include <type_traits>
#include <utility>

#include "errors.h"
#include "names.h"
#include "objects.h"
#include "runtime.h"

namespace deko {

// A parameter's default: none (required), or the value Python would evaluate it to.
enum class ParamDefault { Required, None, Zero, True, False };

// Where a parameter stands: named (positional or keyword), *args, keyword-only, **kwargs; the slots
// of a row after its last parameter are left unused (all zero).
enum class ParamKind { Unused, Named, Rest, KeywordOnly, Options };

// A parameter. (Without default member initialisers, and without comparing its name with null
// where the compiler must evaluate it: some compilers refuse either in a constant table.)
struct Param {
    const Name* name;
    ParamDefault value;
    ParamKind kind;
};

constexpr std::size_t kMostParams = 8;

struct MethodDef;

// The arguments of one call, bound to the method's parameters in their order (the instance first;
// *args as a tuple and **kwargs as a dict in their places). Borrowed from the call for its length.
class Args {
public:
    PyObject* operator[](std::size_t i) const { return values_[i]; }

private:
    template <const MethodDef* Table, std::size_t I>
    friend PyObject* fast_call(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
    friend struct Mistake;
    PyObject* values_[kMostParams] = {};
    Ref rest_, options_;
};

// A method's body, called with a call's bound arguments, and the number of parameters it takes.
struct Body {
    Ref (*call)(const Args&);
    std::size_t arity;
};

template <typename F, F Fn>
struct BodyAdapter;

template <typename... P, Ref (*Fn)(P...)>
struct BodyAdapter<Ref (*)(P...), Fn> {
    static_assert((std::is_same_v<P, PyObject*> && ...), "a method body takes PyObject* parameters");
    static constexpr std::size_t arity = sizeof...(P);
    static Ref call(const Args& a) { return pass(a, std::index_sequence_for<P...>()); }
    template <std::size_t... I>
    static Ref pass(const Args& a, std::index_sequence<I...>) {
        return Fn(a[I]...);
    }
};

// The body Fn of a row: body<&transaksi>().
template <auto Fn>
constexpr Body body() {
    using Adapter = BodyAdapter<decltype(Fn), Fn>;
    return {&Adapter::call, Adapter::arity};
}

// One method: its class, its place among the class's methods (the order of a class body's defs),
// its name, parameters, doc and body.
struct MethodDef {
    const char* owner;
    int place;
    const Name* name;
    std::array<Param, kMostParams> params;
    const char* doc;
    Body body;
};

// The parameters of a row: the instance, required and optional named ones, *args, keyword-only
// ones, **kwargs.
inline constexpr Param self{&names::kSelf, ParamDefault::Required, ParamKind::Named};
constexpr Param required(const Name& name) { return {&name, ParamDefault::Required, ParamKind::Named}; }
constexpr Param optional(const Name& name, ParamDefault value) { return {&name, value, ParamKind::Named}; }
constexpr Param rest(const Name& name) { return {&name, ParamDefault::Required, ParamKind::Rest}; }
constexpr Param keyword_only(const Name& name, ParamDefault value) { return {&name, value, ParamKind::KeywordOnly}; }
constexpr Param options(const Name& name) { return {&name, ParamDefault::Required, ParamKind::Options}; }

// Where a method's parameters stand: their number, the named ones before *args, and the places of
// *args and **kwargs (`count` when it has none).
struct Shape {
    std::size_t count, positional, rest_at, options_at;
};

constexpr Shape shape_of(const MethodDef& def) {
    std::size_t count = 0, positional = 0, rest_at = kMostParams, options_at = kMostParams;
    while (count < kMostParams && def.params[count].kind != ParamKind::Unused) ++count;
    for (std::size_t i = 0; i < count; ++i) {
        const ParamKind kind = def.params[i].kind;
        if (kind == ParamKind::Named && rest_at == kMostParams) ++positional;
        if (kind == ParamKind::Rest) rest_at = i;
        if (kind == ParamKind::Options) options_at = i;
    }
    return Shape{count, positional, rest_at == kMostParams ? count : rest_at,
                 options_at == kMostParams ? count : options_at};
}

// A default's value (borrowed: none, a truth value, or the small int 0, which live for ever).
PyObject* default_value(ParamDefault value);

// The TypeErrors Python gives for a caller's mistakes in binding a def's arguments, worded as the
// running interpreter words a def's.
struct Mistake {
    [[noreturn]] static void too_many(const MethodDef& def, Py_ssize_t given);
    [[noreturn]] static void unexpected(const MethodDef& def, PyObject* keyword);
    [[noreturn]] static void keyword_not_text(const MethodDef& def);
    [[noreturn]] static void twice(const MethodDef& def, std::size_t slot);
    [[noreturn]] static void missing(const MethodDef& def, const Args& bound);
};

// The C entry of the method in row I of a table, on CPython's fast calling convention: the call's
// arguments bound as Python binds `def name(<params>)` (the parameters are known when the module is
// compiled), then the body called with them inside the boundary.
using FastCall = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <const MethodDef* Table, std::size_t I>
PyObject* fast_call(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    constexpr const MethodDef& def = Table[I];
    constexpr Shape shape = shape_of(def);
    static_assert(def.body.arity == shape.count, "a method's body takes one parameter for each of its row's");
    InModule in_module(module);  // the C function's self: its class, which carries its module's state
    return boundary([&]() -> Ref {
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
            a.values_[shape.rest_at] = a.rest_.get();
        }
        if constexpr (shape.options_at < shape.count) {
            a.options_ = new_dict();
            a.values_[shape.options_at] = a.options_.get();
        }
        const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(keyword)) Mistake::keyword_not_text(def);  // 3.7 passes any key of a ** mapping
            std::size_t slot = shape.count;
            for (std::size_t i = 0; i < shape.count && slot == shape.count; ++i)
                if ((def.params[i].kind == ParamKind::Named || def.params[i].kind == ParamKind::KeywordOnly) &&
                    same_text(keyword, def.params[i].name->get()))
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
            if (a.values_[i]) continue;
            if (p.value == ParamDefault::Required) Mistake::missing(def, a);
            a.values_[i] = default_value(p.value);
        }
        return def.body.call(a);
    });
}

template <const MethodDef* Table, std::size_t... I>
constexpr std::array<FastCall, sizeof...(I)> fast_calls(std::index_sequence<I...>) {
    return {&fast_call<Table, I>...};
}

// The methods a subsystem contributes: its rows and their C entries.
struct MethodTable {
    const MethodDef* rows;
    const FastCall* entries;
    std::size_t count;
};

// The table of the rows `Rows` (a constant array of N rows): method_table<kRows, std::size(kRows)>().
template <const MethodDef* Rows, std::size_t N>
struct TableOf {
    static constexpr std::array<FastCall, N> entries = fast_calls<Rows>(std::make_index_sequence<N>());
};
template <const MethodDef* Rows, std::size_t N>
constexpr MethodTable method_table() {
    return {Rows, TableOf<Rows, N>::entries.data(), N};
}

// Whether `callable` is a method of this module's classes bound to `self` whose body is `body`:
// calling it would run that body with `self`.
bool runs_body(PyObject* callable, PyObject* self, const Body& body);

// Makes the current module's class `name` with type(name, bases, namespace): its namespace holds
// the methods of the tables whose owner it is, in the order of their places, then `extra`.
Ref make_class(const char* name, Obj bases, const char* doc, std::initializer_list<MethodTable> tables, Obj extra);

}  // namespace deko
