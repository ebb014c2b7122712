"""Connection object, request pipeline with re-login, login with OTP, balance check."""
import concurrent.futures
import datetime as real_datetime
import inspect
import threading
import types

import pytest

from fakes import EXPIRED, NO_ANSWER, OK, refused


# Module shape ----------------------------------------------------------------------------------

def test_import_binds_names_in_order_and_defines_three_classes(mod):
    names = [n for n in vars(mod) if not n.startswith("__")]
    assert names == [
        "urllib3", "datetime", "sleep", "json", "SqliteTransaksi", "QThread", "Signal",
        "TIPE_CUAN", "CommonConnection", "dekorequest", "DekoResponse", "FuncResponse",
        "normalizemsisdn", "parse_bayar", "get_brand", "get_shortcode", "remove_html_tags",
        "uuidGenerator", "InqueryDetail", "TRANSAKSI_TYPES", "DEFAULT_PRODUKS",
        "DekoConnection", "DekoConnectonThread", "WaitTransaksiHistoryThread"]
    assert mod.DekoConnection.__bases__ == (object,)
    assert mod.DekoConnectonThread.__bases__ == (mod.QThread,)
    assert mod.WaitTransaksiHistoryThread.__bases__ == (mod.QThread,)
    assert mod.TRANSAKSI_TYPES.__name__ == "apps.deko.constants.transaksi"
    assert mod.datetime is real_datetime


SIGNATURES = {
    "DekoConnection": {
        "__init__": "(self, controller, terminal)", "makerequest": "(self, request, **options)", "login": "(self)",
        "history": "(self)", "tarik_produk": "(self, nomors)",
        "get_previous_transaksi": "(self, transaksi, transaksi_db)",
        "get_transaksi_history": "(self, transaksi, tujuan, transaksitime, harga=None, counter=0)",
        "cek_saldo": "(self, check_login=False)", "get_produk": "(self, kategori)", "get_terbaik": "(self, msisdn)",
        "get_produk_terbaik": "(self, msisdn, offerid)", "cek": "(self, transaksi, console=True)",
        "transaksi": "(self, transaksi, counter=0)", "menu_cek": "(self, transaksi, counter=0)",
        "get_connection_thread": "(self)"},
    "DekoConnectonThread": {"__init__": "(self, conn, func, *args, parent=None, **kwargs)", "run": "(self)"},
    "WaitTransaksiHistoryThread": {
        "__init__": "(self, conn, request, transaksi, transaksitime, harga, parent=None)", "run": "(self)"},
}


@pytest.mark.parametrize("cls", list(SIGNATURES))
def test_every_method_shows_its_parameters(mod, cls):
    """inspect.signature and help() see each method's own parameters, in the class's own order."""
    own = [name for name, value in vars(getattr(mod, cls)).items() if callable(value) and name != "request_finished"]
    assert own == list(SIGNATURES[cls])
    assert {name: str(inspect.signature(getattr(getattr(mod, cls), name))) for name in own} == SIGNATURES[cls]
    assert all(getattr(mod, cls).__dict__[name].__name__ == name for name in own)


def test_constructor_builds_attributes_in_order_and_sends_nothing(mod, provider, terminal):
    conn = mod.DekoConnection(controller="ctl", terminal=terminal)
    assert list(vars(conn)) == ["controller", "terminal", "session", "commonconnection", "http"]
    assert conn.controller == "ctl" and conn.session is None
    assert conn.commonconnection.conn is conn
    assert type(conn.http).__name__ == "PoolManager"
    assert provider.sent == [] and conn.get_connection_thread() is mod.DekoConnectonThread


@pytest.mark.parametrize("call", [
    lambda c: c.makerequest(),
    lambda c: c.makerequest(object, request=1),
    lambda c: c.makerequest(object, 1),
    lambda c: type(c).makerequest(c, object, self=c),
    lambda c: c.login(1),
    lambda c: c.cek_saldo(True, check_login=True),
    lambda c: c.cek_saldo(True, False),
    lambda c: c.cek_saldo(nope=1),
    lambda c: c.get_connection_thread(1),
])
def test_argument_errors_raise_type_error_before_the_body(conn, provider, terminal, call):
    with pytest.raises(TypeError):
        call(conn)
    assert provider.sent == [] and terminal.lines == []


# Request pipeline ------------------------------------------------------------------------------

