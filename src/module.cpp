// Module assembly: the import-time bindings and the three classes.
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
#include <pthread.h>

#include "members.h"

#ifndef DEKO_VERSION
#error "DEKO_VERSION (the project version) must be defined by the build"
#endif

namespace py = pybind11;

namespace {

// The names bound at import, in order: from <module> import <name> [as <alias>], or, without a name,
// import <module> as <alias>. An import failure propagates unchanged: the host's modules (from
// dekorequest on) are bound whenever the module is imported as part of its package, the only way it
// is imported.
struct Binding {
    const char* module;
    const char* name;
    const char* alias;
};
const Binding kBindings[] = {
    {"urllib3", nullptr, "urllib3"},
    {"datetime", nullptr, "datetime"},
    {"time", "sleep", "sleep"},
    {"json", nullptr, "json"},
    {"apps.deko.libs.databases.sqlite", "SqliteTransaksi", "SqliteTransaksi"},
    {"PySide2.QtCore", "QThread", "QThread"},
    {"PySide2.QtCore", "Signal", "Signal"},
    {"apps.deko.constants.transaksi", "TIPE_CUAN", "TIPE_CUAN"},
    {"apps.deko.libs.connections.commonconnection", "CommonConnection", "CommonConnection"},
    {"apps.deko.models.requests", nullptr, "dekorequest"},
    {"apps.deko.models.objects.response", "DekoResponse", "DekoResponse"},
    {"models.objects.response", "FuncResponse", "FuncResponse"},
    {"apps.deko.libs.utils.tools", "normalizemsisdn", "normalizemsisdn"},
    {"apps.deko.libs.utils.tools", "parse_bayar", "parse_bayar"},
    {"apps.deko.libs.utils.tools", "get_brand", "get_brand"},
    {"apps.deko.libs.utils.tools", "get_shortcode", "get_shortcode"},
    {"apps.deko.libs.utils.tools", "remove_html_tags", "remove_html_tags"},
    {"apps.deko.libs.utils.generator", "uuidGenerator", "uuidGenerator"},
    {"apps.deko.models.objects.inquery", "InqueryDetail", "InqueryDetail"},
    {"apps.deko.constants", "transaksi", "TRANSAKSI_TYPES"},
    {"apps.deko.constants.transaksi", "DEFAULT_PRODUKS", "DEFAULT_PRODUKS"},
};

py::tuple bases(py::handle base) { return py::make_tuple(base); }

void init_module(py::module_& m);

py::module_::module_def g_module_def;

}  // namespace

// The module's entry, as pybind11's own but for import failures: they reach the importer unchanged,
// so that a missing host module is named by the error itself.
PYBIND11_PLUGIN_IMPL(dekoconnection) {
    PYBIND11_CHECK_PYTHON_VERSION
    PYBIND11_ENSURE_INTERNALS_READY
    auto m = py::module_::create_extension_module("dekoconnection", nullptr, &g_module_def);
    try {
        init_module(m);
        return m.ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    return nullptr;
}

namespace {

void init_module(py::module_& m) {
    // The methods' docstrings carry their parameters in the form Python tools read.
    py::options options;
    options.disable_function_signatures();
    // A Python exception raised inside a method is already set when its PyError reaches here.
    py::register_local_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const deko::PyError&) {
        }
    });
    pthread_atfork(nullptr, nullptr, &deko::forget_logins_in_flight);
    py::module_::import("atexit").attr("register")(py::cpp_function(&deko::note_interpreter_exit));

    py::dict g = m.attr("__dict__");
    deko::set_module_globals(g.ptr());
    m.attr("__version__") = DEKO_VERSION;

    for (const Binding& b : kBindings) {
        py::object module = py::module_::import(b.module);
        g[b.alias] = b.name ? py::object(module.attr(b.name)) : module;
    }

    using namespace deko;
    py::handle object_type(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    g["DekoConnection"] = make_class(
        "DekoConnection", bases(object_type), "Connection to the Deko retailer service for one terminal.",
        {{"__init__", connection_init},
         {"makerequest", makerequest_method},
         {"login", login_method},
         {"history", history_method},
         {"tarik_produk", tarik_produk_method},
         {"get_previous_transaksi", get_previous_transaksi_method},
         {"get_transaksi_history", get_transaksi_history_method},
         {"cek_saldo", cek_saldo_method},
         {"get_produk", get_produk_method},
         {"get_terbaik", get_terbaik_method},
         {"get_produk_terbaik", get_produk_terbaik_method},
         {"cek", cek_method},
         {"transaksi", transaksi_method},
         {"menu_cek", menu_cek_method},
         {"get_connection_thread", get_connection_thread_method}});

    // request_finished = Signal(object)
    auto signal = [&] { return py::dict(py::arg("request_finished") = g["Signal"](object_type)); };
    g["DekoConnectonThread"] =
        make_class("DekoConnectonThread", bases(g["QThread"]), "Qt worker thread that runs one connection operation.",
                   {{"__init__", connection_thread_init}, {"run", connection_thread_run}}, signal());
    g["WaitTransaksiHistoryThread"] = make_class(
        "WaitTransaksiHistoryThread", bases(g["QThread"]),
        "Qt worker thread that settles a purchase from the history and replies to the terminal.",
        {{"__init__", history_thread_init}, {"run", history_thread_run}}, signal());
}

}  // namespace
