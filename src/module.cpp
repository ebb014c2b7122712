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

// from <module> import <name> [as <alias>]; an import failure propagates unchanged.
void bind_from(py::dict g, const char* module, const char* name, const char* alias = nullptr) {
    g[alias ? alias : name] = py::module_::import(module).attr(name);
}

void bind_module(py::dict g, const char* module, const char* alias) { g[alias] = py::module_::import(module); }

py::tuple bases(py::handle base) { return py::make_tuple(base); }

}  // namespace

PYBIND11_MODULE(dekoconnection, m) {
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

    py::dict g = m.attr("__dict__");
    deko::set_module_globals(g.ptr());
    m.attr("__version__") = DEKO_VERSION;

    bind_module(g, "urllib3", "urllib3");
    bind_module(g, "datetime", "datetime");
    bind_from(g, "time", "sleep");
    bind_module(g, "json", "json");
    bind_from(g, "apps.deko.libs.databases.sqlite", "SqliteTransaksi");
    bind_from(g, "PySide2.QtCore", "QThread");
    bind_from(g, "PySide2.QtCore", "Signal");
    bind_from(g, "apps.deko.constants.transaksi", "TIPE_CUAN");
    bind_from(g, "apps.deko.libs.connections.commonconnection", "CommonConnection");

    // The host's own modules (bound whenever the module is imported as part of its package,
    // which is the only way it is imported).
    bind_module(g, "apps.deko.models.requests", "dekorequest");
    bind_from(g, "apps.deko.models.objects.response", "DekoResponse");
    bind_from(g, "models.objects.response", "FuncResponse");
    for (const char* tool : {"normalizemsisdn", "parse_bayar", "get_brand", "get_shortcode", "remove_html_tags"})
        bind_from(g, "apps.deko.libs.utils.tools", tool);
    bind_from(g, "apps.deko.libs.utils.generator", "uuidGenerator");
    bind_from(g, "apps.deko.models.objects.inquery", "InqueryDetail");
    bind_from(g, "apps.deko.constants", "transaksi", "TRANSAKSI_TYPES");
    bind_from(g, "apps.deko.constants.transaksi", "DEFAULT_PRODUKS");

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
