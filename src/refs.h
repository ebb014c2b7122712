// References to Python objects: owned (Ref), borrowed (PyObject*, Obj), and names made once (Name).
//
// Rules of use:
//   - Take PyObject* for an object the caller holds for the length of the call (a method's
//     argument, an item the caller holds in a Ref); never keep it past the call.
//   - Take Obj where a PyObject*, a Ref or a Name may come: it borrows for the length of the call
//     (a temporary Ref lives until the end of the caller's full expression).
//   - Take const Ref& only to keep a copy (copying takes a reference of its own).
//   - Hold what a C-API call, a lookup or a call gives back in a Ref before any other Python code
//     can run: a property, a key's __eq__ or a __bool__ may change or free what was read.
//
// A thread that is inside the module when the interpreter exits is ended by CPython as soon as it
// tries to take the GIL back: a forced unwind (abi::__forced_unwind) runs through the module's
// frames without the GIL. A Ref then lets go of its object without touching it.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/compiler.h"

#include <atomic>
#include <utility>

// The module's entry, PyInit_<name>: exported from the built file (on Windows PyMODINIT_FUNC's
// dllexport; elsewhere visible in spite of the build's hidden default, which 3.7's PyMODINIT_FUNC
// does not undo).
#if defined(_WIN32)
#define DEKO_MODULE_ENTRY PyMODINIT_FUNC
#else
#define DEKO_MODULE_ENTRY extern "C" __attribute__((visibility("default"))) PyObject*
#endif

namespace deko {

// Thrown when a C-API call has set a Python exception; the exception stays in the thread's
// error indicator until it is fetched or reaches the boundary (errors.h).
struct PyError {};

// Fails with PyError when a C-API call that returns a status reported an error (-1).
inline int checked(int status) {
    if (status < 0) throw PyError();
    return status;
}

// Set when the interpreter starts to exit (by an atexit callback, which runs before CPython ends
// threads, runtime.h): only from then on can a thread unwind without the GIL.
extern std::atomic<bool> g_interpreter_exiting DEKO_HIDDEN;

// Whether this thread may touch Python objects: it holds the GIL, which it always does but while a
// thread ended at interpreter exit unwinds (so the GIL is looked at only once the exit has begun).
inline bool holds_gil() {
    return DEKO_LIKELY(!g_interpreter_exiting.load(std::memory_order_relaxed)) || PyGILState_Check();
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
    // A new reference that may be null (no error): then a null Ref.
    static Ref steal_or_null(PyObject* p) noexcept { return Ref(p); }
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

// A name made once for the life of the process (an interned str), for attributes, keys, keywords
// and the module's own method and parameter names (names.h). Made at its first use, under the GIL.
class Name {
public:
    constexpr explicit Name(const char* text) : text_(text) {}
    PyObject* get() const { return object_ ? object_ : intern(); }
    constexpr const char* text() const { return text_; }

private:
    PyObject* intern() const;
    const char* text_;
    mutable PyObject* object_ = nullptr;
};

// A type of the module's own objects, made once for the life of the process (a static type, never
// freed): its name, size and deallocator set, every other slot empty, for the caller to fill.
PyTypeObject static_type(const char* name, Py_ssize_t size, destructor dealloc);

// An object argument: a PyObject*, a Ref or a Name, borrowed for the length of the call.
class Obj {
public:
    Obj(PyObject* p) noexcept : p_(p) {}
    Obj(const Ref& r) noexcept : p_(r.get()) {}
    Obj(const Name& n) : p_(n.get()) {}
    PyObject* get() const noexcept { return p_; }

private:
    PyObject* p_;
};

}  // namespace deko
