"""Worker threads under a real Qt event loop (offscreen)."""
import json
import types

import pytest
from PySide2.QtCore import QCoreApplication, QObject, QThread, QTimer, Slot

from simulator.listener import TerminalListener

BOUND_MS = 5000


@pytest.fixture(scope="module")
def app():
    return QCoreApplication.instance() or QCoreApplication([])


class Receiver(QObject):
    """Lives on the main thread; records each value and the thread it was delivered on."""

    def __init__(self):
        super().__init__()
        self.values = []
        self.threads = []

    @Slot(object)
    def take(self, value):
        self.values.append(value)
        self.threads.append(QThread.currentThread())


def run_until_finished(app, thread, quit_after_result=True):
    """Start `thread`, run the main loop until it finishes (bounded), return the receiver."""
    receiver = Receiver()
    thread.request_finished.connect(receiver.take)
    if quit_after_result:
        thread.request_finished.connect(lambda _v: thread.quit())
    thread.finished.connect(app.quit)
    QTimer.singleShot(BOUND_MS, app.quit)
    thread.start()
    app.exec_()
    assert thread.wait(BOUND_MS), "worker thread did not end"
    return receiver


class Conn:
    def __init__(self):
        self.calls = []

    def op(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return {"args": args, "kwargs": kwargs}

    def fails(self):
        raise ValueError("operasi gagal")


def test_result_reaches_receiver_on_main_thread(app, mod):
    conn = Conn()
    thread = mod.DekoConnectonThread(conn, "op", 1, 2, x=3)
    receiver = run_until_finished(app, thread)
    assert receiver.values == [{"args": (1, 2), "kwargs": {"x": 3}}]
    assert receiver.threads == [app.thread()]


def test_constructor_keeps_arguments_and_takes_parent_by_keyword_only(app, mod):
    parent = QObject()
    thread = mod.DekoConnectonThread("c", "f", 1, 2, parent=parent, x=3)
    assert (thread.conn, thread.func, thread.args, thread.kwargs) == ("c", "f", (1, 2), {"x": 3})
    assert thread.parent() is parent
    positional = mod.DekoConnectonThread("c", "f", 1, 2, parent)
    assert positional.args == (1, 2, parent) and positional.parent() is None
    assert [k for k in vars(thread) if k != "request_finished"] == ["conn", "func", "args", "kwargs"]
    assert mod.DekoConnection.get_connection_thread(None) is mod.DekoConnectonThread


def test_unknown_operation_emits_none_once_then_waits_for_quit(app, mod):
    thread = mod.DekoConnectonThread(Conn(), "nope")
    receiver = Receiver()
    thread.request_finished.connect(receiver.take)
    thread.finished.connect(app.quit)
    states = []

    def check_and_quit():
        states.append(thread.isRunning())  # still in its event loop after emitting
        thread.quit()

    QTimer.singleShot(300, check_and_quit)
    QTimer.singleShot(BOUND_MS, app.quit)
    thread.start()
    app.exec_()
    assert thread.wait(BOUND_MS)
    assert receiver.values == [None] and states == [True]


@pytest.mark.parametrize("func", ["fails", 42])
def test_raising_operation_prints_error_emits_none_and_returns(app, mod, capfd, func):
    thread = mod.DekoConnectonThread(Conn(), func)
    receiver = run_until_finished(app, thread, quit_after_result=False)
    assert receiver.values == [None]
    out = capfd.readouterr().out
    assert ("operasi gagal\n" if func == "fails" else "attribute name must be string") in out


def test_cek_saldo_runs_on_worker_with_keyword(app, mod, conn, provider, terminal):
    from fakes import OK
    provider.answer("Balance", dict(OK, balance={"Total": "42"}))
    thread = conn.get_connection_thread()(conn, "cek_saldo", check_login=True)
    receiver = run_until_finished(app, thread)
    assert receiver.values == [{"Total": "42"}]
    assert terminal.lines == [("Login Berhasil", "sukses")]


# History wait thread ---------------------------------------------------------------------------

def settled_record():
    return types.SimpleNamespace(status="sukses", jenis="beli", produk=types.SimpleNamespace(tipe="PULSA"),
                                 pesan="Transaksi berhasil \u00e9", idtrx="ID1", tujuan="0812",
                                 tujuan_reply="62812")


class HistoryConn:
    def __init__(self, port, h2h=None):
        self.calls = []
        self.terminal = types.SimpleNamespace(
            config=types.SimpleNamespace(deko={"reply_ip": "127.0.0.1", "reply_port": port}))
        if h2h is not None:
            self.commonconnection = types.SimpleNamespace(terminal_h2h=h2h)

    def ambil_dari_history(self, request, transaksi, transaksitime, harga):
        self.calls.append((request, transaksi, transaksitime, harga))
        return settled_record()


def run_waiter(app, mod, conn):
    thread = mod.WaitTransaksiHistoryThread(conn, "REQ", "pending-record", "T", 500)
    receiver = run_until_finished(app, thread, quit_after_result=False)
    assert receiver.values == []  # never emits
    return thread


def test_wait_thread_replies_to_a_real_terminal(app, mod):
    from apps.deko.libs.connections.commonconnection import CommonConnection
    with TerminalListener() as listener:
        conn = HistoryConn(listener.port)
        conn.commonconnection = CommonConnection(conn)
        thread = run_waiter(app, mod, conn)
        assert listener.wait_for(1, 5)
    assert conn.calls == [("REQ", "pending-record", "T", 500)]
    assert listener.received == [json.dumps({
        "status": "sukses", "jenis": "beli", "tipe": "PULSA", "pesan": "Transaksi berhasil \u00e9",
        "idtrx": "ID1", "tujuan": "62812"})]
    assert "\\u00e9" in listener.received[0]
    assert thread.transaksi.idtrx == "ID1"


def test_wait_thread_reports_failed_reply_and_keeps_record(app, mod, capfd):
    from apps.deko.libs.connections.commonconnection import CommonConnection
    listener = TerminalListener().start()
    port = listener.port
    listener.stop()  # nobody listens there any more
    conn = HistoryConn(port)
    conn.commonconnection = CommonConnection(conn)
    thread = run_waiter(app, mod, conn)
    lines = capfd.readouterr().out.splitlines()
    assert len(lines) == 1
    assert lines[0].startswith("Gagal mengirim balasan ke 2: ") and lines[0].endswith(" gagal")
    assert thread.transaksi.status == "sukses"


def test_wait_thread_without_reply_settings(app, mod, capfd):
    conn = HistoryConn(1, h2h=lambda *a: None)
    del conn.terminal.config.deko["reply_port"]
    thread = run_waiter(app, mod, conn)
    assert capfd.readouterr().out == "Gagal mengirim balasan ke 2: 'reply_port' gagal\n"
    assert thread.transaksi.tujuan_reply == "62812"
