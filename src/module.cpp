// Module assembly: the import-time bindings, the one method table, and the three classes.
//
// Everything here rests on three choices, made so that the module behaves as a Python module of
// the host's would, and the host (and its tests) can patch it as such:
//   - The classes are real Python classes, made with type(name, bases, namespace):
//     DekoConnection derives from object and keeps its attributes in its instance dict; the two
//     thread classes derive from PySide2's QThread and carry a Qt signal.
//   - The methods call each other through the instance (self.makerequest, self.transaksi ...),
//     so a subclass or an instance attribute of the host replaces them for every caller.
//   - Module globals bound at import (sleep, datetime, json, dekorequest, FuncResponse ...) are
//     looked up on the module at call time, so that replacing one takes effect at once.
#include "core/platform.h"
#include "errors.h"
#include "names.h"
#include "runtime.h"
#include "subsystems.h"

using namespace deko::names;

#ifndef DEKO_VERSION
#error "DEKO_VERSION (the project version) must be defined by the build"
#endif

namespace deko {

namespace {

// The names bound at import, in order: from <module> import <alias>, from <module> import <name> as
// <alias>, or, with the name kWholeModule, import <module> as <alias>. An import failure propagates
// unchanged: the host's modules (from dekorequest on) are bound whenever the module is imported as
// part of its package, the only way it is imported.
struct Binding {
    const char* module;
    const Name& alias;
    const char* name = nullptr;
};
constexpr const char* kWholeModule = "";
const Binding kBindings[] = {
    {"urllib3", kUrllib3, kWholeModule},
    {"datetime", kDatetime, kWholeModule},
    {"time", kSleep},
    {"json", kJson, kWholeModule},
    {"apps.deko.libs.databases.sqlite", kSqliteTransaksi},
    {kQtCore, kQThread},
    {kQtCore, kSignal},
    {"apps.deko.constants.transaksi", kTipeCuan},
    {"apps.deko.libs.connections.commonconnection", kCommonConnection},
    {"apps.deko.models.requests", kRequests, kWholeModule},
    {"apps.deko.models.objects.response", kDekoResponse},
    {"models.objects.response", kFuncResponse},
    {"apps.deko.libs.utils.tools", kNormalize},
    {"apps.deko.libs.utils.tools", kParseBayar},
    {"apps.deko.libs.utils.tools", kGetBrand},
    {"apps.deko.libs.utils.tools", kGetShortcode},
    {"apps.deko.libs.utils.tools", kRemoveHtmlTags},
    {"apps.deko.libs.utils.generator", kUuidGenerator},
    {"apps.deko.models.objects.inquery", kInqueryDetail},
    {"apps.deko.constants", kTransaksiTypes, "transaksi"},
    {"apps.deko.constants.transaksi", kDefaultProduks},
};

PyObject* interpreter_exits(PyObject*, PyObject*) {
    note_interpreter_exit();
    Py_RETURN_NONE;
}
PyMethodDef g_exit_def = {"note_interpreter_exit", interpreter_exits, METH_NOARGS, nullptr};

// A class deriving from `base` made from the subsystems' rows for it, with `extra` in its namespace.
Ref make(const char* name, Obj base, const char* doc, Obj extra = nullptr) {
    return make_class(name, tuple({base}), doc,
                      {kSessionMethods, kCatalogueMethods, kTransactionMethods, kHistoryMethods, kThreadMethods}, extra);
}

// What is done once for the process, whatever number of module objects are made.
void init_process() {
    static bool done = false;
    if (done) return;
    platform::reset_after_fork(&forget_logins_in_flight);
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    call_method(atexit, Name("register"), {Ref::steal(PyCFunction_New(&g_exit_def, nullptr))});
    done = true;
}

// Lets importlib.reload make the module again, as reload runs a Python module's code again:
// CPython marks a module made in two phases as made by giving it a state block, and skips making
// it again while that is there. The block (empty: the module keeps its state elsewhere) is found
// beside the module's definition in the module object, both read through the API first, and
// handed back; where it is not found so, reload keeps CPython's own behaviour and does nothing.
void allow_reload(PyObject* m) {
    void* block = PyModule_GetState(m);
    PyModuleDef* def = PyModule_GetDef(m);
    if (!block || !def) return;
    auto** fields = reinterpret_cast<void**>(reinterpret_cast<char*>(m) + sizeof(PyObject));
    for (int i = 0; i < 4; ++i) {
        if (fields[i] == def && fields[i + 1] == block) {
            fields[i + 1] = nullptr;
            PyMem_Free(block);
            return;
        }
    }
}

// Makes a module object (a new import, or importlib.reload of one): its globals bound, its classes
// made, as the module's own.
int exec_module(PyObject* m) {
    std::optional<Fetched> failed = attempt([&] {
        init_process();
        Ref state = new_module_state(m);
        InModule in_module(state.get());
        PyObject* g = PyModule_GetDict(m);  // borrowed: the module holds it
        set_item(g, py_str("__version__"), py_str(DEKO_VERSION));
        for (const Binding& b : kBindings) {
            Ref module = Ref::steal(PyImport_ImportModule(b.module));
            if (b.name == kWholeModule)
                set_item(g, b.alias, module);
            else
                set_item(g, b.alias, b.name ? attr(module, py_str(b.name)) : attr(module, b.alias));
        }

        set_item(g, py_str(kConnectionClass),
                 make(kConnectionClass, reinterpret_cast<PyObject*>(&PyBaseObject_Type),
                      "Connection to the Deko retailer service for one terminal."));
        // request_finished = Signal(object)
        Ref qthread = item(g, kQThread);
        auto signal = [&] {
            Ref extra = new_dict();
            set_item(extra, kRequestFinished,
                     call(item(g, kSignal), {reinterpret_cast<PyObject*>(&PyBaseObject_Type)}));
            return extra;
        };
        set_item(g, py_str(kWorkerClass),
                 make(kWorkerClass, qthread, "Qt worker thread that runs one connection operation.", signal()));
        set_item(g, py_str(kHistoryThreadClass),
                 make(kHistoryThreadClass, qthread,
                      "Qt worker thread that settles a purchase from the history and replies to the terminal.",
                      signal()));
    });
    if (!failed) {
        allow_reload(m);
        return 0;
    }
    restore_error(std::move(*failed));
    return -1;
}

PyModuleDef_Slot g_module_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(&exec_module)}, {0, nullptr}};

// Made in two phases, as a Python module is: every import makes a module object of its own (the
// file imported under a second name, or again after its module was deleted from sys.modules), and
// importlib.reload runs exec_module again on the same one.
PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT, "dekoconnection", "Connection to the Deko retailer service.", 0,
                            nullptr, g_module_slots, nullptr, nullptr, nullptr};

}  // namespace

}  // namespace deko

// The module's entry. An import failure reaches the importer unchanged, so that a missing host
// module is named by the error itself.
DEKO_MODULE_ENTRY PyInit_dekoconnection() {
    return PyModuleDef_Init(&deko::g_module_def);
}
