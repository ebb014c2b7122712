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

// A QThread subclass with the signal request_finished = Signal(object) and the given methods.
void define_thread_class(py::dict g, const char* name, const char* doc, void (*add_methods)(Methods&)) {
    Methods methods;
    add_methods(methods);
    py::dict ns = class_namespace(name, doc, methods, {"__init__", "run"});
    py::object object_type =
        py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
    ns["request_finished"] = g["Signal"](object_type);
    define_class(g, name, py::make_tuple(g["QThread"]), ns);
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

    define_thread_class(g, "DekoConnectonThread", "Qt worker thread that runs one connection operation.",
                        deko::add_connection_thread_methods);
    define_thread_class(g, "WaitTransaksiHistoryThread",
                        "Qt worker thread that settles a purchase from the history and replies to the terminal.",
                        deko::add_history_thread_methods);
}
