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

// The Qt thread object whose run() the current thread executes (one of the module's worker
// threads), for the length of that run(); null on any other thread. Qt is never asked for the
// object of a thread it did not start: for a thread of Python's it would adopt it, and PySide2
// then crashes the process when that thread ends.
class RunningQThread {
public:
    explicit RunningQThread(PyObject* thread);
    ~RunningQThread();
    RunningQThread(const RunningQThread&) = delete;
    RunningQThread& operator=(const RunningQThread&) = delete;

    static PyObject* current();

private:
    PyObject* outer_;
};

// Notes that the interpreter has begun to exit (see g_interpreter_exiting).
void note_interpreter_exit();

// The state of one module object, as a Python module has its own: its namespace (in which its
// globals are looked up at call time), its name and its classes. Every import of the file (under
// another name, after the module was deleted from sys.modules) makes a module object of its own;
// importlib.reload binds the same one's globals and classes anew.
//
// It is carried by a Python object while the module is being made, and then by each of its
// classes; it is the current module of a thread while one of its methods runs there (the
// innermost, when methods of two module objects call each other).
Ref new_module_state(Obj module);

// The module whose state `carrier` carries (a state's carrier, or one of the module's classes) is
// the current one of this thread for the length of a call.
class InModule {
public:
    explicit InModule(PyObject* carrier);
    ~InModule();
    InModule(const InModule&) = delete;
    InModule& operator=(const InModule&) = delete;

private:
    struct ModuleState* outer_;
};

// The current module's name (__name__).
Ref module_name();

// A class of the current module, by name; a class the current module made carries its state.
Ref module_class(const char* name);
void set_module_class(const char* name, Obj cls);

// A global of the current module (or, failing that, a built-in), looked up now: the host and tests
// may replace the module's globals. NameError when the name is gone, as in Python.
Ref global(const Name& name);

}  // namespace deko
