"""The window driven with nobody at the keyboard: login through the OTP dialog, the balance it
refreshes, catalogue, purchases in two waves with the simulator's faults on (a number typed another
way, one that is no number), the session expired while they run, a balance check on the GUI thread
itself during the re-login that follows, a purchase the provider leaves pending settled again with
Cek ulang once it finishes it, the rows checked against the provider's ledger. One line per step,
as the console demo prints them, with the GUI thread's longest gap."""
import collections
import datetime
import os
import sys
import time

import shiboken2
from PySide2.QtCore import QObject, Qt, QTimer, Signal, Slot

from demo.common import CHIP, rupiah
from demo.host import OFFER_NUMBER, Host, Settings
from demo.model import LABELS, STATUS
from demo.panels import save_picture
from demo.purchases import OPEN, REFUSED, STALLED, SUKSES
from simulator.catalogue import offers_for

OUTCOMES = {"SUKSES": SUKSES, "GAGAL": "gagal", "PENDING": STALLED}  # the provider's outcome -> the row's state
LEFT_PENDING = "081300000198"  # the provider leaves a purchase to a number ending in 98 pending
NO_NUMBER = "0813-0000-01O1"  # a letter O for a zero


class Plan(object):
    """What the scenario buys, in two waves (the session expires between them): each a list of
    (catalogue paketid, number as typed, count); the provider fails a purchase to a number ending
    in 99 after carrying it out. ``wait`` bounds each step, in seconds."""

    def __init__(self, settings, waves, wait=60, otp_answer_ms=300):
        self.settings = settings
        self.waves = waves
        self.wait = wait
        self.otp_answer_ms = otp_answer_ms


OFFERS = [offer["offerId"] for offer in offers_for(OFFER_NUMBER)]  # the catalogue's best offers (CRP)
FULL = Plan(Settings(fault_rate=0.15, seed=7), (
    [("TP10", "081300000101", 2), ("X1.5-G 2", "081300000199", 1), ("FRC-KPK1", "0813-0000-0102", 2),
     (OFFERS[0], OFFER_NUMBER, 1), (OFFERS[1], OFFER_NUMBER, 1), ("SPV5", "081300000103", 1),
     ("TP5", "+62 813 0000 0104", 2)],
    [("TP25", "081300000105", 2), ("DP 10GB", "081300000106", 1), (OFFERS[2], OFFER_NUMBER, 1),
     (OFFERS[0], OFFER_NUMBER, 1), ("TPA100", "081300000299", 1), ("FRC 7D", "081300000107", 2),
     ("NT1", "081300000108", 2)]))


class GapMeter(QObject):
    """A timer on the GUI thread that notes the time between its ticks: a long gap is a time the
    thread did not process its events (the window froze)."""

    def __init__(self, parent, interval_ms=20):
        QObject.__init__(self, parent)
        self.ticks = collections.deque(maxlen=30000)  # (end of the gap, its length), monotonic seconds
        self.max_gap = 0.0
        self.last = time.monotonic()
        self.timer = QTimer(self, interval=interval_ms, timeout=self.tick)
        self.timer.start()

    @Slot()
    def tick(self):
        now = time.monotonic()
        gap, self.last = now - self.last, now
        self.ticks.append((now, gap))
        self.max_gap = max(self.max_gap, gap)

    def longest(self, start, end):
        """The longest gap that overlaps [start, end]."""
        return max([gap for at, gap in self.ticks if at >= start and at - gap <= end] or [0.0])


def disagreements(purchases, ledger):
    """Where the rows disagree with the provider's ledger: every purchase it carried out settles
    exactly one row, with its outcome, and every other row failed or was refused."""
    carried = sorted((e["batchId"], OUTCOMES.get(e["outcome"], e["outcome"])) for e in ledger if e["accepted"])
    settled = sorted((p.serial, p.state) for p in purchases if p.serial)
    found = ["baris #%d %s tanpa serial number" % (p.index, p.state)
             for p in purchases if not p.serial and p.state not in ("gagal", REFUSED)]
    if settled != carried:
        found.append("baris %s, ledger %s" % (settled, carried))
    return found


