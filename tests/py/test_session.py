"""Connection object, request pipeline with re-login, login with OTP, balance check."""
import datetime as real_datetime
import types

import pytest

from fakes import EXPIRED, NO_ANSWER, OK, refused

# Request pipeline ------------------------------------------------------------------------------

def test_pipeline_sends_the_current_token_over_the_callers(conn, provider, terminal):
    done = conn.makerequest(provider.module().Balance, auth="mine", x=1)
    type(conn).makerequest(self=conn, request=provider.module().Balance, y=2)  # named, through the class
    assert provider.fields("Balance") == [{"auth": "T0", "x": 1}, {"auth": "T0", "y": 2}]
    assert done.http_seen is conn.http and done.logging_seen is terminal.logging and terminal.lines == []


@pytest.mark.parametrize("outcome, error", [
    (NO_ANSWER, None), (dict(EXPIRED, conn=0), None), (refused("INVALID_TOKEN"), "INVALID_TOKEN"),
    (refused("invalid_token "), "invalid_token "), (refused("ditolak"), "ditolak")])
def test_no_answer_gives_none_and_other_refusals_come_back_without_relogin(conn, provider, terminal, outcome, error):
    provider.answer("Balance", outcome)
    done = conn.makerequest(provider.module().Balance)
    assert (None if done is None else done.error_msg) == error
    assert provider.count("LoginNomor") == 0 and terminal.lines == [] and terminal.errors == []


RELOGIN, RELOGGED = ("Login Habis. Mencoba Login Kembali...", "warning"), ("Login Berhasil Dengan OTP 123456", "sukses")


@pytest.mark.parametrize("balance, nomor, lines, token, error, sent", [
    ([EXPIRED, dict(OK, balance=9)], OK, [RELOGIN, RELOGGED], "T1", "", ["T0", "T1"]),
    ([EXPIRED, EXPIRED, OK], OK, [RELOGIN, RELOGGED], "T1", "invalid_token", ["T0", "T1"]),  # resent once only
    ([EXPIRED], refused("Nomor tidak terdaftar"), [RELOGIN, ("Nomor tidak terdaftar", "gagal")], "", "invalid_token",
     ["T0"]),
], ids=['resent with the new token', 'resent once only', 'login refused'])
def test_expired_session_logs_in_once_and_resends_with_the_new_token(
        conn, provider, terminal, balance, nomor, lines, token, error, sent):
    provider.answer("Balance", *balance).answer("LoginNomor", nomor)
    provider.answer("LoginOtp", dict(OK, response={"gatewayToken": "T1"}))
    assert conn.makerequest(provider.module().Balance).error_msg == error
    assert terminal.lines == lines and terminal.auth_token == token
    assert [f["auth"] for f in provider.fields("Balance")] == sent
    assert [f["auth"] for f in provider.fields("LoginNomor")] == [""]  # the login's own requests: the cleared token


def test_login_returning_none_is_an_error(conn, provider, terminal):
    provider.answer("Balance", EXPIRED)
    terminal.config.deko.pop("idretail")  # login logs the KeyError and returns None
    assert conn.makerequest(provider.module().Balance) is None
    assert terminal.lines == [RELOGIN] and [type(e) for e in terminal.errors] == [KeyError, AttributeError]


def test_errors_inside_the_pipeline_are_logged_and_give_none(conn, provider, terminal):
    boom = RuntimeError("boom")
    provider.answer("Balance", boom)
    assert conn.makerequest(provider.module().Balance) is None
    assert terminal.errors == [boom] and terminal.lines == []


@pytest.mark.parametrize("otp, printed", [('dict(OK, response={"gatewayToken": "T1"})', "1 1 1 {'T1'} T1\n"),
                                          ('refused("OTP salah")', "1 1 1 {'invalid_token'} \n")])
def test_concurrent_expiry_logs_in_once(child, otp, printed):
    """Eight threads meet the expired session at once: one logs in, the others wait for it (a waiter that keeps
    the GIL would hang the login: the child's time-out fails the test)."""
    assert child("""
        barrier, results = threading.Barrier(8, timeout=10), []
        provider.default("Balance", lambda f: (barrier.wait(), EXPIRED)[1] if f["auth"] == "T0" else dict(
            OK, balance=f["auth"]))
        provider.default("LoginOtp", lambda f: time.sleep(0.3) or %s)  # in flight while the others arrive
        threads = [threading.Thread(target=lambda: results.append(conn.makerequest(mod.dekorequest.Balance)))
                   for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print(provider.count("LoginNomor"), provider.count("LoginOtp"), [l for _, l in terminal.lines].count("warning"),
              {r.error_msg or r.balance for r in results}, terminal.auth_token)""" % otp) == printed


