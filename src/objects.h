// Object operations: attributes, items, calls, comparisons, texts, iteration.
//
// Rules of use:
//   - Any of these may run Python code (a property, a key's __eq__, a __bool__) that changes or
//     frees what the caller is reading: each hands out owned references (Ref), and for_each holds
//     each item while the caller works on it.
//   - Arguments are borrowed (Obj, see refs.h); a failure throws PyError (errors.h).
#pragma once
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "refs.h"

namespace deko {

// A keyword argument of call().
struct Kw {
    const Name& name;
    Obj value;
};

// obj.name, obj.name = value
inline Ref attr(Obj obj, Obj name) { return Ref::steal(PyObject_GetAttr(obj.get(), name.get())); }
inline void set_attr(Obj obj, Obj name, Obj value) { checked(PyObject_SetAttr(obj.get(), name.get(), value.get())); }

// obj.name, or a null Ref when obj has no such attribute (AttributeError); other errors pass.
Ref attr_if_present(Obj obj, Obj name);

// mapping[key]: a plain dict directly, anything else through __getitem__.
Ref item(Obj mapping, Obj key);

// mapping[key] if key in mapping, else a null Ref.
Ref item_if_present(Obj mapping, Obj key);

// sequence[index]
Ref item_at(Obj sequence, Py_ssize_t index);

// fn(*args), fn(*args, **kwargs), obj.name(*args)
Ref call(Obj fn, std::initializer_list<Obj> args = {});
Ref call(Obj fn, std::initializer_list<Obj> args, std::initializer_list<Kw> kwargs);
Ref call_method(Obj obj, const Name& name, std::initializer_list<Obj> args = {});

// Python's truth value; a <op> b for op Py_EQ, Py_NE, Py_LT, Py_GE... as Python's operator gives
// it (no identity shortcut: a value unequal to itself stays so); ==, != and `is None` (where an
// operation compares a result with none by == or !=, equals and differs keep that comparison).
inline bool truthy(Obj value) { return checked(PyObject_IsTrue(value.get())) == 1; }
bool compare(Obj a, Obj b, int op);
inline bool equals(Obj a, Obj b) { return compare(a, b, Py_EQ); }
inline bool differs(Obj a, Obj b) { return compare(a, b, Py_NE); }
inline bool is_none(Obj value) { return value.get() == Py_None; }

// Whether two plain str objects hold the same text (no Python code runs).
bool same_text(PyObject* a, PyObject* b);

// Python objects from C++ values.
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }
Ref integer(long value);
Ref py_str(std::string_view value);

// str(value)
Ref str_of(Obj value);

// a + b + ... for texts (each a str), as Python's + gives it.
Ref join(std::initializer_list<Obj> texts);

// A new tuple, dict or list holding the given objects.
Ref tuple(std::initializer_list<Obj> items);
Ref new_dict();
Ref new_list();

// dict[key] = value, list.append(value)
inline void set_item(Obj dict, Obj key, Obj value) { checked(PyObject_SetItem(dict.get(), key.get(), value.get())); }
void append(Obj list, Obj value);

// The whole text of any str (a subclass too, lone surrogates kept), as UTF-8 bytes; nothing for
// other types. No Python code runs.
std::optional<std::string> utf8_copy(Obj value);

// A plain str as UTF-8 (str subclasses, other types and texts that cannot be encoded give nothing).
std::optional<std::string_view> utf8_view(Obj value);

// The next item of an iterator, or a null Ref at its end.
Ref next(Obj iterator);

// Calls fn(item) for each item of an iterable, in order, until fn returns false. A list is walked
// by index with its length read afresh at each step, as Python's list iterator does; each item
// is held while fn runs.
template <typename Fn>
void for_each(Obj list_or_iterable, Fn&& fn) {
    PyObject* iterable = list_or_iterable.get();
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            Ref held = Ref::borrow(PyList_GET_ITEM(iterable, i));
            if (!fn(held.get())) return;
        }
        return;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    while (Ref held = next(iterator))
        if (!fn(held.get())) return;
}

}  // namespace deko
