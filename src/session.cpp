// Session core: the connection object, the request pipeline with re-login, login with OTP,
// the balance check.
#include "core/relogin_gate.h"
#include "glue.h"

namespace deko {

namespace {

using py::arg;

// Every re-login of the process goes through one gate; its registry is guarded by the GIL.
ReloginGate& relogin_gate() {
    static ReloginGate* gate = new ReloginGate();
    return *gate;
}

// Depth of login() on this thread. Requests sent while a login runs never start another
// re-login: an expired-session answer to them is an ordinary refusal.
thread_local int t_login_depth = 0;

struct LoginScope {
    LoginScope() { ++t_login_depth; }
    ~LoginScope() { --t_login_depth; }
    LoginScope(const LoginScope&) = delete;
    LoginScope& operator=(const LoginScope&) = delete;
};

// Ends the leader's flight and wakes the threads waiting for it (without the GIL).
void finish_flight(const void* key, const std::shared_ptr<Flight>& flight, bool ok) {
    relogin_gate().finish(key, flight);
    py::gil_scoped_release nogil;
    flight->complete(ok);
}

py::object send(py::handle self, py::handle request, py::dict fields, bool may_relogin);

// The fields of a resend: the first request object keeps its own dictionary.
py::dict fields_again(const py::dict& fields) {
    PyObject* copy = PyDict_Copy(fields.ptr());
    if (!copy) throw py::error_already_set();
    return py::reinterpret_steal<py::dict>(copy);
}

// The provider answered "invalid_token" to `completed`, sent with the token `sent`.
py::object renew_session(py::handle self, py::handle request, const py::dict& fields,
                         py::handle completed, py::handle sent) {
    py::object terminal = self.attr("terminal");
    py::object current = terminal.attr("auth_token");
    bool stale = truthy(current) && !equals(current, sent);
    const void* key = terminal.ptr();
    ReloginGate::Decision decision = relogin_gate().decide(key, stale);

    if (decision.action == ReloginGate::Action::Resend) return send(self, request, fields_again(fields), false);

    if (decision.action == ReloginGate::Action::Wait) {
        bool ok;
        {
            py::gil_scoped_release nogil;
            ok = decision.flight->wait();
        }
        if (ok) return send(self, request, fields_again(fields), false);
        return py::reinterpret_borrow<py::object>(completed);
    }

    bool ok = false;
    try {
        terminal.attr("auth_token") = py::str("");
        console(self, "Login Habis. Mencoba Login Kembali...", "warning");
        py::object result;
        {
            LoginScope scope;
            result = self.attr("login")();
        }
        bool status = truthy(result.attr("status"));
        py::object pesan = result.attr("pesan");
        ok = status;
        console(self, pesan, status ? "sukses" : "gagal");
    } catch (...) {
        finish_flight(key, decision.flight, false);
        throw;
    }
    finish_flight(key, decision.flight, ok);
    if (ok) return send(self, request, fields_again(fields), false);
    return py::reinterpret_borrow<py::object>(completed);
}

// Names the pipeline reads on every send, interned at import.
struct PipelineNames {
    py::handle terminal = name("terminal"), auth_token = name("auth_token"), auth = name("auth"),
               http = name("http"), logging = name("logging"), makerequest = name("makerequest"),
               conn = name("conn"), sukses = name("sukses"), error_msg = name("error_msg"),
               invalid_token = name("invalid_token"), self = name("self"), request = name("request");
    py::tuple no_args;
};
const PipelineNames* g_names = nullptr;

// One guarded send: none on no answer or on any error (passed to logException). `fields` is
// this send's own dictionary of request fields; "auth" is set to the current token (a caller's
// own "auth" is replaced) and the dictionary then belongs to the request object.
py::object send(py::handle self, py::handle request, py::dict fields, bool may_relogin) {
    const PipelineNames& n = *g_names;
    try {
        py::object terminal = attr_of(self, n.terminal);
        py::object token = attr_of(terminal, n.auth_token);
        if (PyDict_SetItem(fields.ptr(), n.auth.ptr(), token.ptr()) < 0) throw py::error_already_set();
        py::object completed = py::reinterpret_steal<py::object>(
            PyObject_Call(request.ptr(), n.no_args.ptr(), fields.ptr()));
        if (!completed) throw py::error_already_set();
        py::object http = attr_of(self, n.http);
        py::object logging = attr_of(terminal, n.logging);
        py::object ignored = py::reinterpret_steal<py::object>(PyObject_CallMethodObjArgs(
            completed.ptr(), n.makerequest.ptr(), http.ptr(), logging.ptr(), nullptr));
        if (!ignored) throw py::error_already_set();
        if (!truthy(attr_of(completed, n.conn))) return py::none();
        if (!completed.is_none() && !truthy(attr_of(completed, n.sukses)) &&
            equals(attr_of(completed, n.error_msg), n.invalid_token) && may_relogin &&
            t_login_depth == 0)
            return renew_session(self, request, fields, completed, token);
        return completed;
    } catch (...) {
        if (!current_exception_is_ordinary()) throw;
        log_current_exception(self);
        return py::none();
    }
}

void init(py::object self, py::object controller, py::object terminal) {
    self.attr("controller") = controller;
    self.attr("terminal") = terminal;
    self.attr("session") = py::none();
    self.attr("commonconnection") = global("CommonConnection")(self);
    self.attr("http") = global("urllib3").attr("PoolManager")();
}

// makerequest(self, request, **options), bound with CPython's vector calling convention: it
// runs for every provider request, and argument handling by the generic binding layer (or even
// an argument tuple and keyword dictionary per call) would cost more than the pipeline itself.
// Arguments are bound and checked as Python binds this signature.
PyObject* makerequest(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    try {
        static const char* const names[] = {"self", "request"};
        const py::handle keys[] = {g_names->self, g_names->request};
        if (nargs > 2) {
            PyErr_Format(PyExc_TypeError,
                         "makerequest() takes 2 positional arguments but %zd were given", nargs);
            return nullptr;
        }
        PyObject* values[2] = {nargs > 0 ? args[0] : nullptr, nargs > 1 ? args[1] : nullptr};
        py::dict fields;
        Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + k];
            int slot = -1;
            for (int i = 0; i < 2 && slot < 0; ++i) {
                int same = PyUnicode_CheckExact(keyword)
                               ? same_text(keyword, keys[i].ptr())
                               : PyObject_RichCompareBool(keyword, keys[i].ptr(), Py_EQ);
                if (same < 0) return nullptr;
                if (same) slot = i;
            }
            if (slot < 0) {
                if (PyDict_SetItem(fields.ptr(), keyword, value) < 0) return nullptr;
            } else if (values[slot]) {
                PyErr_Format(PyExc_TypeError, "makerequest() got multiple values for argument '%s'",
                             names[slot]);
                return nullptr;
            } else {
                values[slot] = value;
            }
        }
        for (int i = 0; i < 2; ++i) {
            if (!values[i]) {
                PyErr_Format(PyExc_TypeError,
                             "makerequest() missing 1 required positional argument: '%s'", names[i]);
                return nullptr;
            }
        }
        return send(values[0], values[1], std::move(fields), true).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (...) {
        py::object error = current_exception_object();
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    }
    return nullptr;
}

PyMethodDef g_makerequest_def = {
    "makerequest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&makerequest)),
    METH_FASTCALL | METH_KEYWORDS,
    "Send a request class with the terminal's token; none when no answer came."};

py::object login(py::object self) {
    LoginScope scope;
    try {
        py::object terminal = self.attr("terminal");
        py::object config = terminal.attr("config").attr("deko");
        py::object msisdn = global("normalizemsisdn")(config["nomor"]);
        py::object idretail = config["idretail"];
        py::object date = global("datetime").attr("datetime").attr("now")();
        py::object jam = date.attr("strftime")("%H:%M:%S");
        py::object tanggal = date.attr("strftime")("%Y-%m-%d");
        py::object requests = global("dekorequest");
        auto result = [](bool status, py::handle pesan) {
            return global("FuncResponse")(status, pesan);
        };
        const char* no_connection = "Koneksi gagal, tidak dapat melakukan login";

        py::object login_nomor = self.attr("makerequest")(
            requests.attr("LoginNomor"), arg("msisdn") = msisdn, arg("idretail") = idretail);
        if (login_nomor.is_none()) return result(false, py::str(no_connection));
        if (!truthy(login_nomor.attr("sukses"))) return result(false, login_nomor.attr("error_msg"));

        py::object otp = terminal.attr("getOtp")(jam, tanggal);
        if (otp.is_none())
            return result(false, py::str("Gagal Mengambil OTP. Pastikan Id Chip Sudah Benar"));

        py::object login_otp = self.attr("makerequest")(
            global("dekorequest").attr("LoginOtp"), arg("msisdn") = msisdn, arg("otp") = otp,
            arg("idretail") = idretail);
        if (login_otp.is_none()) return result(false, py::str(no_connection));
        if (truthy(login_otp.attr("sukses"))) {
            terminal.attr("auth_token") = login_otp.attr("response")["gatewayToken"];
            return result(true, py::str("Login Berhasil Dengan OTP ") + text_of(otp));
        }
        return result(false, login_otp.attr("error_msg"));
    } catch (...) {
        if (!current_exception_is_ordinary()) throw;
        log_current_exception(self);
        return py::none();
    }
}

py::object cek_saldo(py::object self, py::object check_login) {
    bool as_login = truthy(check_login);
    if (!as_login) console(self, "Mengecek Saldo...", "default");
    py::object ceksaldo = self.attr("makerequest")(global("dekorequest").attr("Balance"));
    if (!ceksaldo.is_none() && truthy(ceksaldo.attr("sukses"))) {
        console(self, as_login ? "Login Berhasil" : "Cek Saldo Berhasil", "sukses");
        return ceksaldo.attr("balance");
    }
    py::dict fallback;
    fallback["Total"] = "0";
    return std::move(fallback);
}

py::object get_connection_thread(py::object /*self*/) {
    return module_class("DekoConnectonThread");
}

}  // namespace

void add_session_methods(Methods& m) {
    if (!g_names) g_names = new PipelineNames();
    m["__init__"] = method("__init__", &init, "Keep the controller and terminal; build the HTTP pool.",
                           arg("self"), arg("controller"), arg("terminal"));
    py::object fn = py::reinterpret_steal<py::object>(PyCFunction_New(&g_makerequest_def, nullptr));
    if (!fn) throw py::error_already_set();
    m["makerequest"] = py::reinterpret_steal<py::object>(PyInstanceMethod_New(fn.ptr()));
    m["login"] = method("login", &login, "Log in with the retailer's number and an OTP.", arg("self"));
    m["cek_saldo"] = method("cek_saldo", &cek_saldo, "Check the deposit balance (or announce a login).",
                            arg("self"), arg("check_login") = false);
    m["get_connection_thread"] = method("get_connection_thread", &get_connection_thread,
                                        "The worker-thread class of this connection type.", arg("self"));
}

}  // namespace deko
