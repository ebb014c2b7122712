// Worker threads: one connection operation on a Qt thread, and the history wait thread that
// settles a purchase and replies to the terminal. An error never leaves run(): with PySide2 the
// thread would then never be seen to end, and the host would hang waiting for it.
#include "errors.h"
#include "names.h"
#include "runtime.h"
#include "terminal.h"
#include "subsystems.h"

namespace deko {

using namespace names;

namespace {

// QThread.__init__(self, parent), through the class's own place in the MRO.
void init_qthread(const char* class_name, PyObject* self, PyObject* parent) {
    Ref cls = module_class(class_name);
    Ref base = call(global(kSuper), {cls, self});
    call_method(base, kInit, {parent});
}

// self.request_finished.emit(value)
void emit(PyObject* self, Obj value) { call_method(attr(self, kRequestFinished), kEmit, {value}); }

}  // namespace

// __init__(self, conn, func, *args, parent=None, **kwargs)
Ref worker_init(PyObject* self, PyObject* conn, PyObject* func, PyObject* args, PyObject* parent, PyObject* kwargs) {
    init_qthread(kWorkerClass, self, parent);
    set_attr(self, kConn, conn);
    set_attr(self, kFunc, func);
    set_attr(self, kArgs, args);
    set_attr(self, kKwargs, kwargs);
    return none();
}

Ref worker_run(PyObject* self) {
    RunningQThread running(self);
    std::optional<Fetched> failed = attempt([&] {
        Ref operation = attr_if_present(attr(self, kConn), attr(self, kFunc));
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
    if (!failed) return none();
    // The error's text goes to standard output and none is emitted; a failure of either is dropped.
    attempt([&] { print_line(failed->value.get()); });
    attempt([&] { emit(self, Py_None); });
    return none();
}

// __init__(self, conn, request, transaksi, transaksitime, harga, parent=None)
Ref history_wait_init(PyObject* self, PyObject* conn, PyObject* request, PyObject* transaksi, PyObject* transaksitime,
                PyObject* harga, PyObject* parent) {
    init_qthread(kHistoryThreadClass, self, parent);
    set_attr(self, kConn, conn);
    set_attr(self, kRequest, request);
    set_attr(self, kTransaksi, transaksi);
    set_attr(self, kTransaksitime, transaksitime);
    set_attr(self, kHarga, harga);
    return none();
}

namespace {

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

}  // namespace

Ref history_wait_run(PyObject* self) {
    RunningQThread running(self);
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
        return none();
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
            print_line(join({py_str("Gagal mengirim balasan ke 2: "), str_of(unsent->value), py_str(" gagal")}).get());
        });
    return none();
}

// The methods this subsystem gives the module's classes, each with its place in its class.
namespace {
constexpr MethodDef kRows[] = {
    {kWorkerClass, 1, &kInit,
     {self, required(kConn), required(kFunc), rest(kArgs), keyword_only(kParent, ParamDefault::None), options(kKwargs)},
     "Keep the connection, the operation's name and its arguments.", body<&worker_init>()},
    {kWorkerClass, 2, &kRun, {self}, "Run the operation, emit its result, then run the event loop until quit.",
     body<&worker_run>()},
    {kHistoryThreadClass, 1, &kInit,
     {self, required(kConn), required(kRequest), required(kTransaksi), required(kTransaksitime), required(kHarga),
      optional(kParent, ParamDefault::None)},
     "Keep the connection, the purchase request, the record, its time and price.", body<&history_wait_init>()},
    {kHistoryThreadClass, 2, &kRun, {self}, "Settle the record from the history and send the reply to the terminal.",
     body<&history_wait_run>()},
};
}  // namespace
const MethodTable kThreadMethods = method_table<kRows, sizeof kRows / sizeof kRows[0]>();

}  // namespace deko
