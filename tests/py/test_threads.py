"""Worker threads under a real Qt event loop (offscreen)."""
import json
import types

import pytest
from PySide2.QtCore import QCoreApplication, QObject, QThread, QTimer, Slot

from apps.deko.libs.connections.commonconnection import CommonConnection
from simulator.listener import TerminalListener

BOUND_MS = 5000


@pytest.fixture(scope="module")
def app():
    return QCoreApplication.instance() or QCoreApplication([])


class Receiver(QObject):
    """Lives on the main thread; records each value and the thread it was delivered on."""

    def __init__(self):
        super().__init__()
        self.values, self.threads = [], []

    @Slot(object)
    def take(self, value):
        self.values.append(value)
        self.threads.append(QThread.currentThread())


def run(app, thread, quit_after=None):
    """Start `thread` and run the main loop until it finishes (bounded). `quit_after`: "result" ends the thread's
    own loop on its result; a number of milliseconds ends it then, noting whether it was still running."""
    receiver, running = Receiver(), []
    thread.request_finished.connect(receiver.take)
    if quit_after == "result":
        thread.request_finished.connect(lambda _v: thread.quit())
    elif quit_after:
        QTimer.singleShot(quit_after, lambda: running.append(thread.isRunning()) or thread.quit())
    thread.finished.connect(app.quit)
    QTimer.singleShot(BOUND_MS, app.quit)
    thread.start()
    app.exec_()
    assert thread.wait(BOUND_MS), "worker thread did not end"
    return receiver, running


class Conn:
    def op(self, *args, **kwargs):
        return {"args": args, "kwargs": kwargs}

    def fails(self):
        raise ValueError("operasi gagal")


def test_result_reaches_receiver_on_main_thread(app, mod):
    parent = QObject()
    thread = mod.DekoConnectonThread(Conn(), "op", 1, 2, parent=parent, x=3)
    receiver, _ = run(app, thread, "result")
    assert receiver.values == [{"args": (1, 2), "kwargs": {"x": 3}}] and receiver.threads == [app.thread()]
    assert thread.parent() is parent


@pytest.mark.parametrize("func, printed, running", [
    ("nope", "", [True]),  # unknown: none emitted, then its event loop runs until it is told to quit
    ("fails", "operasi gagal\n", []), (42, "attribute name must be string", [])])  # printed, then it ends
def test_failed_operation_emits_none_once(app, mod, capfd, func, printed, running):
    receiver, still_running = run(app, mod.DekoConnectonThread(Conn(), func), quit_after=300)
    assert receiver.values == [None] and still_running == running and printed in capfd.readouterr().out


# History wait thread ---------------------------------------------------------------------------

class HistoryConn:
    """Settles the pending purchase at once; replies go through the host's CommonConnection to `port`."""

    def __init__(self, port):
        self.calls = []
        self.terminal = types.SimpleNamespace(
            config=types.SimpleNamespace(deko={"reply_ip": "127.0.0.1", "reply_port": port}))
        self.commonconnection = CommonConnection(self)

    def ambil_dari_history(self, request, transaksi, transaksitime, harga):
        self.calls.append((request, transaksi, transaksitime, harga))
        return types.SimpleNamespace(status="sukses", jenis="beli", produk=types.SimpleNamespace(tipe="PULSA"),
                                     pesan="Transaksi berhasil \u00e9", idtrx="ID1", tujuan="0812",
                                     tujuan_reply="62812")


def run_waiter(app, mod, conn):
    thread = mod.WaitTransaksiHistoryThread(conn, "REQ", "pending-record", "T", 500)
    assert run(app, thread)[0].values == []  # never emits
    assert conn.calls == [("REQ", "pending-record", "T", 500)]
    return thread


def test_wait_thread_replies_to_a_real_terminal(app, mod):
    with TerminalListener() as listener:
        thread = run_waiter(app, mod, HistoryConn(listener.port))
        assert listener.wait_for(1, 5)
    assert listener.received == [json.dumps({  # text outside ASCII escaped
        "status": "sukses", "jenis": "beli", "tipe": "PULSA", "pesan": "Transaksi berhasil \u00e9",
        "idtrx": "ID1", "tujuan": "62812"})]
    assert thread.transaksi.idtrx == "ID1"


def test_wait_thread_reports_a_failed_reply_and_keeps_the_record(app, mod, capfd):
    conn = HistoryConn(1)
    del conn.terminal.config.deko["reply_port"]
    thread = run_waiter(app, mod, conn)
    assert capfd.readouterr().out == "Gagal mengirim balasan ke 2: 'reply_port' gagal\n"
    assert (thread.transaksi.status, thread.transaksi.tujuan_reply) == ("sukses", "62812")


def test_errors_never_leave_run(child):
    """An error leaving QThread.run hangs PySide2: settling, building the reply, logging and printing may all fail."""
    out = child("""
        from PySide2.QtCore import QCoreApplication
        app, logged, seen = QCoreApplication([]), [], []

        def log(error):
            logged.append(type(error).__name__)
            if len(logged) == 3:
                raise RuntimeError("log down")
        host = types.SimpleNamespace(
            terminal=types.SimpleNamespace(logException=log), commonconnection=types.SimpleNamespace(
                terminal_h2h=lambda *a: logged.append("replied")))
        for settled in (ZeroDivisionError, types.SimpleNamespace, ZeroDivisionError):  # the record lacks `jenis`
            host.ambil_dari_history = lambda *a: settled(status="sukses") if settled is types.SimpleNamespace else 1 / 0
            waiter = mod.WaitTransaksiHistoryThread(host, None, "held", None, None)
            waiter.start()
            seen.append((waiter.wait(5000), type(waiter.transaksi).__name__))
        sys.stdout.close()  # printing the operation's error fails too
        worker = mod.DekoConnectonThread(types.SimpleNamespace(op=lambda: 1 / 0), "op")
        worker.request_finished.connect(seen.append)
        worker.start()
        seen.append(worker.wait(5000))
        app.processEvents()
        os.write(1, repr((logged, seen)).encode())""")
    assert out == repr((["ZeroDivisionError", "AttributeError", "ZeroDivisionError"],
                        [(True, "str"), (True, "SimpleNamespace"), (True, "str"), True, None]))