def test_pipeline_attaches_current_token_over_callers_auth(conn, provider, terminal):
    done = conn.makerequest(provider.module().Balance, auth="mine", x=1)
    assert provider.fields("Balance") == [{"auth": "T0", "x": 1}]
    assert done.http_seen is conn.http and done.logging_seen is terminal.logging
    assert terminal.auth_token == "T0" and terminal.lines == []
    # The request may be named, and the method called through the class.
    type(conn).makerequest(self=conn, request=provider.module().Balance, y=2)
    assert provider.fields("Balance")[-1] == {"auth": "T0", "y": 2}


@pytest.mark.parametrize("outcome", [NO_ANSWER, dict(NO_ANSWER, sukses=True), dict(EXPIRED, conn=0),
                                     refused("INVALID_TOKEN"), refused(" invalid_token"), refused("invalid_token "),
                                     refused("ditolak")])
def test_no_answer_gives_none_and_other_refusals_are_returned_without_relogin(conn, provider, terminal, outcome):
    provider.answer("Balance", outcome)
    done = conn.makerequest(provider.module().Balance)
    assert done is None if not outcome["conn"] else (done.error_msg, done.sukses) == (outcome["error_msg"], False)
    assert provider.count("LoginNomor") == 0 and terminal.lines == [] and terminal.errors == []


RELOGIN, RELOGGED = ("Login Habis. Mencoba Login Kembali...", "warning"), ("Login Berhasil Dengan OTP 123456", "sukses")


@pytest.mark.parametrize("balance, nomor, lines, token, error", [
    ([EXPIRED, dict(OK, balance=9)], OK, [RELOGIN, RELOGGED], "T1", None),
    ([EXPIRED, EXPIRED, dict(OK, balance=1)], OK, [RELOGIN, RELOGGED], "T1", "invalid_token"),  # no second login
    ([EXPIRED], refused("Nomor tidak terdaftar"), [RELOGIN, ("Nomor tidak terdaftar", "gagal")], "", "invalid_token"),
    ([EXPIRED], EXPIRED, [RELOGIN, ("invalid_token", "gagal")], "", "invalid_token"),  # never nested in the login
])
def test_expired_session_logs_in_once_and_resends_with_the_new_token(
        conn, provider, terminal, balance, nomor, lines, token, error):
    provider.answer("Balance", *balance).answer("LoginNomor", nomor)
    provider.answer("LoginOtp", dict(OK, response={"gatewayToken": "T1"}))
    done = conn.makerequest(provider.module().Balance)
    assert (done.error_msg if error else done.balance) == (error or 9) and done.sukses == (not error)
    assert terminal.lines == lines and terminal.auth_token == token
    assert [f["auth"] for f in provider.fields("Balance")] == ["T0", "T1"][:1 + (token == "T1")]
    # One login, its own requests sent with the cleared token.
    assert [f["auth"] for f in provider.fields("LoginNomor")] == [""] and provider.count("LoginOtp") == (token == "T1")


def test_login_returning_none_is_an_error(conn, provider, terminal, monkeypatch):
    provider.answer("Balance", EXPIRED)
    terminal.config.deko.pop("idretail")  # login logs the KeyError and returns None
    assert conn.makerequest(provider.module().Balance) is None
    assert terminal.lines == [RELOGIN] and [type(e) for e in terminal.errors] == [KeyError, AttributeError]


@pytest.mark.parametrize("where", ["build", "exchange"])
def test_errors_inside_the_pipeline_are_logged_and_give_none(conn, provider, terminal, where):
    boom = RuntimeError("boom")

    def build(**fields):
        raise boom
    provider.answer("Balance", boom)
    assert conn.makerequest(build if where == "build" else provider.module().Balance) is None
    assert terminal.errors == [boom] and terminal.lines == []


def test_stale_token_resends_without_login(conn, provider, terminal):
    def expire_then_newer(fields):
        terminal.auth_token = "NEWER"  # another thread logged in meanwhile
        return EXPIRED
    provider.answer("Balance", expire_then_newer, dict(OK, balance=2))
    done = conn.makerequest(provider.module().Balance)
    assert done.balance == 2 and provider.count("LoginNomor") == 0
    assert provider.fields("Balance")[1]["auth"] == "NEWER" and terminal.lines == []


