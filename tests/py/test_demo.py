"""The main job, run as a user runs it."""
import io
import os
import shutil
import subprocess
import sys
import time

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_main_job_walks_the_whole_road():
    done = subprocess.run([sys.executable, os.path.join(ROOT, "demo", "main.py")],
                          capture_output=True, text=True, timeout=90)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "10 langkah sesuai, 0 tidak sesuai" in done.stdout
    assert '"tipe": "CRP"' in done.stdout


def test_main_job_stops_at_once_without_a_provider():
    done = subprocess.run([sys.executable, os.path.join(ROOT, "demo", "main.py"), "--provider", "http://127.0.0.1:9"],
                          capture_output=True, text=True, timeout=90)
    assert (done.returncode, done.stdout, done.stderr) == (
        1, "", "Provider http://127.0.0.1:9 tidak dapat dihubungi: koneksi ditolak\n")


# The desktop window -----------------------------------------------------------------------------

@pytest.fixture
def qapp():
    widgets = pytest.importorskip("PySide2.QtWidgets")  # a PySide2 built with QtCore alone has none
    app = widgets.QApplication.instance() or widgets.QApplication([])
    if not isinstance(app, widgets.QApplication):
        pytest.skip("a QCoreApplication of an earlier test runs in this process")
    return app


def screenless(**env):
    """The environment without a display, with ``env``."""
    kept = dict((k, v) for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"))
    kept.update(env)
    return kept


GUI = [sys.executable, os.path.join(ROOT, "demo", "gui.py")]
NO_SCREEN = "Tidak ada layar (DISPLAY dan WAYLAND_DISPLAY kosong): jalankan di desktop, dengan xvfb-run, atau dengan --auto"


@pytest.mark.parametrize("command,env,line", [
    (GUI, {}, NO_SCREEN),
    (["bash", os.path.join(ROOT, "scripts", "demo.sh"), "--gui"], {}, NO_SCREEN),  # before anything is built
    (GUI, {"DISPLAY": ":4711"}, "Jendela tidak dapat dibuka di DISPLAY=:4711: Qt tidak dapat dimulai"
                                " (qt.qpa.xcb: could not connect to display :4711)"),
    (GUI, {"QT_QPA_PLATFORM": "nonesuch"}, "Jendela tidak dapat dibuka di QT_QPA_PLATFORM=nonesuch: Qt tidak dapat"
                                           " dimulai (qt.qpa.plugin: Could not find the Qt platform plugin"
                                           " \"nonesuch\" in \"\")")])
def test_window_without_a_screen_says_so_in_one_line_at_once(command, env, line):
    pytest.importorskip("PySide2.QtWidgets")
    started = time.monotonic()
    done = subprocess.run(command, env=screenless(**env), capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr, done.stdout) == (1, line + "\n", "")  # no abort, no core dump
    assert time.monotonic() - started < 10


@pytest.fixture
def xvfb():
    """A virtual X display of its own (Xvfb picks a free number)."""
    if not shutil.which("Xvfb") or not shutil.which("xwininfo"):
        pytest.skip("no Xvfb or xwininfo (bash scripts/setup.sh installs them)")
    ready, told = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(told), "-screen", "0", "1600x1000x24", "-nolisten", "tcp"],
                              pass_fds=(told,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(told)
    said = b""
    while not said.endswith(b"\n"):  # the whole line: Xvfb ends when it cannot write all of it
        part = os.read(ready, 32)
        assert part, "Xvfb did not start"
        said += part
    os.close(ready)
    display = ":" + said.decode().strip()
    deadline = time.monotonic() + 10
    while subprocess.run(["xwininfo", "-root"], env=screenless(DISPLAY=display), capture_output=True).returncode:
        assert time.monotonic() < deadline, "Xvfb on %s does not answer" % display
        time.sleep(0.1)
    yield display
    server.terminate()
    server.wait(10)


def test_window_opens_on_the_display_it_is_given(xvfb, tmp_path):
    pytest.importorskip("PySide2.QtWidgets")
    log = tmp_path / "out"
    with open(str(log), "w") as out:
        window = subprocess.Popen(GUI, env=screenless(DISPLAY=xvfb), stdout=out, stderr=subprocess.STDOUT)
    try:
        deadline, shown = time.monotonic() + 30, ""
        while "Deko — gateway pulsa" not in shown and time.monotonic() < deadline and window.poll() is None:
            time.sleep(0.2)
            shown = subprocess.run(["xwininfo", "-root", "-tree"], env=screenless(DISPLAY=xvfb),
                                   capture_output=True, text=True).stdout
    finally:
        window.terminate()
        window.wait(10)
    assert '"Deko — gateway pulsa"' in shown, log.read_text()
    assert log.read_text().splitlines()[0] == "Jendela di layar %s (Qt xcb)" % xvfb


def test_window_scenario_settles_every_row_as_the_ledger_says_and_never_freezes(qapp, tmp_path, monkeypatch):
    """The --auto scenario, shorter: a login through the OTP dialog, purchases with faults (a number typed another
    way, one that is no number), the session expired while they run and the module called on the GUI thread during
    the worker's re-login that follows, a purchase left pending settled again with Cek ulang."""
    from demo import scenario

    for name in ("DEKO_PROVIDER_URL", "DEKO_PROVIDER_TIMEOUT"):
        monkeypatch.setenv(name, "")  # the host sets them; put back afterwards
    plan = scenario.Plan(scenario.Settings(provider_timeout=1.0, fault_delay=1.5, history_delay=0.5, seed=3), (
        [("TP10", "0813 0000 0101", 2), (scenario.OFFERS[0], scenario.OFFER_NUMBER, 1), ("X1.5-G 2", "081300000199", 1)],
        [("FRC-KPK1", "+6281300000102", 1), (scenario.OFFERS[1], scenario.OFFER_NUMBER, 1)]), wait=30)
    shot = str(tmp_path / "window.png")
    out = io.StringIO()
    run = scenario.run(qapp, plan, screenshot=shot, out=out)
    window, sim, rows = run.window, run.host.sim, run.host.flow.purchases
    assert run.failed() == [], out.getvalue()

    # Every purchase the provider carried out settled one row with its outcome; the other rows failed or were refused.
    carried = [(e["batchId"], scenario.OUTCOMES[e["outcome"]]) for e in sim.ledger if e["accepted"]]
    assert sorted((p.serial, p.state) for p in rows if p.serial) == sorted(carried)
    assert {p.state for p in rows if not p.serial} <= {"gagal", "ditolak"}
    assert [p.record.tujuan for p in rows if p.typed == "0813 0000 0101"] == ["081300000101"] * 2
    assert [e["fields"]["msisdn"] for e in sim.ledger if e["fields"].get("kodeproduk") == "FRC-KPK1"][:1] == [
        "081300000102"]
    # Each OTP login asked on the GUI thread: the worker's login, the worker's re-login while the GUI thread waited
    # for it inside the module, then the GUI thread's own (its dialog shown directly).
    assert [(q["asked_from_gui"], q["shown_on_gui"], q["in_direct_check"]) for q in window.otp_questions] == [
        (False, True, False), (False, True, True), (True, True, True)]
    assert sim.otp_logins == 3 and run.meter.max_gap < 1.0
    with open(shot, "rb") as png:
        assert png.read(8) == b"\x89PNG\r\n\x1a\n" and os.path.getsize(shot) > 10000


@pytest.fixture
def host(qapp, monkeypatch):
    """The desktop host against its simulated provider, logged in (the OTP the chip received taken as it is)."""
    from demo.host import Host, Settings

    for name in ("DEKO_PROVIDER_URL", "DEKO_PROVIDER_TIMEOUT"):
        monkeypatch.setenv(name, "")
    with open(os.devnull, "w") as quiet:
        made = Host(Settings(provider_timeout=1.0), stream=quiet)
        made.window.show()
        yield made
        made.window.closing = True
        until(qapp, lambda: not made.window.busy())
        made.window.close()
        made.stop()


def until(app, condition, seconds=15):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        app.processEvents()
        time.sleep(0.01)
    return condition()


def answer_dialog(app, button_text):
    """Clicks the button of the next modal dialog whose text starts with ``button_text``."""
    from PySide2.QtCore import QTimer
    from PySide2.QtWidgets import QAbstractButton

    def click():
        dialog = app.activeModalWidget()
        if dialog is None:
            QTimer.singleShot(20, click)
            return
        next(b for b in dialog.findChildren(QAbstractButton) if b.text().startswith(button_text)).click()
    QTimer.singleShot(20, click)


def test_a_cancelled_otp_dialog_is_told_in_the_console(qapp, host):
    answer_dialog(qapp, "Batal")
    host.window.login_button.click()
    assert until(qapp, lambda: host.window.logins and not host.window.login_running)
    result, lines = host.window.logins[0], host.terminal.lines
    assert not result.status and not host.terminal.auth_token
    # The cancel, then the module's own line.
    told = lines.index(("Login dibatalkan: kode OTP tidak dimasukkan", "warning"))
    assert (result.pesan, "gagal") in lines[told + 1:]


@pytest.mark.parametrize("choice,closed,states", [
    ("Selesaikan semua", True, ["sukses"] * 3),
    ("Batalkan yang antri", True, ["sukses", "dibatalkan", "dibatalkan"]),  # each told on its row and in the console
    ("Kembali", False, ["sukses"] * 3)])
def test_closing_with_purchases_open_asks_and_never_drops_one_silently(qapp, host, choice, closed, states):
    window, flow = host.window, host.flow
    window.ask_otp = lambda question: question["received"]
    window.check_balance_here()  # the login, on this thread
    entry = next(e for e in host.conn.tarik_produk("").pesan if e["paketid"] == "TP10")
    host.sim.inject("/purchase", "delay", delay=0.8)  # the first is still on its way when the question is answered
    made = flow.buy(entry, "0813 0000 0101", 3)  # equal purchases go one after another: two wait in the queue
    assert [p.state for p in made] == ["mengirim", "antri", "antri"]
    answer_dialog(qapp, choice)
    window.close()
    assert until(qapp, lambda: not flow.open_work()) and until(qapp, lambda: window.isVisible() != closed, 3)
    assert [p.state for p in made] == states and window.isVisible() != closed
    cancelled = [text for text, level in host.terminal.lines if "dibatalkan (tidak dikirim)" in text]
    assert len(cancelled) == states.count("dibatalkan")
