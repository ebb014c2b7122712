// CPython protocol helpers: owned references, Python errors in C++, and the object operations
// the subsystems use (attributes, items, calls, comparisons, texts, iteration, waiting).
//
// Any of these operations may run Python code (a property, a key's __eq__, a __bool__), and that
// code may change or free what the caller is reading: the helpers hand out owned references
// (Ref), walk lists by index with their length read afresh, and hold each item while the caller
// works on it.
//
// A thread that is inside the module when the interpreter exits is ended by CPython as soon as it
// tries to take the GIL back: a forced unwind (abi::__forced_unwind) runs through the module's
// frames without the GIL. It is never caught for good (only rethrown), and a Ref lets go of its
// object without touching it when its thread does not hold the GIL.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/stack_room.h"

namespace deko {

// Thrown when a C-API call has set a Python exception; the exception stays in the thread's
// error indicator until it is fetched or reaches the method boundary.
struct PyError {};

// Set when the interpreter starts to exit (by an atexit callback, which runs before CPython ends
// threads): only from then on can a thread unwind without the GIL.
extern std::atomic<bool> g_interpreter_exiting __attribute__((visibility("hidden")));

// Whether this thread may touch Python objects: it holds the GIL, which it always does but while a
// thread ended at interpreter exit unwinds (so the GIL is looked at only once the exit has begun).
inline bool holds_gil() {
    return __builtin_expect(!g_interpreter_exiting.load(std::memory_order_relaxed), 1) || PyGILState_Check();
}

// An owned reference. Copying takes another reference; letting go drops it, unless the thread
// has lost the GIL (see above), in which case the object is left as it is.
class Ref {
public:
    Ref() noexcept = default;
    // A new reference returned by a C-API call; null means the call set an exception.
    static Ref steal(PyObject* p) {
        if (!p) throw PyError();
        return Ref(p);
    }
    // A new reference that may be null (no error).
    static Ref own(PyObject* p) noexcept { return Ref(p); }
    // A new reference to a borrowed object (which may be null).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() {
        if (p_ && holds_gil()) Py_DECREF(p_);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference over to the caller.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Fails with PyError when a C-API call that returns a status reported an error (-1).
inline int checked(int status) {
    if (status < 0) throw PyError();
    return status;
}

// A name made once for the life of the process (an interned str), for attributes and keys.
class Name {
public:
    constexpr explicit Name(const char* text) : text_(text) {}
    PyObject* get() const { return object_ ? object_ : intern(); }
    const char* text() const { return text_; }

private:
    PyObject* intern() const;
    const char* text_;
    mutable PyObject* object_ = nullptr;
};

// An object argument of the helpers below: a PyObject*, a Ref or a Name, borrowed for the
// length of the call (a temporary Ref lives until the end of the caller's full expression).
class Obj {
public:
    Obj(PyObject* p) noexcept : p_(p) {}
    Obj(const Ref& r) noexcept : p_(r.get()) {}
    Obj(const Name& n) : p_(n.get()) {}
    PyObject* get() const noexcept { return p_; }

private:
    PyObject* p_;
};

// A keyword argument of call().
struct Kw {
    const Name& name;
    Obj value;
};

// Errors ---------------------------------------------------------------------------------------

// A Python exception taken out of the thread's error indicator: normalised, traceback attached.
struct Fetched {
    Ref type, value, traceback;
};

// Takes the pending Python exception out of the error indicator.
Fetched fetch_error();

// Puts a fetched exception back into the error indicator; the caller then throws PyError.
void restore_error(Fetched error);

// Whether an exception is an ordinary error (an Exception), not an interrupt or an exit.
bool is_ordinary(const Fetched& error);

// A C++ failure (not a PyError) as the Python exception it becomes: MemoryError for bad_alloc,
// RuntimeError with its text for any other.
Fetched failure_error(const char* what, bool out_of_memory);

// Runs body() and returns the exception it raised, if any, as a Python exception: the one place
// that catches every exception (the binder's boundary, the worker threads and the operations that
// log their errors all go through it). The forced unwind of a thread ended at interpreter exit
// passes through.
template <typename Body>
std::optional<Fetched> attempt(Body&& body) {
    try {
        body();
        return std::nullopt;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (PyError&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error reported without an exception");
        return fetch_error();
    } catch (std::bad_alloc&) {
        return failure_error(nullptr, true);
    } catch (std::exception& e) {
        return failure_error(e.what(), false);
    } catch (...) {
        return failure_error("unknown failure in the connection module", false);
    }
}

// Runs body(). An ordinary error raised inside it is handed, as the exception object, to
// on_error, whose result is then returned; interrupts and exits pass through.
template <typename Body, typename OnError>
auto guarded(Body&& body, OnError&& on_error) -> decltype(body()) {
    decltype(body()) result{};
    std::optional<Fetched> error = attempt([&] { result = body(); });
    if (!error) return result;
    if (!is_ordinary(*error)) {
        restore_error(std::move(*error));
        throw PyError();
    }
    return on_error(error->value.get());
}

// Objects -------------------------------------------------------------------------------------

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
Ref text(std::string_view value);

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
std::optional<std::string> text_of(Obj value);

// A plain str as UTF-8 (str subclasses, other types and texts that cannot be encoded give nothing).
std::optional<std::string_view> utf8_of(Obj value);

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

// Waiting ---------------------------------------------------------------------------------------

// Waits without the GIL until ready(slice) reports an outcome, calling it again after each slice
// of at most `slice`; between slices the GIL is taken back so that signals are handled
// (KeyboardInterrupt and the like are raised here) and between() runs. ready must not touch
// Python objects.
template <typename Ready, typename Between>
auto wait_without_gil(Ready&& ready, std::chrono::milliseconds slice, Between&& between) {
    for (;;) {
        PyThreadState* state = PyEval_SaveThread();
        auto outcome = ready(slice);
        // At interpreter exit this ends the thread with a forced unwind (see above).
        PyEval_RestoreThread(state);
        if (outcome) return *outcome;
        checked(PyErr_CheckSignals());
        between();
    }
}

// Runs work() without the GIL (work must not touch Python objects nor throw).
template <typename Work>
void without_gil(Work&& work) {
    PyThreadState* state = PyEval_SaveThread();
    work();
    PyEval_RestoreThread(state);
}

// Raises RecursionError when another level like `level` would not fit on the current thread's C
// stack, or Python's recursion depth is near its limit: called before a method calls itself again
// through the instance, which nests C frames that Python's recursion limit does not measure (a
// thread's stack may be as small as the host makes it).
void ensure_stack_room(StackLevel& level);

// Module globals --------------------------------------------------------------------------------

// Notes that the interpreter has begun to exit (see g_interpreter_exiting).
void note_interpreter_exit();

// Keeps the module's namespace, in which globals are then looked up at call time.
void set_module_globals(Obj globals);

// A module global (or, failing that, a built-in), looked up now: the host and tests may replace
// the module's globals. NameError when the name is gone, as in Python.
Ref global(const Name& name);

}  // namespace deko
