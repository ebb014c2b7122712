// Session core: the connection object, the request pipeline with single-flight re-login, login
// with OTP, and the balance check.
#include "answer.h"
#include "core/relogin_gate.h"
#include "errors.h"
#include "names.h"
#include "runtime.h"
#include "terminal.h"
#include "subsystems.h"

namespace deko {

using namespace names;

namespace {

// How long a request waiting for another thread's login sleeps between two looks at signals and
// at its thread's Qt events.
constexpr std::chrono::milliseconds kWaitSlice{50};

// Every re-login of the process goes through one gate; guarded by the GIL.
ReloginGate* g_gate = new ReloginGate();

// Logins in progress on this thread: login() itself, and a re-login from its first console line
// to its last. Requests sent meanwhile never start or wait for a re-login: an expired-session
// answer to them is an ordinary refusal (a login never nests, nor waits for itself).
thread_local int t_login_depth = 0;

struct LoginScope {
    LoginScope() { ++t_login_depth; }
    ~LoginScope() { --t_login_depth; }
    LoginScope(const LoginScope&) = delete;
    LoginScope& operator=(const LoginScope&) = delete;
};

// One exchange: the request built from `fields` with "auth" set to the terminal's current token
// (a caller's own "auth" is replaced), carried out over the connection's pool. `token` is set
// to the token it was sent with.
Ref exchange(PyObject* self, PyObject* request, const Ref& fields, Ref& token) {
    static PyObject* no_args = PyTuple_New(0);
    Ref terminal = attr(self, kTerminal);
    token = attr(terminal, kAuthToken);
    set_item(fields, kAuth, token);
    Ref completed = Ref::steal(PyObject_Call(request, no_args, fields.get()));
    Ref http = attr(self, kHttp);
    Ref logging = attr(terminal, kLogging);
    call_method(completed, kMakerequest, {http, logging});
    return completed;
}

// The waits for another thread's login on this thread's stack: more than none only while the Qt
// events of a wait run code that meets an expired session again.
thread_local int t_waiting = 0;

// A module the process has loaded, by its name of static storage (a null Ref when it has not).
Ref loaded_module(const char* name) {
    Ref module = Ref::steal_or_null(PyImport_GetModule(static_str(name)));
    if (!module && PyErr_Occurred()) throw PyError();
    return module;
}

// The waiting thread's pending Qt events, when the process has a Qt application: the login it
// waits for may need this thread (a getOtp that asks the GUI thread through a blocking queued call).
void process_qt_events() {
    Ref qtcore = loaded_module(kQtCore);
    if (!qtcore) return;
    Ref application = attr(qtcore, kQCoreApplication);
    if (!is_none(call_method(application, kInstance))) call_method(application, kProcessEvents);
}

// Whether this is the interpreter's main thread.
bool on_main_thread() {
    Ref threading = loaded_module("threading");
    if (!threading) return false;
    Ref ident = attr(call_method(threading, kMainThread), kIdent);
    unsigned long main = PyLong_AsUnsignedLong(ident.get());
    if (main == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw PyError();
    return main == PyThread_get_thread_ident();
}

// Whether this thread must not wait for another thread's login: it runs inside a nested Qt event
// loop (a modal dialog open on it, say: its QThread.loopLevel() above 1), or inside the Qt events
// of a wait of its own further down. What lies below on its stack (the dialog a getOtp asked this
// thread for through a blocking queued call) cannot return before this wait does, and the login
// may need it to. Event loops are looked at on the main thread (the GUI thread) and on the
// module's worker threads (see RunningQThread).
bool inside_a_nested_event_loop() {
    if (t_waiting > 0) return true;
    Ref thread = Ref::borrow(RunningQThread::current());
    if (!thread) {
        Ref qtcore = loaded_module(kQtCore);
        if (!qtcore || !on_main_thread()) return false;
        Ref application = attr(qtcore, kQCoreApplication);
        if (is_none(call_method(application, kInstance))) return false;  // no application, no event loop
        thread = call_method(attr(qtcore, kQThread), kCurrentThread);
    }
    Ref level = call_method(thread, kLoopLevel);
    long loops = PyLong_AsLong(level.get());
    if (loops == -1 && PyErr_Occurred()) throw PyError();
    return loops > 1;
}

struct Waiting {
    Waiting() { ++t_waiting; }
    ~Waiting() { --t_waiting; }
    Waiting(const Waiting&) = delete;
    Waiting& operator=(const Waiting&) = delete;
};

// The provider answered "invalid_token" to a request sent with the token `sent`: whether to send
// it again, after this thread's re-login, another thread's, or one that already replaced the
// token.
bool renew_session(PyObject* self, PyObject* sent) {
    Ref terminal = attr(self, kTerminal);
    Ref current = attr(terminal, kAuthToken);
    bool stale = truthy(current) && !equals(current, sent);
    const void* key = terminal.get();  // held until this re-login ends
    ReloginGate::Decision decision = g_gate->decide(key, stale);

    if (decision.action == ReloginGate::Action::Resend) return true;
    if (decision.action == ReloginGate::Action::Wait) {
        // Not waiting here ends the request as a refusal, as a request made during a login does.
        if (inside_a_nested_event_loop()) return false;
        Waiting waiting;
        return wait_without_gil([&](auto slice) { return decision.flight->wait_for(slice); }, kWaitSlice,
                                process_qt_events);
    }

    bool ok = false;
    std::optional<Fetched> error;
    {
        LoginScope scope;
        error = attempt([&] {
            set_attr(terminal, kAuthToken, kEmpty);
            console(self, "Login Habis. Mencoba Login Kembali...", Level::Warning);
            Ref result = call_method(self, kLogin);
            bool status = truthy(attr(result, kStatus));
            Ref pesan = attr(result, kPesan);
            console(self, pesan.get(), status ? Level::Sukses : Level::Gagal);
            ok = status;
        });
    }
    if (g_gate->finish(key, decision.flight)) without_gil([&] { decision.flight->complete(ok && !error); });
    if (error) {
        restore_error(std::move(*error));
        throw PyError();
    }
    return ok;
}

// The pipeline: none on no answer or on any error (passed to logException); an expired session
// renewed and the request sent again, once at most. `fields` is this request's own dictionary.
Ref send(PyObject* self, PyObject* request, Ref fields) {
    return guarded(
        [&]() -> Ref {
            for (bool resent = false;; resent = true) {
                Ref token;
                Ref completed = exchange(self, request, fields, token);
                if (!truthy(attr(completed, kConn))) return none();
                bool expired = !truthy(attr(completed, kSukses)) && equals(attr(completed, kErrorMsg), kInvalidToken);
                if (!expired || resent || t_login_depth != 0 || !renew_session(self, token.get())) return completed;
                fields = Ref::steal(PyDict_Copy(fields.get()));  // the first request keeps its own
            }
        },
        [&](PyObject* error) {
            log_exception(self, error);
            return none();
        });
}

}  // namespace

Ref connection_init(PyObject* self, PyObject* controller, PyObject* terminal) {
    set_attr(self, kController, controller);
    set_attr(self, kTerminal, terminal);
    set_attr(self, kSession, Py_None);
    Ref common = call(global(kCommonConnection), {self});
    set_attr(self, kCommon, common);
    Ref pool = call_method(global(kUrllib3), kPoolManager);
    set_attr(self, kHttp, pool);
    return none();
}

// makerequest(self, request, **options): the binder hands the options over as a new dict of their
// own, which becomes the request's fields.
Ref makerequest(PyObject* self, PyObject* request, PyObject* options) {
    return send(self, request, Ref::borrow(options));
}

Ref login(PyObject* self) {
    LoginScope scope;
    return guarded(
        [&]() -> Ref {
            Ref config = settings(self);
            Ref msisdn = call(global(kNormalize), {item(config, kNomor)});
            Ref idretail = item(config, kIdretail);
            Ref date = call_method(attr(global(kDatetime), kDatetime), kNow);
            Ref jam = call_method(date, kStrftime, {literal("%H:%M:%S")});
            Ref tanggal = call_method(date, kStrftime, {literal("%Y-%m-%d")});
            auto result = [](bool status, Obj pesan) {
                return call(global(kFuncResponse), {boolean(status), pesan});
            };
            const char* no_connection = "Koneksi gagal, tidak dapat melakukan login";

            Answer nomor = ask(self, kLoginNomor, {{kMsisdn, msisdn}, {kIdretail, idretail}}, NoneTest::Is);
            if (nomor.unanswered()) return result(false, py_str(no_connection));
            if (!nomor.accepted()) return result(false, nomor.error());

            Ref otp = call_method(attr(self, kTerminal), kGetOtp, {jam, tanggal});
            if (is_none(otp)) return result(false, literal("Gagal Mengambil OTP. Pastikan Id Chip Sudah Benar"));

            Answer login_otp =
                ask(self, kLoginOtp, {{kMsisdn, msisdn}, {kOtp, otp}, {kIdretail, idretail}}, NoneTest::Is);
            if (login_otp.unanswered()) return result(false, py_str(no_connection));
            if (!login_otp.accepted()) return result(false, login_otp.error());
            set_attr(attr(self, kTerminal), kAuthToken, item(attr(login_otp.completed, kResponse), kGatewayToken));
            return result(true, join({literal("Login Berhasil Dengan OTP "), str_of(otp)}));
        },
        [&](PyObject* error) {
            log_exception(self, error);
            return none();
        });
}

Ref cek_saldo(PyObject* self, PyObject* check_login) {
    bool as_login = truthy(check_login);
    if (!as_login) console(self, "Mengecek Saldo...", Level::Default);
    Answer balance = ask(self, kBalance, {}, NoneTest::Is);
    if (balance.accepted()) {
        console(self, as_login ? "Login Berhasil" : "Cek Saldo Berhasil", Level::Sukses);
        return attr(balance.completed, kBalanceField);
    }
    Ref fallback = new_dict();
    set_item(fallback, kTotal, kZero);
    return fallback;
}

Ref get_connection_thread(PyObject*) { return module_class(kWorkerClass); }

void forget_logins_in_flight() { g_gate->abandon_all(); }

// The methods this subsystem gives the module's classes, each with its place in its class.
namespace {
constexpr MethodDef kRows[] = {
    {kConnectionClass, 1, &kInit, {self, required(kController), required(kTerminal)},
     "Keep the controller and terminal; build the HTTP pool.", body<&connection_init>()},
    {kConnectionClass, 2, &kMakerequest, {self, required(kRequest), options(kOptions)},
     "Send a request class with the terminal's token; none when no answer came.", body<&makerequest>()},
    {kConnectionClass, 3, &kLogin, {self}, "Log in with the retailer's number and an OTP.", body<&login>()},
    {kConnectionClass, 8, &kCekSaldo, {self, optional(kCheckLogin, ParamDefault::False)},
     "Check the deposit balance (or announce a login).", body<&cek_saldo>()},
    {kConnectionClass, 15, &kGetConnectionThread, {self}, "The worker-thread class of this connection type.",
     body<&get_connection_thread>()},
};
}  // namespace
const MethodTable kSessionMethods = method_table<kRows, sizeof kRows / sizeof kRows[0]>();

}  // namespace deko
