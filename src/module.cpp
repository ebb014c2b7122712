// Module assembly: the import-time bindings and the three classes.
#include "glue.h"

#include <initializer_list>

namespace py = pybind11;
using deko::Methods;

namespace {

// from <module> import <name> [as <alias>]; an import failure propagates unchanged.
void bind_from(py::dict g, const char* module, const char* name, const char* alias = nullptr) {
    py::object mod = py::module_::import(module);
    g[alias ? alias : name] = mod.attr(name);
}

void bind_module(py::dict g, const char* module, const char* alias) {
    py::object mod = py::module_::import(module);
    g[alias] = mod;
}

py::dict class_namespace(const char* qualname, const char* doc, const Methods& methods,
                         std::initializer_list<const char*> order) {
    py::dict ns;
    ns["__module__"] = deko::kModuleName;
    ns["__qualname__"] = qualname;
    ns["__doc__"] = doc;
    for (const char* name : order) {
        auto it = methods.find(name);
        if (it != methods.end()) ns[name] = it->second;
    }
    return ns;
}

py::object define_class(py::dict g, const char* name, py::tuple bases, py::dict ns) {
    py::object cls = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))(
        name, bases, ns);
    g[name] = cls;
    deko::set_module_class(name, cls);
    return cls;
}

}  // namespace

PYBIND11_MODULE(dekoconnection, m) {
    // Methods carry their own one-line docs; their signatures are in the type stubs.
    py::options options;
    options.disable_function_signatures();
    py::dict g = m.attr("__dict__");
    deko::set_module_globals(g);

    bind_module(g, "urllib3", "urllib3");
    bind_module(g, "datetime", "datetime");
    bind_from(g, "time", "sleep");
    bind_module(g, "json", "json");
    bind_from(g, "apps.deko.libs.databases.sqlite", "SqliteTransaksi");
    bind_from(g, "PySide2.QtCore", "QThread");
    bind_from(g, "PySide2.QtCore", "Signal");
    bind_from(g, "apps.deko.constants.transaksi", "TIPE_CUAN");
    bind_from(g, "apps.deko.libs.connections.commonconnection", "CommonConnection");

    // The host's own modules, bound when the module has a package name (set or empty text);
    // an import as part of its package always has one.
    py::object name = g["__name__"];
    py::object package = name.attr("rpartition")(".")[py::int_(0)];
    if (!package.is_none()) {
        bind_module(g, "apps.deko.models.requests", "dekorequest");
        bind_from(g, "apps.deko.models.objects.response", "DekoResponse");
        bind_from(g, "models.objects.response", "FuncResponse");
        for (const char* tool : {"normalizemsisdn", "parse_bayar", "get_brand", "get_shortcode",
                                 "remove_html_tags"})
            bind_from(g, "apps.deko.libs.utils.tools", tool);
        bind_from(g, "apps.deko.libs.utils.generator", "uuidGenerator");
        bind_from(g, "apps.deko.models.objects.inquery", "InqueryDetail");
        bind_from(g, "apps.deko.constants", "transaksi", "TRANSAKSI_TYPES");
        bind_from(g, "apps.deko.constants.transaksi", "DEFAULT_PRODUKS");
    }

    Methods conn;
    deko::add_session_methods(conn);
    deko::add_catalogue_methods(conn);
    deko::add_transaction_methods(conn);
    deko::add_history_methods(conn);
    define_class(g, "DekoConnection", py::make_tuple(py::reinterpret_borrow<py::object>(
                                          reinterpret_cast<PyObject*>(&PyBaseObject_Type))),
                 class_namespace("DekoConnection", "Connection to the Deko retailer service for one terminal.",
                                 conn,
                                 {"__init__", "makerequest", "login", "history", "tarik_produk",
                                  "get_previous_transaksi", "get_transaksi_history", "cek_saldo",
                                  "get_produk", "get_terbaik", "get_produk_terbaik", "cek",
                                  "transaksi", "menu_cek", "get_connection_thread"}));

    py::object qthread = g["QThread"];
    py::object signal = g["Signal"];
    py::object object_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type));

    Methods worker;
    deko::add_connection_thread_methods(worker);
    py::dict worker_ns = class_namespace("DekoConnectonThread",
                                         "Qt worker thread that runs one connection operation.",
                                         worker, {"__init__", "run"});
    worker_ns["request_finished"] = signal(object_type);
    define_class(g, "DekoConnectonThread", py::make_tuple(qthread), worker_ns);

    Methods waiter;
    deko::add_history_thread_methods(waiter);
    py::dict waiter_ns = class_namespace("WaitTransaksiHistoryThread",
                                         "Qt worker thread that settles a purchase from the history and replies to the terminal.",
                                         waiter, {"__init__", "run"});
    waiter_ns["request_finished"] = signal(object_type);
    define_class(g, "WaitTransaksiHistoryThread", py::make_tuple(qthread), waiter_ns);
}
