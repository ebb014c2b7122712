// Python errors in C++, and the one boundary where a C++ failure becomes the Python error.
//
// Rules of use:
//   - A C-API call that fails has set the Python exception: throw PyError (Ref::steal and checked()
//     do) and let it travel; nothing in between catches it.
//   - Catch nothing yourself: attempt() is the one place that catches every exception. boundary()
//     (a method's C entry, the module's entry), guarded() (the operations that log their errors),
//     the worker threads and the claim undo all go through it.
//   - The forced unwind of a thread ended at interpreter exit (abi::__forced_unwind) always passes.
#pragma once
#include <exception>
#include <new>
#include <optional>
#if defined(__GLIBCXX__)  // GCC's C++ library: glibc ends a thread with a forced unwind (refs.h)
#include <cxxabi.h>
#endif

#include "refs.h"

namespace deko {

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

// Runs body() and returns the exception it raised, if any, as a Python exception.
template <typename Body>
std::optional<Fetched> attempt(Body&& body) {
    try {
        body();
        return std::nullopt;
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;
#endif
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

// Runs body() and hands its result (a Ref) to CPython, or the error it raised as the Python error
// (null): what a C entry of the module returns.
template <typename Body>
PyObject* boundary(Body&& body) {
    PyObject* result = nullptr;
    std::optional<Fetched> error = attempt([&] { result = body().release(); });
    if (!error) return result;
    restore_error(std::move(*error));
    return nullptr;
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

}  // namespace deko
