"""The gateway in a desktop window (Qt Widgets), against a simulated Deko provider started inside
this process: the host's GUI thread runs the event loop and the window, worker threads run the
connection's operations and their results come back to it by signals.

The window:
  Sesi       Login (on a worker thread; the OTP the chip received is confirmed in a dialog on the
             GUI thread), Cek saldo on a worker thread, Cek saldo di thread GUI (the module called
             on the GUI thread itself, as hosts do), Tarik produk (catalogue, with the best offers
             of one number), Sesi habis (the simulator expires the session: the next request logs
             in again, through the dialog)
  Gangguan   lost answers, HTTP 503 and slow answers (past the time-out) on a share of the purchase
             requests, and a history that shows purchases late
  Katalog    the products with their prices; a double click picks one for the purchase form
  Beli       product, destination number and count: each purchase checks (cek) and buys
             (transaksi) on worker threads, and one left pending is settled on a
             WaitTransaksiHistoryThread. Equal purchases (same product and number) go one after
             another, so that the history tells them apart
  Transaksi  a row per purchase whose status moves live (pending -> sukses / gagal), with its
             message, serial number and the reply the terminal received
  Konsol     the terminal's console lines from every thread, coloured by level
The status bar shows the longest time the GUI thread went without processing its events.

--auto runs a fixed scenario with nobody at the keyboard (login through the dialog, balance,
catalogue, 20 purchases with the faults on, the session expired while they run, a balance check on
the GUI thread during the re-login that follows, every pending purchase settled, the rows checked
against the simulator's ledger), prints one line per step and exits: 0 when every step came out
as expected, 1 otherwise. --screenshot FILE writes a PNG of the window at the end.

Without a display (no DISPLAY or WAYLAND_DISPLAY), --auto draws off screen (QT_QPA_PLATFORM=offscreen).
"""
import argparse
import faulthandler
import os
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
AUTO_LIMIT = 150  # seconds: a run that hangs longer ends with every thread's stack

from demo.main import stop  # noqa: E402  (one line on standard error, exit status 1)


def main(argv=None):
    parser = argparse.ArgumentParser(prog=os.environ.get("DEKO_DEMO_PROG"), description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--auto", action="store_true", help="run the fixed scenario, then exit")
    parser.add_argument("--screenshot", metavar="FILE", help="write a PNG of the window at the end")
    args = parser.parse_args(argv)

    if not (os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY") or os.environ.get("QT_QPA_PLATFORM")):
        if not args.auto:
            return stop("Tidak ada layar (DISPLAY): jalankan di desktop, dengan xvfb-run, atau dengan --auto")
        os.environ["QT_QPA_PLATFORM"] = "offscreen"
    if not os.environ.get("XDG_RUNTIME_DIR"):  # Qt makes this one itself, with a warning
        runtime = os.path.join(tempfile.gettempdir(), "runtime-%d" % os.getuid())
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        os.environ["XDG_RUNTIME_DIR"] = runtime
    try:
        from PySide2.QtWidgets import QApplication
    except ImportError as error:
        return stop("PySide2 dari %s tidak punya QtWidgets (%s): jendela tidak dapat dibuka" % (sys.executable, error))

    from demo import scenario
    from demo.desktop import Host

    from PySide2.QtCore import qInstallMessageHandler

    def show_message(kind, context, text):  # the off-screen platform's one remark about dialogs left out
        if "propagateSizeHints" not in text:
            print(text, file=sys.stderr, flush=True)
    qInstallMessageHandler(show_message)
    app = QApplication(sys.argv[:1])
    app.setStyle("Fusion")
    if args.auto:
        faulthandler.dump_traceback_later(AUTO_LIMIT, exit=True)
        run = scenario.run(app, scenario.FULL, screenshot=args.screenshot)
        return 1 if run.failed() else 0

    host = Host()
    host.window.screenshot = args.screenshot
    host.window.show()
    host.terminal.console("Simulator: %s, balasan ke terminal: %s" % (host.sim.url, host.listener.url))
    app.exec_()
    host.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
