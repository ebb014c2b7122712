"""Worker threads under a real Qt event loop (offscreen)."""
import json

import pytest
from PySide2.QtCore import QCoreApplication, QObject, QThread, QTimer, Slot

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


def run(app, thread):
    """Start `thread` and run the main loop until it ends (bounded); its own loop is told to quit after 300 ms.
    Gives what it emitted and, when it was still running then, [True]."""
    receiver, running = Receiver(), []
    thread.request_finished.connect(receiver.take)
    QTimer.singleShot(300, lambda: running.append(thread.isRunning()) or thread.quit())
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


@pytest.mark.parametrize("func, args, kwargs, emitted, printed, running", [
    ("op", (1, 2), {"x": 3}, [{"args": (1, 2), "kwargs": {"x": 3}}], "", [True]),  # then its loop runs until quit
    ("nope", (), {}, [None], "", [True]),  # unknown: none emitted
    ("fails", (), {}, [None], "operasi gagal\n", []),  # printed, and it ends
], ids=["result emitted, loop runs", "no such operation", "operation raises"])
def test_worker_emits_the_result_once_on_the_main_thread(app, mod, capfd, func, args, kwargs, emitted, printed,
                                                          running):
    parent = QObject()
    thread = mod.DekoConnectonThread(Conn(), func, *args, parent=parent, **kwargs)
    receiver, still_running = run(app, thread)
    assert receiver.values == emitted and receiver.threads == [app.thread()] and still_running == running
    assert printed in capfd.readouterr().out and thread.parent() is parent


def test_a_purchase_that_raises_on_a_worker_leaves_its_record_failed(app, conn, capfd):
    """Settings without "nomor_transaksi": the worker prints the error and emits none, and the record no longer
    says the product check's "sukses" (nothing was sent)."""
    from fakes import Record
    rec = Record()
    rec.status = "sukses"
    conn.terminal.config.deko.pop("nomor_transaksi")
    receiver, running = run(app, type(conn).get_connection_thread(conn)(conn, "transaksi", rec))
    assert receiver.values == [None] and running == [] and "'nomor_transaksi'" in capfd.readouterr().out
    assert rec.outcome()[:2] == ("gagal", "[Deko]: 'nomor_transaksi'")


# History wait thread, and errors in either thread ------------------------------------------------

REPLY = {"status": "sukses", "jenis": "beli", "tipe": "PULSA", "pesan": "Transaksi berhasil \u00e9", "idtrx": "ID1",
         "tujuan": "62812"}


def test_errors_never_leave_run(child):
    """An error leaving QThread.run hangs PySide2: settling, building the reply, sending it, logging and printing
    may all fail. A purchase settled from the history is replied to the terminal's number (`tujuan_reply`)."""
    out = child("""
        import json
        from PySide2.QtCore import QCoreApplication
        app, logged, seen, NS = QCoreApplication([]), [], [], types.SimpleNamespace

        def log(error):
            logged.append(type(error).__name__)
            if len(logged) == 3:
                raise RuntimeError("log down")
        host = NS(terminal=NS(logException=log, config=NS(deko={"reply_ip": "10.0.0.9", "reply_port": 7})),
                  commonconnection=NS(terminal_h2h=lambda *a: logged.append(a)))
        done = NS(status="sukses", jenis="beli", produk=NS(tipe="PULSA"), pesan="Transaksi berhasil \\u00e9",
                  idtrx="ID1", tujuan="0812", tujuan_reply="62812")
        # Not settled; settled without `jenis`; not settled with the log failing too; settled, twice: the second
        # time without the terminal's reply port (the reply is not sent, and that is printed).
        for settle in (lambda *a: 1 / 0, lambda *a: NS(status="sukses"), lambda *a: 1 / 0, lambda *a: done,
                       lambda *a: host.terminal.config.deko.pop("reply_port") and done):
            host.ambil_dari_history = lambda *a: logged.append(a[1:]) or settle()
            waiter = mod.WaitTransaksiHistoryThread(host, "REQ", "held", "T", 500)
            waiter.start()
            seen.append((waiter.wait(5000), type(waiter.transaksi).__name__))
        sys.stdout.flush()
        sys.stdout.close()  # printing the operation's error fails too
        worker = mod.DekoConnectonThread(types.SimpleNamespace(op=lambda: 1 / 0), "op")
        worker.request_finished.connect(lambda value: seen.append(value))  # PySide2 on 3.7 hashes a bound method
        worker.start()
        seen.append(worker.wait(5000))
        app.processEvents()
        os.write(1, repr((logged, seen)).encode())""")
    asked = ("held", "T", 500)
    assert out == "Gagal mengirim balasan ke 2: 'reply_port' gagal\n" + repr((
        [asked, "ZeroDivisionError", asked, "AttributeError", asked, "ZeroDivisionError", asked,
         ("10.0.0.9", 7, json.dumps(REPLY)), asked],
        [(True, "str"), (True, "SimpleNamespace"), (True, "str"), (True, "SimpleNamespace"), (True, "SimpleNamespace"),
         True, None]))