# Login ---------------------------------------------------------------------------------------

def test_login_reads_time_once_before_number_login(conn, provider, terminal, monkeypatch, mod):
    now = types.SimpleNamespace(now=lambda: real_datetime.datetime(2026, 12, 6, 7, 5, 9))
    monkeypatch.setattr(mod, "datetime", types.SimpleNamespace(datetime=now))
    provider.answer("LoginOtp", dict(OK, response={"gatewayToken": "GT"}))
    result = conn.login()
    assert isinstance(result, mod.FuncResponse) and (result.status, result.pesan) == (True, RELOGGED[0])
    assert terminal.otp_calls == [("07:05:09", "2026-12-06")] and terminal.auth_token == "GT"
    assert provider.sent == [
        ("LoginNomor", {"msisdn": "6281200000001", "idretail": "RTL001", "auth": "T0"}),
        ("LoginOtp", {"msisdn": "6281200000001", "otp": "123456", "idretail": "RTL001", "auth": "T0"})]


NOMOR, BOTH = ["LoginNomor"], ["LoginNomor", "LoginOtp"]


@pytest.mark.parametrize("spoil, pesan, sent, otp_asked", [
    (lambda t, p: p.answer("LoginNomor", NO_ANSWER), "Koneksi gagal, tidak dapat melakukan login", NOMOR, 0),
    (lambda t, p: p.answer("LoginNomor", refused("Nomor salah")), "Nomor salah", NOMOR, 0),
    (lambda t, p: p.answer("LoginNomor", EXPIRED), "invalid_token", NOMOR, 0),  # an ordinary refusal here
    (lambda t, p: setattr(t, "otp", None), "Gagal Mengambil OTP. Pastikan Id Chip Sudah Benar", NOMOR, 1),
    (lambda t, p: p.answer("LoginOtp", NO_ANSWER), "Koneksi gagal, tidak dapat melakukan login", BOTH, 1),
    (lambda t, p: p.answer("LoginOtp", refused("OTP salah")), "OTP salah", BOTH, 1),
    # An error is logged, and login gives none.
    (lambda t, p: t.config.deko.pop("nomor"), None, [], 0),
    (lambda t, p: t.config.deko.pop("idretail"), None, [], 0),
    (lambda t, p: p.answer("LoginOtp", dict(OK, response={})), None, BOTH, 1),
])
def test_failed_login_keeps_the_token(conn, provider, terminal, spoil, pesan, sent, otp_asked):
    spoil(terminal, provider)
    result = conn.login()
    assert (None if result is None else (result.status, result.pesan)) == (pesan and (False, pesan))
    assert [name for name, _ in provider.sent] == sent and len(terminal.otp_calls) == otp_asked
    assert [type(e) for e in terminal.errors] == ([] if pesan else [KeyError])
    assert terminal.auth_token == "T0" and terminal.lines == []


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
    # Ctrl-C while another thread's login hangs: raised within seconds; other threads run meanwhile.
    "interrupted wait": """
        provider.default("Balance", EXPIRED)
        entered = threading.Event()
        terminal.otp = lambda jam, tanggal: entered.set() or threading.Event().wait()
        threading.Thread(target=conn.makerequest, args=(mod.dekorequest.Balance,), daemon=True).start()
        entered.wait(5)
        ticks = []
        threading.Thread(target=lambda: [ticks.append(time.sleep(0.001)) for _ in range(10 ** 6)], daemon=True).start()
        signal.signal(signal.SIGINT, signal.default_int_handler)  # even when started with SIGINT ignored
        threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
        started = time.monotonic()
        try:
            conn.makerequest(mod.dekorequest.Balance)
        except KeyboardInterrupt:
            print(time.monotonic() - started < 5, len(ticks) > 10)  # bounds loose enough for a loaded machine""",
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
            signal.alarm(10)  # a forked process that hangs is ended (and its status tells)
            os._exit(conn.makerequest(mod.dekorequest.Balance).balance == "T1")
        status = os.waitpid(pid, 0)[1]
        print(os.WEXITSTATUS(status) if os.WIFEXITED(status) else -os.WTERMSIG(status))""",
    # A waiting thread keeps its Qt events moving: the GUI thread meets the expired session while a worker's login
    # asks the GUI thread for the OTP through a blocking queued call; both finish.
    "gui thread": """
        from PySide2.QtCore import QCoreApplication, QObject, Qt, Signal
        app, entered, served, results = QCoreApplication([]), threading.Event(), [], []
        class Dialog(QObject):  # lives on the GUI thread
            asked = Signal()
        dialog = Dialog()
        dialog.asked.connect(lambda: served.append(threading.current_thread().name), Qt.BlockingQueuedConnection)
        terminal.otp = lambda jam, tanggal: (entered.set(), dialog.asked.emit(), "7")[2]
        provider.default("Balance", lambda f: dict(OK, balance=f["auth"]) if f["auth"] == "T1" else EXPIRED)
        provider.default("LoginOtp", dict(OK, response={"gatewayToken": "T1"}))
        worker = threading.Thread(target=lambda: results.append(conn.makerequest(mod.dekorequest.Balance).balance))
        worker.start()
        entered.wait(5)
        results.append(conn.makerequest(mod.dekorequest.Balance).balance)
        worker.join()
        print(results, served, provider.count("LoginOtp"))""",
    # A waiter never blocks the event loop it runs inside: the worker's getOtp asks the GUI thread through a blocking
    # queued call, whose slot runs a nested event loop (the OTP dialog); a timer in it calls the module, meets the
    # expired session and, not waiting, ends as a refusal; the dialog closes when the OTP is answered and the worker
    # goes on. The dialog opened under the application's loop, and under the Qt events of a wait of the GUI thread.
    "dialog": """
        from PySide2.QtCore import QCoreApplication, QEventLoop, QObject, Qt, QThread, QTimer, Signal
        app, entered, seen, results = QCoreApplication([]), threading.Event(), [], []
        class Dialog(QObject):  # lives on the GUI thread
            asked = Signal()
        def dialog():
            loop = QEventLoop()
            QTimer.singleShot(100, lambda: seen.extend((QThread.currentThread().loopLevel(), conn.makerequest(
                mod.dekorequest.Balance).error_msg)))
            QTimer.singleShot(600, loop.quit)  # the operator answers the OTP
            loop.exec_()
        asker = Dialog()
        asker.asked.connect(dialog, Qt.BlockingQueuedConnection)
        terminal.otp = lambda jam, tanggal: (entered.set(), asker.asked.emit(), "7")[2]
        provider.default("Balance", lambda f: dict(OK, balance=f["auth"]) if f["auth"] == "T1" else EXPIRED)
        provider.default("LoginOtp", dict(OK, response={"gatewayToken": "T1"}))
        worker = threading.Thread(target=lambda: results.append(conn.makerequest(mod.dekorequest.Balance).balance))
        started = time.monotonic()
        worker.start()
        if UNDER_A_WAIT:
            entered.wait(5)
            results.append(conn.makerequest(mod.dekorequest.Balance).balance)
        else:
            done = QTimer(interval=50, timeout=lambda: worker.is_alive() or app.quit())
            done.start()
            app.exec_()
        worker.join(20)
        print(sorted(results), seen, provider.count("LoginOtp"), time.monotonic() - started < 5)""",
}


@pytest.mark.parametrize("case, printed", [("nested request", "1 invalid_token\n"),
                                           ("interrupted wait", "True True\n"), ("fork", "1\n"),
                                           ("gui thread", "['T1', 'T1'] ['MainThread'] 1\n"),
                                           ("dialog under the application's loop", "['T1'] [2, 'invalid_token'] 1 True\n"),
                                           ("dialog under a wait", "['T1', 'T1'] [1, 'invalid_token'] 1 True\n")])
def test_relogin_never_waits_for_itself_a_signal_or_a_lost_leader(child, case, printed):
    code = GATE[case.split(" under ")[0]]
    assert child("\n        UNDER_A_WAIT = %r" % case.endswith("a wait") + code) == printed


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
