"""The gateway in a desktop window (Qt Widgets), against a simulated Deko provider started inside
this process: the host's GUI thread runs the event loop and the window, its worker threads run the
connection's operations and their results come back to it by signals.

The window:
  Sesi       Login (the OTP the chip received is confirmed in a dialog), Cek saldo, Tarik produk
             (catalogue, with the best offers of one number); the balance is refreshed after the
             login and after purchases settle
  Simulator  Sesi habis (the next request logs in again, through the dialog), lost answers,
             HTTP 503 and slow answers on a share of the purchase requests, a late history
  Katalog    the products with their prices; a double click picks one for the purchase form
  Beli       product, destination number (checked, and written the host's "08" way) and count
  Transaksi  a row per purchase: time, product, number, price, status, message, serial number and
             the reply the terminal received. Statuses: antri, mengirim, menunggu provider (its
             history wait), tertunda (still pending after it: Cek ulang settles it again from the
             history), sukses, gagal, ditolak (no number; the reason on the row), dibatalkan.
             A filter by status; serial numbers copied with the button, the row's menu or Ctrl+C
  Konsol     the terminal's console lines from every thread, coloured by level
The status bar shows the totals in Rupiah and, for a long queue, its progress. Closing with
purchases still open asks first: they finish, or the queued ones are cancelled (each told).

--auto runs a fixed scenario with nobody at the keyboard, prints one line per step and exits: 0
when every step came out as expected, 1 otherwise. --screenshot FILE writes a PNG of the window
at the end. The window opens on the display it is given (DISPLAY or WAYLAND_DISPLAY, or
QT_QPA_PLATFORM); without one, or when Qt cannot start there, one line says so and the command
exits 1. --auto without a display draws off screen (QT_QPA_PLATFORM=offscreen).
"""
import argparse
import faulthandler
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
AUTO_LIMIT = 150  # seconds: a run that hangs longer ends with every thread's stack
PROBE_LIMIT = 20  # seconds for Qt to reach the display
# Qt ends the process (abort, core dump) when its platform cannot start: a child process tries first.
PROBE = "import sys; from PySide2.QtGui import QGuiApplication; QGuiApplication(sys.argv[:1])"

from demo.common import stop  # noqa: E402  (one line on standard error, exit status 1)


NO_SCREEN = "Tidak ada layar (DISPLAY dan WAYLAND_DISPLAY kosong): jalankan di desktop, dengan xvfb-run, atau dengan --auto"


def screen_given():
    return any(os.environ.get(name) for name in ("QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"))


def display_problem():
    """Why the window cannot open on the display it is given, in one line; None when Qt starts there."""
    try:
        probe = subprocess.run([sys.executable, "-c", PROBE], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE, timeout=PROBE_LIMIT)
    except subprocess.TimeoutExpired:
        said = "tidak menjawab dalam %d s" % PROBE_LIMIT
    else:
        if probe.returncode == 0:
            return None
        lines = [line.strip() for line in probe.stderr.decode("utf-8", "replace").splitlines() if line.strip()]
        said = lines[0] if lines else "keluar dengan status %d" % probe.returncode
    where = next("%s=%s" % (name, os.environ[name]) for name in ("QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY")
                 if os.environ.get(name))
    return "Jendela tidak dapat dibuka di %s: Qt tidak dapat dimulai (%s)" % (where, said)


def main(argv=None):
    parser = argparse.ArgumentParser(prog=os.environ.get("DEKO_DEMO_PROG"), description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--auto", action="store_true", help="run the fixed scenario, then exit")
    parser.add_argument("--screenshot", metavar="FILE", help="write a PNG of the window at the end")
    args = parser.parse_args(argv)

    if not screen_given():
        if not args.auto:
            return stop(NO_SCREEN)
        os.environ["QT_QPA_PLATFORM"] = "offscreen"  # nobody watches: drawn off screen
    try:
        from PySide2 import QtWidgets  # noqa: F401  (the window needs it; Qt starts later)
    except ImportError as error:
        return stop("PySide2 dari %s tidak punya QtWidgets (%s): jendela tidak dapat dibuka" % (sys.executable, error))
    if not os.environ.get("XDG_RUNTIME_DIR"):  # Qt makes this one itself, with a warning
        runtime = os.path.join(tempfile.gettempdir(), "runtime-%d" % os.getuid())
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        os.environ["XDG_RUNTIME_DIR"] = runtime
    problem = display_problem()
    if problem:
        return stop(problem)

    from PySide2.QtCore import qInstallMessageHandler
    from PySide2.QtWidgets import QApplication

    from demo import scenario
    from demo.host import Host

    def show_message(kind, context, text):  # the off-screen platform's one remark about dialogs left out
        if "propagateSizeHints" not in text:
            print(text, file=sys.stderr, flush=True)
    qInstallMessageHandler(show_message)
    app = QApplication(sys.argv[:1])
    app.setStyle("Fusion")
    shown = os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY") or app.primaryScreen().name()
    print("Jendela %s (Qt %s)" % ("di luar layar" if app.platformName() == "offscreen" else "di layar " + shown,
                                  app.platformName()), flush=True)
    if args.auto:
        faulthandler.dump_traceback_later(AUTO_LIMIT, exit=True)
        run = scenario.run(app, scenario.FULL, screenshot=args.screenshot)
        return 1 if run.failed() else 0

    host = Host()
    host.window.show()
    host.terminal.console("Simulator: %s, balasan ke terminal: %s" % (host.sim.url, host.listener.url))
    app.exec_()
    if args.screenshot:  # the window as it closed
        host.window.grab().save(args.screenshot, "PNG")
    host.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
