// Worker threads: one connection operation on a Qt thread, and the history wait thread that
// replies to the terminal.
#include "glue.h"

namespace deko {

namespace {

using py::arg;

// QThread.__init__(self, parent) through the class's own position in the MRO.
void init_qthread(const char* class_name, py::handle self, py::handle parent) {
    global("super")(module_class(class_name), self).attr("__init__")(parent);
}

// print(text) with the module's print.
void print_line(py::handle text) { global("print")(text); }

// hasattr(obj, name): false only when the lookup raises AttributeError.
bool has_attribute(py::handle obj, py::handle name) {
    if (!PyUnicode_Check(name.ptr())) {
        PyErr_SetString(PyExc_TypeError, "hasattr(): attribute name must be string");
        throw py::error_already_set();
    }
    PyObject* value = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (value) {
        Py_DECREF(value);
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return false;
}

void worker_init(py::object self, py::object conn, py::object func, py::args args,
                 py::object parent, py::kwargs kwargs) {
    init_qthread("DekoConnectonThread", self, parent);
    self.attr("conn") = conn;
    self.attr("func") = func;
    self.attr("args") = args;
    self.attr("kwargs") = kwargs;
}

void worker_run(py::object self) {
    try {
        py::object conn = self.attr("conn");
        py::object func = self.attr("func");
        if (!has_attribute(conn, func)) {
            self.attr("request_finished").attr("emit")(py::none());
        } else {
            py::object operation = conn.attr(func);
            py::object args = self.attr("args");
            py::object kwargs = self.attr("kwargs");
            py::object result = operation(*args, **kwargs);
            self.attr("request_finished").attr("emit")(result);
        }
        self.attr("exec_")();
    } catch (...) {
        if (!current_exception_is_ordinary()) throw;
        py::object error = current_exception_object();
        print_line(error);
        self.attr("request_finished").attr("emit")(py::none());
    }
}

void waiter_init(py::object self, py::object conn, py::object request, py::object transaksi,
                 py::object transaksitime, py::object harga, py::object parent) {
    init_qthread("WaitTransaksiHistoryThread", self, parent);
    self.attr("conn") = conn;
    self.attr("request") = request;
    self.attr("transaksi") = transaksi;
    self.attr("transaksitime") = transaksitime;
    self.attr("harga") = harga;
}

void waiter_run(py::object self) {
    py::object conn = self.attr("conn");
    self.attr("transaksi") = conn.attr("ambil_dari_history")(
        self.attr("request"), self.attr("transaksi"), self.attr("transaksitime"), self.attr("harga"));
    py::object record = self.attr("transaksi");
    py::dict response;
    response["status"] = record.attr("status");
    response["jenis"] = record.attr("jenis");
    response["tipe"] = record.attr("produk").attr("tipe");
    response["pesan"] = record.attr("pesan");
    response["idtrx"] = record.attr("idtrx");
    response["tujuan"] = record.attr("tujuan_reply");
    try {
        py::object terminal_h2h = self.attr("conn").attr("commonconnection").attr("terminal_h2h");
        py::object settings = self.attr("conn").attr("terminal").attr("config").attr("deko");
        py::object reply_ip = settings["reply_ip"];
        py::object reply_port = settings["reply_port"];
        py::object text = global("json").attr("dumps")(response);
        terminal_h2h(reply_ip, reply_port, text);
    } catch (...) {
        if (!current_exception_is_ordinary()) throw;
        py::object error = current_exception_object();
        print_line(py::str("Gagal mengirim balasan ke 2: ") + text_of(error) + py::str(" gagal"));
    }
}

}  // namespace

void add_connection_thread_methods(Methods& m) {
    m["__init__"] = method("__init__", &worker_init,
                           "Keep the connection, the operation's name and its arguments.", arg("self"),
                           arg("conn"), arg("func"), py::kw_only(), arg("parent") = py::none());
    m["run"] = method("run", &worker_run,
                      "Run the operation, emit its result, then run the event loop until quit.",
                      arg("self"));
}

void add_history_thread_methods(Methods& m) {
    m["__init__"] = method("__init__", &waiter_init,
                           "Keep the connection, the purchase request, the record, its time and price.",
                           arg("self"), arg("conn"), arg("request"), arg("transaksi"),
                           arg("transaksitime"), arg("harga"), arg("parent") = py::none());
    m["run"] = method("run", &waiter_run,
                      "Settle the record from the history and send the reply to the terminal.",
                      arg("self"));
}

}  // namespace deko
