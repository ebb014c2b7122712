// Worker threads: one connection operation on a Qt thread, and the history wait thread that
// settles a purchase and replies to the terminal. An error never leaves run(): with PySide2 the
// thread would then never be seen to end, and the host would hang waiting for it.
#include "members.h"
#include "terminal.h"

namespace deko {

namespace {

using py::arg;

const Name kSuper{"super"}, kInit{"__init__"}, kConn{"conn"}, kFunc{"func"}, kArgs{"args"},
    kKwargs{"kwargs"}, kRequestFinished{"request_finished"}, kEmit{"emit"}, kExec{"exec_"},
    kRequest{"request"}, kTransaksi{"transaksi"}, kTransaksitime{"transaksitime"}, kHarga{"harga"},
    kAmbilDariHistory{"ambil_dari_history"}, kCommon{"commonconnection"}, kTerminalH2h{"terminal_h2h"},
    kTerminal{"terminal"}, kLogException{"logException"}, kReplyIp{"reply_ip"}, kReplyPort{"reply_port"},
    kJson{"json"}, kDumps{"dumps"}, kProduk{"produk"}, kTipe{"tipe"}, kStatus{"status"}, kJenis{"jenis"},
    kPesan{"pesan"}, kIdtrx{"idtrx"}, kTujuan{"tujuan"}, kTujuanReply{"tujuan_reply"};

// QThread.__init__(self, parent), through the class's own place in the MRO.
void init_qthread(const char* class_name, PyObject* self, PyObject* parent) {
    Ref cls = module_class(class_name);
    Ref base = call(global(kSuper), {cls, self});
    call_method(base, kInit, {parent});
}

// self.request_finished.emit(value)
void emit(PyObject* self, Obj value) { call_method(attr(self, kRequestFinished), kEmit, {value}); }

// getattr(obj, name) when obj has it (a name that is not a str raises), else a null Ref.
Ref attribute_if_present(PyObject* obj, PyObject* name) {
    PyObject* value = PyObject_GetAttr(obj, name);
    if (value) return Ref::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError();
    PyErr_Clear();
    return Ref();
}

void worker_init(py::handle self, py::handle conn, py::handle func, py::args args, py::handle parent,
                 py::kwargs kwargs) {
    init_qthread("DekoConnectonThread", self.ptr(), parent.ptr());
    set_attr(self.ptr(), kConn, conn.ptr());
    set_attr(self.ptr(), kFunc, func.ptr());
    set_attr(self.ptr(), kArgs, args.ptr());
    set_attr(self.ptr(), kKwargs, kwargs.ptr());
}

void worker_run(py::handle self_handle) {
    PyObject* self = self_handle.ptr();
    std::optional<Fetched> failed = attempt([&] {
        Ref operation = attribute_if_present(attr(self, kConn).get(), attr(self, kFunc).get());
        Ref result = none();
        if (operation) {  // operation(*args, **kwargs)
            Ref args = Ref::steal(PySequence_Tuple(attr(self, kArgs).get()));
            Ref kwargs = new_dict();
            checked(PyDict_Update(kwargs.get(), attr(self, kKwargs).get()));
            result = Ref::steal(PyObject_Call(operation.get(), args.get(), kwargs.get()));
        }
        emit(self, result);
        call_method(self, kExec);
    });
    if (!failed) return;
    // The error's text goes to standard output and none is emitted; a failure of either is dropped.
    attempt([&] { print_line(failed->value.get()); });
    attempt([&] { emit(self, Py_None); });
}

void waiter_init(py::handle self, py::handle conn, py::handle request, py::handle record,
                 py::handle transaksitime, py::handle harga, py::handle parent) {
    init_qthread("WaitTransaksiHistoryThread", self.ptr(), parent.ptr());
    set_attr(self.ptr(), kConn, conn.ptr());
    set_attr(self.ptr(), kRequest, request.ptr());
    set_attr(self.ptr(), kTransaksi, record.ptr());
    set_attr(self.ptr(), kTransaksitime, transaksitime.ptr());
    set_attr(self.ptr(), kHarga, harga.ptr());
}

// The reply to the terminal, from the settled record.
Ref reply_of(PyObject* record) {
    Ref response = new_dict();
    set_item(response, kStatus, attr(record, kStatus));
    set_item(response, kJenis, attr(record, kJenis));
    set_item(response, kTipe, attr(attr(record, kProduk), kTipe));
    set_item(response, kPesan, attr(record, kPesan));
    set_item(response, kIdtrx, attr(record, kIdtrx));
    set_item(response, kTujuan, attr(record, kTujuanReply));
    return response;
}

void waiter_run(py::handle self_handle) {
    PyObject* self = self_handle.ptr();
    Ref response;
    std::optional<Fetched> failed = attempt([&] {
        Ref settle = attr(attr(self, kConn), kAmbilDariHistory);
        Ref settled = call(settle, {attr(self, kRequest), attr(self, kTransaksi), attr(self, kTransaksitime),
                                    attr(self, kHarga)});
        set_attr(self, kTransaksi, settled);
        response = reply_of(attr(self, kTransaksi).get());
    });
    if (failed) {
        // Not settled, or no reply to build: the error goes to the terminal's log (a failure of
        // the log itself is dropped), and no reply is sent.
        attempt([&] { call_method(attr(attr(self, kConn), kTerminal), kLogException, {failed->value}); });
        return;
    }
    std::optional<Fetched> unsent = attempt([&] {
        Ref terminal_h2h = attr(attr(attr(self, kConn), kCommon), kTerminalH2h);
        Ref deko = settings(attr(self, kConn).get());
        Ref ip = item(deko, kReplyIp);
        Ref port = item(deko, kReplyPort);
        Ref reply = call_method(global(kJson), kDumps, {response});
        call(terminal_h2h, {ip, port, reply});
    });
    if (unsent)
        attempt([&] {
            print_line(join({text("Gagal mengirim balasan ke 2: "), str_of(unsent->value), text(" gagal")}).get());
        });
}

}  // namespace

py::object connection_thread_init() {
    return method_with("__init__", "(self, conn, func, *args, parent=None, **kwargs)", &worker_init,
                       "Keep the connection, the operation's name and its arguments.", arg("self"), arg("conn"),
                       arg("func"), py::kw_only(), arg("parent") = py::none());
}

py::object connection_thread_run() {
    return method("run", &worker_run, "Run the operation, emit its result, then run the event loop until quit.",
                  arg("self"));
}

py::object history_thread_init() {
    return method("__init__", &waiter_init, "Keep the connection, the purchase request, the record, its time and price.",
                  arg("self"), arg("conn"), arg("request"), arg("transaksi"), arg("transaksitime"), arg("harga"),
                  arg("parent") = py::none());
}

py::object history_thread_run() {
    return method("run", &waiter_run, "Settle the record from the history and send the reply to the terminal.",
                  arg("self"));
}

}  // namespace deko
