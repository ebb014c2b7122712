// Session core: the connection object, the request pipeline with single-flight re-login, login
// with OTP, and the balance check.
#include <pthread.h>

#include "core/relogin_gate.h"
#include "members.h"
#include "terminal.h"

namespace deko {

namespace {

using py::arg;

const Name kController{"controller"}, kTerminal{"terminal"}, kSession{"session"},
    kCommon{"commonconnection"}, kHttp{"http"}, kCommonConnection{"CommonConnection"},
    kUrllib3{"urllib3"}, kPoolManager{"PoolManager"}, kAuthToken{"auth_token"}, kAuth{"auth"},
    kLogging{"logging"}, kMakerequest{"makerequest"}, kConn{"conn"}, kSukses{"sukses"},
    kErrorMsg{"error_msg"}, kInvalidToken{"invalid_token"}, kLogin{"login"}, kStatus{"status"},
    kPesan{"pesan"}, kNomor{"nomor"}, kIdretail{"idretail"}, kNormalize{"normalizemsisdn"},
    kDatetime{"datetime"}, kNow{"now"}, kStrftime{"strftime"}, kRequests{"dekorequest"},
    kLoginNomor{"LoginNomor"}, kLoginOtp{"LoginOtp"}, kMsisdn{"msisdn"}, kOtp{"otp"},
    kGetOtp{"getOtp"}, kResponse{"response"}, kGatewayToken{"gatewayToken"},
    kFuncResponse{"FuncResponse"}, kBalance{"Balance"}, kBalanceField{"balance"}, kTotal{"Total"},
    kEmpty{""}, kZero{"0"}, kSelf{"self"}, kRequest{"request"};

// How long a request waiting for another thread's login sleeps between two looks at signals.
constexpr std::chrono::milliseconds kWaitSlice{200};

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

Ref send(PyObject* self, PyObject* request, Ref fields, bool may_relogin);

// The fields of a resend: the first request object keeps its own dictionary.
Ref fields_again(const Ref& fields) { return Ref::steal(PyDict_Copy(fields.get())); }

// The provider answered "invalid_token" to `completed`, which was sent with the token `sent`.
Ref renew_session(PyObject* self, PyObject* request, const Ref& fields, const Ref& completed,
                  PyObject* sent) {
    Ref terminal = attr(self, kTerminal);
    Ref current = attr(terminal, kAuthToken);
    bool stale = truthy(current) && !equals(current, sent);
    const void* key = terminal.get();  // held until this re-login ends
    ReloginGate::Decision decision = g_gate->decide(key, stale);

    if (decision.action == ReloginGate::Action::Resend) return send(self, request, fields_again(fields), false);

    if (decision.action == ReloginGate::Action::Wait) {
        bool ok = wait_without_gil([&](auto slice) { return decision.flight->wait_for(slice); }, kWaitSlice);
        return ok ? send(self, request, fields_again(fields), false) : completed;
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
    return ok ? send(self, request, fields_again(fields), false) : completed;
}

// One guarded send: none on no answer or on any error (passed to logException). `fields` is
// this send's own dictionary of request fields; "auth" is set to the current token (a caller's
// own "auth" is replaced).
Ref send(PyObject* self, PyObject* request, Ref fields, bool may_relogin) {
    static PyObject* no_args = PyTuple_New(0);
    return guarded(
        [&]() -> Ref {
            Ref terminal = attr(self, kTerminal);
            Ref token = attr(terminal, kAuthToken);
            set_item(fields, kAuth, token);
            Ref completed = Ref::steal(PyObject_Call(request, no_args, fields.get()));
            Ref http = attr(self, kHttp);
            Ref logging = attr(terminal, kLogging);
            call_method(completed, kMakerequest, {http, logging});
            if (!truthy(attr(completed, kConn))) return none();
            if (!truthy(attr(completed, kSukses)) && equals(attr(completed, kErrorMsg), kInvalidToken) &&
                may_relogin && t_login_depth == 0)
                return renew_session(self, request, fields, completed, token.get());
            return completed;
        },
        [&](PyObject* error) {
            log_exception(self, error);
            return none();
        });
}

void init(py::handle self, py::handle controller, py::handle terminal) {
    set_attr(self.ptr(), kController, controller.ptr());
    set_attr(self.ptr(), kTerminal, terminal.ptr());
    set_attr(self.ptr(), kSession, Py_None);
    Ref common = call(global(kCommonConnection), {self.ptr()});
    set_attr(self.ptr(), kCommon, common);
    Ref pool = call_method(global(kUrllib3), kPoolManager);
    set_attr(self.ptr(), kHttp, pool);
}

// makerequest(self, request, **options), bound with CPython's vector calling convention: it runs
// for every provider request, and the generic binding layer (or even an argument tuple and a
// keyword dictionary per call) would cost more than the pipeline itself. Arguments are bound and
// checked as Python binds this signature.
PyObject* makerequest(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        static const char* const names[] = {"self", "request"};
        const Name* keys[] = {&kSelf, &kRequest};
        if (nargs > 2) {
            PyErr_Format(PyExc_TypeError, "makerequest() takes 2 positional arguments but %zd were given", nargs);
            return nullptr;
        }
        PyObject* values[2] = {nargs > 0 ? args[0] : nullptr, nargs > 1 ? args[1] : nullptr};
        Ref fields = new_dict();
        Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);  // always a str
            int slot = -1;
            for (int i = 0; i < 2 && slot < 0; ++i)
                if (same_text(keyword, keys[i]->get())) slot = i;
            if (slot < 0) {
                set_item(fields, keyword, args[nargs + k]);
            } else if (values[slot]) {
                PyErr_Format(PyExc_TypeError, "makerequest() got multiple values for argument '%s'", names[slot]);
                return nullptr;
            } else {
                values[slot] = args[nargs + k];
            }
        }
        for (int i = 0; i < 2; ++i) {
            if (!values[i]) {
                PyErr_Format(PyExc_TypeError, "makerequest() missing 1 required positional argument: '%s'",
                             names[i]);
                return nullptr;
            }
        }
        return send(values[0], values[1], std::move(fields), true).release();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (...) {
        restore_error(caught_error());
        return nullptr;
    }
}

Ref login(py::handle self_handle) {
    PyObject* self = self_handle.ptr();
    LoginScope scope;
    return guarded(
        [&]() -> Ref {
            Ref config = settings(self);
            Ref msisdn = call(global(kNormalize), {item(config, kNomor)});
            Ref idretail = item(config, kIdretail);
            Ref date = call_method(attr(global(kDatetime), kDatetime), kNow);
            Ref jam = call_method(date, kStrftime, {text("%H:%M:%S")});
            Ref tanggal = call_method(date, kStrftime, {text("%Y-%m-%d")});
            auto result = [](bool status, Obj pesan) {
                return call(global(kFuncResponse), {boolean(status), pesan});
            };
            const char* no_connection = "Koneksi gagal, tidak dapat melakukan login";

            Ref login_nomor = call(attr(self, kMakerequest), {attr(global(kRequests), kLoginNomor)},
                                   {{kMsisdn, msisdn}, {kIdretail, idretail}});
            if (is_none(login_nomor)) return result(false, text(no_connection));
            if (!truthy(attr(login_nomor, kSukses))) return result(false, attr(login_nomor, kErrorMsg));

            Ref otp = call_method(attr(self, kTerminal), kGetOtp, {jam, tanggal});
            if (is_none(otp)) return result(false, text("Gagal Mengambil OTP. Pastikan Id Chip Sudah Benar"));

            Ref login_otp = call(attr(self, kMakerequest), {attr(global(kRequests), kLoginOtp)},
                                 {{kMsisdn, msisdn}, {kOtp, otp}, {kIdretail, idretail}});
            if (is_none(login_otp)) return result(false, text(no_connection));
            if (!truthy(attr(login_otp, kSukses))) return result(false, attr(login_otp, kErrorMsg));
            set_attr(attr(self, kTerminal), kAuthToken, item(attr(login_otp, kResponse), kGatewayToken));
            return result(true, join({text("Login Berhasil Dengan OTP "), str_of(otp)}));
        },
        [&](PyObject* error) {
            log_exception(self, error);
            return none();
        });
}

Ref cek_saldo(py::handle self_handle, py::handle check_login) {
    PyObject* self = self_handle.ptr();
    bool as_login = truthy(check_login.ptr());
    if (!as_login) console(self, "Mengecek Saldo...", Level::Default);
    Ref ceksaldo = call(attr(self, kMakerequest), {attr(global(kRequests), kBalance)});
    if (!is_none(ceksaldo) && truthy(attr(ceksaldo, kSukses))) {
        console(self, as_login ? "Login Berhasil" : "Cek Saldo Berhasil", Level::Sukses);
        return attr(ceksaldo, kBalanceField);
    }
    Ref fallback = new_dict();
    set_item(fallback, kTotal, kZero);
    return fallback;
}

Ref get_connection_thread(py::handle) { return module_class("DekoConnectonThread"); }

PyMethodDef g_makerequest_def = {
    "makerequest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&makerequest)),
    METH_FASTCALL | METH_KEYWORDS,
    "makerequest(self, request, **options)\n--\n\n"
    "Send a request class with the terminal's token; none when no answer came."};

}  // namespace

py::object connection_init() {
    return method("__init__", &init, "Keep the controller and terminal; build the HTTP pool.", arg("self"),
                  arg("controller"), arg("terminal"));
}

py::object makerequest_method() {
    Ref fn = Ref::steal(PyCFunction_New(&g_makerequest_def, nullptr));
    return py::reinterpret_steal<py::object>(Ref::steal(PyInstanceMethod_New(fn.get())).release());
}

py::object login_method() {
    return method("login", &login, "Log in with the retailer's number and an OTP.", arg("self"));
}

py::object cek_saldo_method() {
    return method("cek_saldo", &cek_saldo, "Check the deposit balance (or announce a login).", arg("self"),
                  arg("check_login") = false);
}

py::object get_connection_thread_method() {
    return method("get_connection_thread", &get_connection_thread, "The worker-thread class of this connection type.",
                  arg("self"));
}

void forget_logins_in_flight() { g_gate->abandon_all(); }

}  // namespace deko