@pytest.mark.parametrize("login_works", [True, False])
def test_concurrent_expiry_logs_in_once(conn, provider, terminal, login_works):
    threads_n = 8
    barrier = threading.Barrier(threads_n, timeout=10)
    gate = threading.Event()

    def balance(fields):
        if fields["auth"] == "T0":
            barrier.wait()  # every thread has sent with the expired token
            return EXPIRED
        return dict(OK, balance=fields["auth"])

    def slow_otp(fields):
        gate.wait(0.3)  # keep the login in flight while the others arrive
        return dict(OK, response={"gatewayToken": "T1"}) if login_works else refused("OTP salah")

    provider.default("Balance", balance)
    provider.default("LoginOtp", slow_otp)
    with concurrent.futures.ThreadPoolExecutor(threads_n) as pool:
        results = list(pool.map(lambda _: conn.makerequest(provider.module().Balance), range(threads_n), timeout=20))
    assert provider.count("LoginOtp") == 1 and provider.count("LoginNomor") == 1
    assert sum(1 for _, level in terminal.lines if level == "warning") == 1
    if login_works:
        assert [r.balance for r in results] == ["T1"] * threads_n
    else:
        assert all(r.error_msg == "invalid_token" for r in results)
        assert terminal.auth_token == ""


# Login ---------------------------------------------------------------------------------------

class FrozenDatetime(real_datetime.datetime):
    @classmethod
    def now(cls, tz=None):
        return cls(2026, 12, 6, 7, 5, 9)


def test_login_reads_time_once_before_number_login(conn, provider, terminal, monkeypatch, mod):
    monkeypatch.setattr(mod, "datetime", types.SimpleNamespace(datetime=FrozenDatetime))
    provider.answer("LoginOtp", dict(OK, response={"gatewayToken": "GT"}))
    result = conn.login()
    assert isinstance(result, mod.FuncResponse) and (result.status, result.pesan) == (True, RELOGGED[0])
    assert terminal.otp_calls == [("07:05:09", "2026-12-06")] and terminal.auth_token == "GT"
    assert provider.sent == [
        ("LoginNomor", {"msisdn": "6281200000001", "idretail": "RTL001", "auth": "T0"}),
        ("LoginOtp", {"msisdn": "6281200000001", "otp": "123456", "idretail": "RTL001", "auth": "T0"})]


@pytest.mark.parametrize("outcomes, otp, expected, otp_asked", [
    ({"LoginNomor": NO_ANSWER}, "1", "Koneksi gagal, tidak dapat melakukan login", False),
    ({"LoginNomor": refused("Nomor salah")}, "1", "Nomor salah", False),
    ({}, None, "Gagal Mengambil OTP. Pastikan Id Chip Sudah Benar", True),
    ({"LoginOtp": NO_ANSWER}, "1", "Koneksi gagal, tidak dapat melakukan login", True),
    ({"LoginOtp": refused("OTP salah")}, "1", "OTP salah", True),
    ({"LoginNomor": EXPIRED}, "1", "invalid_token", False),  # an ordinary refusal here
])
def test_login_failures_keep_the_token(conn, provider, terminal, outcomes, otp, expected, otp_asked):
    for name, outcome in outcomes.items():
        provider.answer(name, outcome)
    terminal.otp = otp
    result = conn.login()
    assert (result.status, result.pesan) == (False, expected)
    assert terminal.auth_token == "T0" and bool(terminal.otp_calls) == otp_asked
    assert provider.count("LoginOtp") == (1 if otp_asked and otp else 0) and terminal.lines == []


@pytest.mark.parametrize("missing", ["nomor", "idretail"])
def test_login_without_settings_logs_and_sends_nothing(conn, provider, terminal, missing):
    terminal.config.deko.pop(missing)
    assert conn.login() is None
    assert provider.sent == [] and [type(e) for e in terminal.errors] == [KeyError]


def test_login_without_gateway_token_logs_and_keeps_token(conn, provider, terminal):
    provider.answer("LoginOtp", dict(OK, response={}))
    assert conn.login() is None
    assert terminal.auth_token == "T0" and [type(e) for e in terminal.errors] == [KeyError]


