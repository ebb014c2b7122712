// The module's runtime (see runtime.h).
#include "runtime.h"

#include <map>
#include <string>
#include <unordered_map>

namespace deko {

namespace {
thread_local PyObject* t_qthread = nullptr;
}  // namespace

RunningQThread::RunningQThread(PyObject* thread) : outer_(t_qthread) { t_qthread = thread; }
RunningQThread::~RunningQThread() { t_qthread = outer_; }
PyObject* RunningQThread::current() { return t_qthread; }

void note_interpreter_exit() { g_interpreter_exiting.store(true, std::memory_order_relaxed); }

struct ModuleState {
    Ref globals, name;
    std::map<std::string, Ref> classes;
};

namespace {

// The current module of this thread, and the class whose state was looked up last. The thread's
// own block of the module's TLS is reached directly (initial-exec) on systems with ELF's static TLS:
// they are read at every method call.
struct CurrentModule {
    ModuleState* state;
    PyObject* last_class;
    ModuleState* last_state;
};
#if defined(__ELF__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local CurrentModule t_current{nullptr, nullptr, nullptr};

// The classes of every module object made in this process, and their module's state. Classes and
// states live as long as the process: a method a host kept may be called at any time. Touched only
// while the GIL is held.
auto& g_class_states = *new std::unordered_map<PyObject*, ModuleState*>();

// The carrier of a module's state: a Python object, so that C functions can point to it.
struct Carrier {
    PyObject_HEAD
    ModuleState* state;
};

void carrier_dealloc(PyObject* self) {
    // The state lives on in its classes (a module that made none is dropped with it).
    ModuleState* state = reinterpret_cast<Carrier*>(self)->state;
    if (state->classes.empty()) delete state;
    PyObject_Del(self);
}

PyTypeObject g_carrier_type = static_type("dekoconnection.module_state", sizeof(Carrier), carrier_dealloc);

ModuleState& current() {
    ModuleState* state = t_current.state;
    if (!state) {
        PyErr_SetString(PyExc_RuntimeError, "the connection module is used outside its own methods");
        throw PyError();
    }
    return *state;
}

}  // namespace

Ref new_module_state(Obj module) {
    if (!g_carrier_type.tp_dict) checked(PyType_Ready(&g_carrier_type));
    Ref carrier = Ref::steal(PyObject_New(PyObject, &g_carrier_type));
    auto* state = new ModuleState();
    reinterpret_cast<Carrier*>(carrier.get())->state = state;
    // The module holds its namespace; the state holds it too, for as long as a method can run.
    state->globals = Ref::borrow(PyModule_GetDict(module.get()));
    state->name = Ref::steal(PyModule_GetNameObject(module.get()));
    return carrier;
}

InModule::InModule(PyObject* carrier) : outer_(t_current.state) {
    CurrentModule& current = t_current;
    if (Py_TYPE(carrier) == &g_carrier_type) {
        current.state = reinterpret_cast<Carrier*>(carrier)->state;
        return;
    }
    if (current.last_class != carrier) {
        auto found = g_class_states.find(carrier);
        current.last_class = carrier;
        current.last_state = found == g_class_states.end() ? nullptr : found->second;
    }
    current.state = current.last_state;
}

InModule::~InModule() { t_current.state = outer_; }

Ref module_name() { return current().name; }

Ref module_class(const char* name) {
    ModuleState& state = current();
    auto it = state.classes.find(name);
    if (it == state.classes.end()) {
        PyErr_Format(PyExc_RuntimeError, "class %s is not defined", name);
        throw PyError();
    }
    return it->second;
}

void set_module_class(const char* name, Obj cls) {
    ModuleState& state = current();
    state.classes[name] = Ref::borrow(cls.get());
    g_class_states[cls.get()] = &state;
}

Ref global(const Name& name) {
    PyObject* globals = current().globals.get();
    Ref value = Ref::borrow(PyDict_GetItemWithError(globals, name.get()));
    if (!value && PyErr_Occurred()) throw PyError();
    if (!value) {
        Ref builtins = Ref::borrow(PyEval_GetBuiltins());
        value = Ref::borrow(PyDict_GetItemWithError(builtins.get(), name.get()));
        if (!value && PyErr_Occurred()) throw PyError();
    }
    if (!value) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name.text());
        throw PyError();
    }
    return value;
}

}  // namespace deko