class Scenario(QObject):
    """Runs ``script`` on the window's event loop: the script yields a condition, and goes on once
    it holds, looked at again at each signal of the window and each console line; a condition
    that does not hold within the plan's ``wait`` ends the run."""

    finished = Signal()

    def __init__(self, host, plan, out):
        QObject.__init__(self)
        self.host, self.window, self.plan, self.out = host, host.window, plan, out
        self.results, self.lines = [], []  # the console's lines, as they came to the GUI thread
        self.started = time.monotonic()
        self.until, self.running = None, False
        self.meter = GapMeter(self)
        self.deadline = QTimer(self, singleShot=True, timeout=self.timed_out)
        self.window.otp_dialog_opened.connect(self.answer_otp)
        host.terminal.signals.line.connect(self.take_line)
        for signal in (self.window.login_finished, self.window.balance_shown, self.window.catalogue_loaded,
                       host.flow.changed):
            signal.connect(self.check)
        self.steps = self.script()

    def failed(self):
        return [title for title, ok in self.results if not ok]

    def expect(self, title, ok, detail=""):
        ok = bool(ok)
        self.results.append((title, ok))
        text = "%s: %s%s" % (title, "OK" if ok else "TIDAK SESUAI", " (%s)" % detail if detail else "")
        level = "sukses" if ok else "gagal"
        self.host.terminal.console(text, level)
        print("[%s] %-7s %s" % (datetime.datetime.now().strftime("%H:%M:%S"), level.upper(), text),
              file=self.out, flush=True)
        return ok

    # ---- the driver -----------------------------------------------------------------------------

    @Slot()
    def start(self):
        self.advance()

    def advance(self):
        self.deadline.stop()
        self.running = True
        try:
            self.until = self.steps.send(None)
        except StopIteration:
            self.until = None
        except Exception as error:  # a step that could not even run is a failed run
            self.until = None
            self.expect("Langkah berjalan", False, "%s: %s" % (type(error).__name__, error))
        finally:
            self.running = False
        if self.until is None:
            self.finished.emit()
            return
        self.deadline.start(self.plan.wait * 1000)
        self.check()

    @Slot()
    def check(self, *_):
        if not self.running and self.until is not None and self.until():
            self.until = None
            self.advance()

    @Slot(str, str)
    def take_line(self, text, level):
        self.lines.append(text)
        self.check()

    @Slot()
    def timed_out(self):
        self.until = None
        waiting = "scenario.py baris %d" % self.steps.gi_frame.f_lineno
        self.steps.close()
        self.expect("Langkah selesai dalam %d s" % self.plan.wait, False, "menunggu di " + waiting)
        self.finished.emit()

    @Slot(object)
    def answer_otp(self, dialog):
        """Types the code the chip received, as read from the simulator's inbox, and confirms."""
        def confirm():
            dialog.code.setText(self.host.sim.inbox(CHIP)[-1]["otp"])
            dialog.accept()
        QTimer.singleShot(self.plan.otp_answer_ms, confirm)

    # ---- the steps --------------------------------------------------------------------------------

    def balance_is(self, total=None):
        saldo = self.window.balances[-1] if self.window.balances else None
        shown = saldo.get("Total", "0") if isinstance(saldo, dict) else "0"
        return shown != "0" and (total is None or shown == str(total)), rupiah(shown)

    def submit(self, wave):
        for paketid, tujuan, count in wave:
            self.window.choose(paketid, tujuan, count)
            self.window.buy_button.click()

    def script(self):
        w, sim, flow, asked = self.window, self.host.sim, self.host.flow, self.window.otp_questions
        rows = flow.purchases

        w.login_button.click()
        yield lambda: w.logins and w.balances and not w.login_running
        result = w.logins[-1]
        self.expect("Login dengan OTP lewat dialog", result is not None and result.status and len(asked) == 1
                    and not asked[0]["asked_from_gui"] and asked[0]["shown_on_gui"],
                    "diminta dari worker thread, dialog di thread GUI")
        self.expect("Saldo diperbarui setelah login", *self.balance_is(sim.balance))

        w.catalogue_button.click()
        yield lambda: w.catalogue
        kinds = sorted(set(e["tipe"] for e in w.catalogue))
        self.expect("Katalog", {"PULSA", "CRP"} <= set(kinds), "%d produk: %s" % (len(w.catalogue), ", ".join(kinds)))

        for box in list(w.fault_boxes.values()) + [w.history_box]:
            box.setChecked(True)
        seen = len(self.lines)
        self.submit(self.plan.waves[0] + [("TP10", NO_NUMBER, 1)])
        refused = [p for p in rows if p.typed == NO_NUMBER]
        self.expect("Nomor yang bukan nomor ditolak sebelum dikirim", [p.state for p in refused] == [REFUSED]
                    and "bukan nomor" in refused[0].message, refused[0].message if refused else "tanpa baris")
        yield lambda: "Mengirim Transaksi..." in self.lines[seen:]
        seen = len(self.lines)
        w.expire_button.click()  # while the first wave runs; the second meets the expired session
        self.submit(self.plan.waves[1])
        yield lambda: "Login Habis. Mencoba Login Kembali..." in self.lines[seen:]
        # A worker logs in again, and will ask this thread for the OTP: the module is called here meanwhile.
        relogin = time.monotonic()
        w.check_balance_here()
        gap = self.meter.longest(relogin, time.monotonic())
        ok, detail = self.balance_is()
        self.expect("Cek saldo di thread GUI selama login ulang worker", ok and len(asked) == 2
                    and not asked[1]["asked_from_gui"] and asked[1]["shown_on_gui"] and asked[1]["in_direct_check"],
                    "%s; dialog OTP di thread GUI selama menunggu; jeda terpanjang %d ms" % (detail, gap * 1000))

        yield lambda: not flow.open_work()
        for box in list(w.fault_boxes.values()) + [w.history_box]:
            box.setChecked(False)
        self.submit([("TP10", LEFT_PENDING, 1)])
        pending = rows[-1]
        yield lambda: pending.state not in OPEN
        self.expect("Pending setelah menunggu history: tertunda", pending.state == STALLED, pending.message)
        sim.complete_pending()  # the provider finishes it; the operator checks again
        w.purchases.select(pending)
        enabled = w.purchases.recheck_button.isEnabled()
        w.purchases.recheck_button.click()
        yield lambda: pending.state not in OPEN
        self.expect("Cek ulang", enabled and pending.state == SUKSES and pending.serial, pending.message)
        w.table.clearSelection()

        self.submit([("TP5", LEFT_PENDING, 1)])  # one more left pending, for the operator to check again later
        yield lambda: rows[-1].state not in OPEN
        problems = disagreements(rows, sim.ledger)
        shown = [w.model.index(row, STATUS).data() for row in range(w.model.rowCount())]
        if shown != [LABELS[p.state] for p in rows]:
            problems.append("tabel menunjukkan %s" % shown)
        states = [p.state for p in rows]
        typed = [p for p in rows if p.typed != p.tujuan and p.state != REFUSED]
        faults = sum(1 for e in sim.ledger if e["fault"])
        self.expect("%d pembelian sesuai ledger simulator" % len(states), not problems and faults,
                    "; ".join(problems) or "%d sukses, %d gagal, %d tertunda, %d ditolak; %d ditulis lain (%s); "
                    "%d terkena gangguan" % (states.count(SUKSES), states.count("gagal"), states.count(STALLED),
                                            states.count(REFUSED), len(typed),
                       ", ".join(sorted(set("%s -> %s" % (p.typed, p.tujuan) for p in typed))), faults))
        yield lambda: self.balance_is(sim.balance)[0] and not w.balance_running
        self.expect("Saldo diperbarui setelah transaksi selesai", *self.balance_is(sim.balance))

        w.expire_button.click()
        w.check_balance_here()  # nobody else logs in: this thread does, its dialog shown directly
        ok, detail = self.balance_is()
        self.expect("Login ulang di thread GUI", ok and len(asked) == 3 and asked[2]["asked_from_gui"]
                    and asked[2]["shown_on_gui"], detail)
        self.expect("Thread GUI tidak pernah berhenti lebih dari 1 s", self.meter.max_gap < 1.0,
                    "jeda terpanjang %d ms; %d login OTP" % (self.meter.max_gap * 1000, sim.otp_logins))


def run(app, plan, screenshot=None, out=sys.stdout):
    """The scenario in a new window on ``app``'s event loop, until the window has closed."""
    with open(os.devnull, "w") as quiet:  # the console lines show in the window only
        host = Host(plan.settings, stream=quiet)
        scenario = Scenario(host, plan, out)

        def finish():
            if screenshot:
                saved = save_picture(host.window, screenshot)
                scenario.expect("Gambar jendela", saved and os.path.getsize(screenshot) > 0, screenshot)
            failed = scenario.failed()
            print("\n%d langkah sesuai, %d tidak sesuai (%.1f s)" % (
                len(scenario.results) - len(failed), len(failed), time.monotonic() - scenario.started),
                file=out, flush=True)
            host.flow.cancel_queued()  # a step that timed out may leave some; never dropped silently
            host.window.closing = True
            host.window.close_when_idle()  # once every worker has ended

        scenario.finished.connect(finish, Qt.QueuedConnection)  # after the window has laid out its last texts
        host.window.show()
        QTimer.singleShot(0, scenario.start)
        app.exec_()
        host.stop()
        shiboken2.delete(scenario)  # its results stay readable
    return scenario