# Balance ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("check_login, outcome, lines, result", [
    (False, dict(OK, balance={"Total": "7"}), [("Mengecek Saldo...", "default"),
                                               ("Cek Saldo Berhasil", "sukses")], {"Total": "7"}),
    (True, dict(OK, balance=5), [("Login Berhasil", "sukses")], 5),
    (True, NO_ANSWER, [], {"Total": "0"}),
    (False, dict(refused("x"), balance=99), [("Mengecek Saldo...", "default")], {"Total": "0"}),
])
def test_balance(conn, provider, terminal, check_login, outcome, lines, result):
    provider.answer("Balance", outcome)
    assert conn.cek_saldo(check_login) == result and terminal.lines == lines
    assert provider.fields("Balance") == [{"auth": "T0"}]


def test_module_globals_are_looked_up_at_call_time(conn, provider, terminal, monkeypatch, mod):
    monkeypatch.setattr(mod, "FuncResponse", lambda status, pesan: ("patched", status, pesan))
    provider.answer("LoginNomor", refused("no"))
    assert conn.login() == ("patched", False, "no")
    monkeypatch.delattr(mod, "dekorequest")
    assert conn.login() is None
    assert isinstance(terminal.errors[-1], NameError)


# Faults that hang or abort the host, each in a child process -----------------------------------------

GATE = {
    # A request sent by the console while the re-login it belongs to shows its first line: no re-login of its own.
    "nested request": """
        provider.answer("Balance", EXPIRED, EXPIRED, dict(OK, balance=1))
        provider.answer("LoginOtp", dict(OK, response={"gatewayToken": "T1"}))
        nested = []
        terminal.console = lambda text, level: text.startswith("Login Habis") and nested.append(
            conn.makerequest(mod.dekorequest.Balance))
        print(conn.makerequest(mod.dekorequest.Balance).balance, nested[0].error_msg)""",
    # Ctrl-C while another thread's login hangs: raised within a second; other threads run meanwhile.
    "interrupted wait": """
        provider.default("Balance", EXPIRED)
        entered = threading.Event()
        terminal.otp = lambda jam, tanggal: entered.set() or threading.Event().wait()
        threading.Thread(target=conn.makerequest, args=(mod.dekorequest.Balance,), daemon=True).start()
        entered.wait(5)
        ticks = []
        threading.Thread(target=lambda: [ticks.append(time.sleep(0.001)) for _ in range(10 ** 6)], daemon=True).start()
        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
        started = time.monotonic()
        try:
            conn.makerequest(mod.dekorequest.Balance)
        except KeyboardInterrupt:
            print(time.monotonic() - started < 1.7, len(ticks) > 100)""",
    # A process forked while a login is in flight logs in by itself at its first expiry.
    "fork": """
        provider.default("Balance", lambda f: dict(OK, balance=f["auth"]) if f["auth"] == "T1" else EXPIRED)
        provider.default("LoginOtp", dict(OK, response={"gatewayToken": "T1"}))
        parent, entered = os.getpid(), threading.Event()
        terminal.otp = lambda jam, tanggal: (os.getpid() == parent and (entered.set(), threading.Event().wait())) or "1"
        threading.Thread(target=conn.makerequest, args=(mod.dekorequest.Balance,), daemon=True).start()
        entered.wait(5)
        pid = os.fork()
        if pid == 0:
            os._exit(conn.makerequest(mod.dekorequest.Balance).balance == "T1")
        for _ in range(200):
            got, status = os.waitpid(pid, os.WNOHANG)
            if got:
                print(os.waitstatus_to_exitcode(status))
                break
            time.sleep(0.05)""",
}


@pytest.mark.parametrize("case, printed", [("nested request", "1 invalid_token\n"),
                                           ("interrupted wait", "True True\n"), ("fork", "1\n")])
def test_relogin_never_waits_for_itself_a_signal_or_a_lost_leader(child, case, printed):
    assert child(GATE[case]) == printed


@pytest.mark.parametrize("call", ["conn.makerequest(mod.dekorequest.Balance)", "conn.login()", "conn.tarik_produk('1')",
                                  "mod.DekoConnectonThread(conn, 'cek_saldo').run()",
                                  "[conn.get_transaksi_history(Record(), '1', None) for _ in iter(int, 1)]"])
def test_exit_while_threads_are_inside_the_module(child, call):
    child("""
        for name in ("Balance", "Produk", "LoginNomor"):
            provider.default(name, lambda fields: [time.sleep(0.001) for _ in iter(int, 1)])
        provider.default("History", dict(OK, history=[]))
        mod.sleep = lambda seconds: time.sleep(0.001)
        for _ in range(4):
            threading.Thread(target=lambda: %s, daemon=True).start()
        time.sleep(0.3)""" % call)
