// The module's runtime: waiting without the GIL, the interpreter's exit, and the module's globals.
//
// Rules of use:
//   - Never wait (a sleep, a lock, a condition) holding the GIL, and never wait on a C++ lock
//     while holding it: wait through wait_without_gil(), which takes the GIL back between slices
//     for signals and for what the waiting thread must keep doing, or run GIL-free work through
//     without_gil().
//   - Read a module global through global() at the moment of use: the host and its tests replace
//     them (sleep, datetime, dekorequest ...) and the change must take effect at once.
#pragma once
#include <chrono>

#include "refs.h"

namespace deko {

// Waits without the GIL until ready(slice) reports an outcome, calling it again after each slice
// of at most `slice`; between slices the GIL is taken back so that signals are handled
// (KeyboardInterrupt and the like are raised here) and between() runs. ready must not touch
// Python objects.
template <typename Ready, typename Between>
auto wait_without_gil(Ready&& ready, std::chrono::milliseconds slice, Between&& between) {
    for (;;) {
        PyThreadState* state = PyEval_SaveThread();
        auto outcome = ready(slice);
        // At interpreter exit this ends the thread with a forced unwind (refs.h).
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

// Notes that the interpreter has begun to exit (see g_interpreter_exiting).
void note_interpreter_exit();

// Keeps the module's namespace, in which globals are then looked up at call time.
void set_module_globals(Obj globals);

// A module global (or, failing that, a built-in), looked up now: the host and tests may replace
// the module's globals. NameError when the name is gone, as in Python.
Ref global(const Name& name);

}  // namespace deko
