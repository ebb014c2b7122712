"""The desktop host: a main window over one connection, the terminal that asks the operator for
the OTP, purchases carried through their worker threads, and the simulated provider it runs
against. Everything here lives on the GUI thread; workers reach it only through signals."""
import collections
import datetime
import html
import json
import os
import sys
import time

from PySide2.QtCore import QObject, Qt, QThread, QTimer, Signal, Slot
from PySide2.QtGui import QColor, QFont, QImage
from PySide2.QtWidgets import (QAbstractItemView, QApplication, QCheckBox, QComboBox, QDialog, QDialogButtonBox,
                               QFormLayout, QGridLayout, QGroupBox, QHBoxLayout, QHeaderView, QLabel,
                               QLineEdit, QMainWindow, QPlainTextEdit, QPushButton, QSpinBox, QSplitter,
                               QTableWidget, QTableWidgetItem, QVBoxLayout, QWidget)

from apps.deko.libs.connections.dekoconnection import WaitTransaksiHistoryThread
from apps.deko.libs.connections.hostconnection import HostDekoConnection
from apps.deko.libs.terminal import Terminal
from apps.deko.libs.utils.tools import remove_html_tags
from apps.deko.models.objects.transaksi import Produk, Transaksi
from simulator.listener import TerminalListener
from simulator.provider import PURCHASE_PATHS, ProviderSimulator

CHIP = "081200000001"
PIN = "1234"
OFFER_NUMBER = "081234567801"  # the best offers (CRP) of the catalogue are this number's
LEVEL_COLOURS = {"default": "#24292f", "sukses": "#1a7f37", "warning": "#9a6700", "gagal": "#cf222e"}
STATUS_COLOURS = {"pending": "#fff1c2", "sukses": "#d3f5dc", "gagal": "#ffd7d2", "antri": "#eaeef2"}
FAULTS = (("drop", "Jawaban hilang"), ("http500", "HTTP 503"), ("delay", "Jawaban lambat"))
PURCHASE_COLUMNS = ("#", "Produk", "Tujuan", "Status", "Pesan", "Serial number", "Balasan ke terminal")


class Settings(object):
    """Timings of the provider and of its faults, in seconds.

    A purchase request is hit by each fault that is on with probability ``fault_rate``; a slow
    answer takes ``fault_delay``, past the connection's time-out ``provider_timeout``, so it counts
    as lost. A late history shows a purchase ``history_delay`` after it was carried out: within
    the history lookup's six passes, one second apart, so that a lost answer is still found there."""

    def __init__(self, provider_timeout=3.0, fault_rate=0.2, fault_delay=4.0, history_delay=2.0, seed=None):
        self.provider_timeout = provider_timeout
        self.fault_rate = fault_rate
        self.fault_delay = fault_delay
        self.history_delay = history_delay
        self.seed = seed


def now_utc7():
    """The provider's wall clock (UTC+7), as the history's times are written."""
    return datetime.datetime.now(datetime.timezone(datetime.timedelta(hours=7))).replace(tzinfo=None)


def on_gui_thread(obj):
    return QThread.currentThread() is obj.thread()


def rupiah(value):
    try:
        return "Rp " + "{:,}".format(int(float(value))).replace(",", ".")
    except (TypeError, ValueError):
        return str(value)


# The terminal ------------------------------------------------------------------------------------

class TerminalSignals(QObject):
    """Lives on the GUI thread: console lines come to it from any thread, queued; a worker's OTP
    question comes through a blocking queued call, so that the worker waits for the answer."""

    line = Signal(str, str)
    otp_asked = Signal(object)

    def __init__(self, ask_otp):
        QObject.__init__(self)
        self.ask_otp = ask_otp
        self.otp_asked.connect(self.answer_otp, Qt.BlockingQueuedConnection)

    @Slot(object)
    def answer_otp(self, question):
        question["answer"] = self.ask_otp(question)


class GuiTerminal(Terminal):
    """The terminal of a desktop host: its console lines go to the window, and the OTP is the one
    the operator confirms in a dialog on the GUI thread, whichever thread logs in."""

    def __init__(self, deko_config, provider_url, ask_otp, stream):
        Terminal.__init__(self, deko_config, provider_url=provider_url, stream=stream, otp_wait=1.0)
        self.signals = TerminalSignals(ask_otp)

    def console(self, text, level="default"):
        Terminal.console(self, text, level)
        self.signals.line.emit(" ".join(str(text).splitlines()), str(level))

    def getOtp(self, jam, tanggal):
        question = {"jam": jam, "tanggal": tanggal, "received": Terminal.getOtp(self, jam, tanggal),
                    "asked_from_gui": on_gui_thread(self.signals)}
        if question["asked_from_gui"]:
            # A blocking queued call to one's own thread would wait for ever: the dialog runs here.
            self.signals.answer_otp(question)
        else:
            self.signals.otp_asked.emit(question)
        return question.get("answer")


class OtpDialog(QDialog):
    def __init__(self, question, parent):
        QDialog.__init__(self, parent)
        self.setWindowTitle("Kode OTP")
        self.code = QLineEdit(question["received"] or "")
        self.code.setPlaceholderText("6 angka dari SMS")
        buttons = QDialogButtonBox(QDialogButtonBox.Ok | QDialogButtonBox.Cancel)
        buttons.accepted.connect(self.accept)
        buttons.rejected.connect(self.reject)
        layout = QVBoxLayout(self)
        received = ("Chip %s menerima kode ini (SMS sejak %s %s). Konfirmasi, atau ketik kodenya:"
                    % (CHIP, question["tanggal"], question["jam"]) if question["received"] else
                    "Chip %s belum menerima SMS OTP. Ketik kodenya:" % CHIP)
        layout.addWidget(QLabel(received))
        layout.addWidget(self.code)
        layout.addWidget(buttons)


# The GUI thread's heartbeat ---------------------------------------------------------------------

class GapMeter(QObject):
    """A timer on the GUI thread that notes the time between its ticks: a long gap is a time the
    thread did not process its events (the window froze)."""

    new_longest = Signal(float)

    def __init__(self, parent, interval_ms=20):
        QObject.__init__(self, parent)
        self.ticks = collections.deque(maxlen=30000)  # (end of the gap, its length) in time.monotonic() seconds: 10 minutes
        self.max_gap = 0.0
        self.timer = QTimer(self)
        self.timer.setInterval(interval_ms)
        self.timer.timeout.connect(self.tick)
        self.last = None

    def start(self):
        self.last = time.monotonic()
        self.timer.start()

    @Slot()
    def tick(self):
        now = time.monotonic()
        gap, self.last = now - self.last, now
        self.ticks.append((now, gap))
        if gap > self.max_gap:
            self.max_gap = gap
            self.new_longest.emit(gap)

    def longest(self, start, end):
        """The longest gap that overlaps [start, end]."""
        gaps = [gap for at, gap in self.ticks if at >= start and at - gap <= end]
        return max(gaps) if gaps else 0.0


# Purchases ------------------------------------------------------------------------------------------

class Purchase(QObject):
    """One purchase on its way: checked and bought on worker threads, then, when it stays pending,
    settled on a WaitTransaksiHistoryThread. Its row in the window shows where it is."""

    ended = Signal(object)

    def __init__(self, window, index, entry, tujuan):
        QObject.__init__(self, window)
        self.window = window
        self.index = index
        self.record = Transaksi(Produk.dari_katalog(entry), tujuan, pin=PIN)
        self.key = (entry["tipe"], entry["paketid"], tujuan)
        self.step = "antri"  # what it waits for; "" once it is over
        self.reply = ""
        self.sent_at = None
        self.waited = False  # settled on a WaitTransaksiHistoryThread

    def status(self):
        if self.step == "antri":
            return "antri"
        return "pending" if self.step else (self.record.status or "gagal")

    def advance(self, step):
        self.step = step
        self.window.show_purchase(self)
        if not step:
            self.ended.emit(self)

    def start(self):
        self.window.run_on_worker("cek", self.record, done=self.checked)
        self.advance("Cek produk...")

    @Slot(object)
    def checked(self, _):
        if self.record.status != "sukses":
            self.advance("")
            return
        self.sent_at = now_utc7()
        self.record.status = ""  # the check's; the purchase sets its own
        self.window.run_on_worker("transaksi", self.record, done=self.bought)
        self.advance("Mengirim transaksi...")

    @Slot(object)
    def bought(self, _):
        if self.record.status != "pending":
            self.advance("")
            return
        waiter = WaitTransaksiHistoryThread(self.window.conn, None, self.record, self.sent_at,
                                            self.record.inq.harga, parent=self)
        waiter.finished.connect(self.settled)
        self.waited = True
        self.window.track(waiter)
        waiter.start()
        self.advance("Menunggu history: %s" % self.record.pesan)

    @Slot()
    def settled(self):
        self.advance("")


# The window ------------------------------------------------------------------------------------

class HostWindow(QMainWindow):
    """The gateway's desktop window over one connection to the provider."""

    login_finished = Signal(object)
    balance_shown = Signal(object, str)  # the balance, and where it was checked
    catalogue_loaded = Signal(list)
    otp_dialog_opened = Signal(object)
    purchase_ended = Signal(object)

    def __init__(self, host):
        QMainWindow.__init__(self)
        self.host = host
        self.sim = host.sim
        self.settings = host.settings
        self.terminal = host.terminal
        self.conn = host.conn
        self.busy = 0  # worker threads not ended yet
        self.purchases = []
        self.queues = {}  # equal purchases (product and number) wait for the one before to settle
        self.catalogue = []
        self.otp_questions = []
        self.balances = []  # (balance, where it was checked)
        self.logins = []  # what each login gave
        self.in_direct_check = False
        self.closing = False
        self.screenshot = None  # a PNG of the window is written there as it closes
        self.meter = GapMeter(self)
        self.setWindowTitle("Deko — gateway pulsa (simulator %s)" % self.sim.url)
        self.resize(1360, 860)
        self.build()
        self.terminal.signals.line.connect(self.show_line)
        host.replies.received.connect(self.show_reply)
        self.meter.new_longest.connect(self.show_gap)
        self.meter.start()

    # ---- layout ------------------------------------------------------------------------------

    def build(self):
        self.login_button = QPushButton("Login")
        self.balance_button = QPushButton("Cek saldo")
        self.balance_button.setToolTip("Di worker thread (DekoConnectonThread)")
        self.direct_button = QPushButton("Cek saldo di thread GUI")
        self.direct_button.setToolTip("Memanggil modul langsung dari thread GUI")
        self.catalogue_button = QPushButton("Tarik produk")
        self.offer_number = QLineEdit(OFFER_NUMBER)
        self.offer_number.setFixedWidth(130)
        self.offer_number.setToolTip("Nomor yang penawaran terbaiknya (CRP) ikut ditarik")
        self.expire_button = QPushButton("Sesi habis")
        self.expire_button.setToolTip("Simulator menghapus sesi: transaksi berikutnya login lagi")
        self.balance_label = QLabel("Saldo -")
        self.session_label = QLabel("Belum login")
        bold = QFont(QApplication.font())
        bold.setBold(True)
        for label in (self.balance_label, self.session_label):
            label.setFont(bold)
        self.login_button.clicked.connect(self.login)
        self.balance_button.clicked.connect(self.check_balance)
        self.direct_button.clicked.connect(self.check_balance_here)
        self.catalogue_button.clicked.connect(self.pull_catalogue)
        self.expire_button.clicked.connect(self.expire_session)

        session = QGroupBox("Sesi")
        row = QHBoxLayout(session)
        for widget in (self.login_button, self.balance_button, self.direct_button, self.catalogue_button,
                       QLabel("Penawaran untuk"), self.offer_number, self.expire_button):
            row.addWidget(widget)
        row.addStretch(1)
        row.addWidget(self.session_label)
        row.addSpacing(20)
        row.addWidget(self.balance_label)

        faults = QGroupBox("Gangguan simulator (pembelian)")
        row = QHBoxLayout(faults)
        self.fault_boxes = {}
        for kind, title in FAULTS:
            self.fault_boxes[kind] = QCheckBox(title)
        self.history_box = QCheckBox("History terlambat %g s" % self.settings.history_delay)
        self.fault_boxes["delay"].setText("Jawaban lambat %g s" % self.settings.fault_delay)
        for box in list(self.fault_boxes.values()) + [self.history_box]:
            box.toggled.connect(self.apply_faults)
            row.addWidget(box)
        row.addStretch(1)

        self.catalogue_table = table(("Tipe", "Paket", "Nama", "Harga"), (60, 100, 0, 90))
        self.catalogue_table.itemDoubleClicked.connect(self.choose_product)
        self.product_box = QComboBox()
        self.destination = QLineEdit("081300000101")
        self.count = QSpinBox()
        self.count.setRange(1, 50)
        self.buy_button = QPushButton("Beli")
        self.buy_button.clicked.connect(self.buy)
        self.product_box.currentIndexChanged.connect(self.product_chosen)
        form = QGroupBox("Beli")
        fields = QFormLayout(form)
        fields.addRow("Produk", self.product_box)
        fields.addRow("Nomor tujuan", self.destination)
        fields.addRow("Jumlah", self.count)
        fields.addRow(self.buy_button)
        left = QWidget()
        column = QVBoxLayout(left)
        column.setContentsMargins(0, 0, 0, 0)
        column.addWidget(boxed("Katalog", self.catalogue_table), 1)
        column.addWidget(form)

        self.purchase_table = table(PURCHASE_COLUMNS, (30, 125, 110, 60, 0, 135, 0))
        self.console_pane = QPlainTextEdit()
        self.console_pane.setReadOnly(True)
        self.console_pane.setMaximumBlockCount(5000)
        self.console_pane.setFont(QFont("DejaVu Sans Mono", 9))

        top = QSplitter(Qt.Horizontal)
        top.addWidget(left)
        top.addWidget(boxed("Transaksi", self.purchase_table))
        top.setSizes([440, 920])
        body = QSplitter(Qt.Vertical)
        body.addWidget(top)
        body.addWidget(boxed("Konsol", self.console_pane))
        body.setSizes([580, 170])
        central = QWidget()
        grid = QGridLayout(central)
        grid.addWidget(session, 0, 0)
        grid.addWidget(faults, 1, 0)
        grid.addWidget(body, 2, 0)
        grid.setRowStretch(2, 1)
        self.setCentralWidget(central)
        self.tally_label = QLabel()
        self.gap_label = QLabel()
        self.statusBar().addPermanentWidget(self.tally_label)
        self.statusBar().addPermanentWidget(self.gap_label)

    # ---- worker threads --------------------------------------------------------------------------

    def run_on_worker(self, func, *args, done):
        """conn.<func>(*args) on a DekoConnectonThread; its result goes to ``done`` on this thread."""
        thread = self.conn.get_connection_thread()(self.conn, func, *args, parent=self)
        thread.request_finished.connect(done)
        thread.request_finished.connect(thread.quit)  # its own event loop runs until then
        self.track(thread)
        thread.start()

    def track(self, thread):
        self.busy += 1
        thread.finished.connect(self.thread_ended)

    @Slot()
    def thread_ended(self):
        self.busy -= 1
        if self.closing and not self.busy:
            self.close()

    # ---- session ----------------------------------------------------------------------------------

    @Slot()
    def login(self):
        self.session_label.setText("Login...")
        self.run_on_worker("login", done=self.logged_in)

    @Slot(object)
    def logged_in(self, result):
        ok = result is not None and bool(result.status)
        pesan = result.pesan if result is not None else "Login gagal (lihat konsol)"
        self.terminal.console(pesan, "sukses" if ok else "gagal")
        self.session_label.setText("Login berhasil" if ok else "Login gagal")
        self.logins.append(result)
        self.login_finished.emit(result)

    def ask_otp(self, question):
        """The OTP, asked of the operator in a dialog; runs on the GUI thread, for any thread's login."""
        question.update(shown_on_gui=on_gui_thread(self), in_direct_check=self.in_direct_check)
        self.otp_questions.append(question)
        if self.closing:
            return None
        dialog = OtpDialog(question, self)
        self.otp_dialog_opened.emit(dialog)
        accepted = dialog.exec_() == QDialog.Accepted
        code = dialog.code.text().strip()
        dialog.deleteLater()
        return code if accepted and code else None

    @Slot()
    def check_balance(self):
        self.run_on_worker("cek_saldo", done=self.balance_checked)

    @Slot(object)
    def balance_checked(self, saldo):
        self.show_balance(saldo, "worker thread")

    @Slot()
    def check_balance_here(self):
        """The module called on the GUI thread itself, as hosts do; a re-login that another thread
        has in flight, its OTP dialog included, is served while this waits."""
        self.direct_button.setEnabled(False)
        self.in_direct_check = True
        started = time.monotonic()
        try:
            saldo = self.conn.cek_saldo()
        finally:
            self.in_direct_check = False
            self.direct_button.setEnabled(True)
        self.show_balance(saldo, "thread GUI, %.1f s" % (time.monotonic() - started))

    def show_balance(self, saldo, where):
        self.balances.append((saldo, where))
        total = saldo.get("Total") if isinstance(saldo, dict) else None
        self.balance_label.setText("Saldo %s (%s)" % (rupiah(total) if total not in (None, "0") else "-", where))
        self.balance_shown.emit(saldo, where)

    @Slot()
    def pull_catalogue(self):
        self.run_on_worker("tarik_produk", self.offer_number.text().strip(), done=self.catalogue_pulled)

    @Slot(object)
    def catalogue_pulled(self, result):
        entries = list(result.pesan) if result is not None and result.status else []
        if not entries:
            self.terminal.console("Katalog tidak dapat ditarik", "gagal")
        self.catalogue = entries
        self.catalogue_table.setRowCount(len(entries))
        self.product_box.clear()
        for row, entry in enumerate(entries):
            name = remove_html_tags(entry["nama"])
            set_row(self.catalogue_table, row, (entry["tipe"], entry["paketid"], name, rupiah(entry["harga"])))
            self.product_box.addItem("%s %s — %s" % (entry["tipe"], entry["paketid"], name))
        self.catalogue_loaded.emit(entries)

    @Slot()
    def expire_session(self):
        self.sim.expire_all_tokens()
        self.terminal.console("Simulator: semua sesi kedaluwarsa", "warning")

    @Slot()
    def apply_faults(self):
        s = self.settings
        rates = dict((kind, s.fault_rate) for kind, box in self.fault_boxes.items() if box.isChecked())
        if rates:
            self.sim.random_faults(rates=rates, paths=PURCHASE_PATHS, delay=s.fault_delay, seed=s.seed)
        else:
            self.sim.clear_faults()
        self.sim.history_delay = s.history_delay if self.history_box.isChecked() else 0.0
        on = [box.text() for box in list(self.fault_boxes.values()) + [self.history_box] if box.isChecked()]
        self.terminal.console("Simulator: gangguan %s" % (", ".join(on) if on else "mati"), "warning")

    # ---- purchases -------------------------------------------------------------------------------

    @Slot(object)
    def choose_product(self, item):
        self.product_box.setCurrentIndex(item.row())

    @Slot(int)
    def product_chosen(self, index):
        if 0 <= index < len(self.catalogue) and self.catalogue[index]["tipe"] == "CRP":
            self.destination.setText(self.offer_number.text().strip())  # the offer is that number's

    def choose(self, paketid, tujuan, count):
        """Fills the purchase form: the catalogue's product ``paketid``, the number, the count."""
        self.product_box.setCurrentIndex([e["paketid"] for e in self.catalogue].index(paketid))
        self.destination.setText(tujuan)
        self.count.setValue(count)

    @Slot()
    def buy(self):
        index, tujuan = self.product_box.currentIndex(), self.destination.text().strip()
        if index < 0 or not tujuan:
            self.terminal.console("Pilih produk dan isi nomor tujuan", "gagal")
            return
        for _ in range(self.count.value()):
            purchase = Purchase(self, len(self.purchases) + 1, self.catalogue[index], tujuan)
            purchase.ended.connect(self.purchase_over)
            self.purchases.append(purchase)
            self.purchase_table.insertRow(purchase.index - 1)
            queue = self.queues.setdefault(purchase.key, [])
            queue.append(purchase)
            if len(queue) == 1:
                purchase.start()
            else:
                self.show_purchase(purchase)
        self.purchase_table.scrollToBottom()

    @Slot(object)
    def purchase_over(self, purchase):
        queue = self.queues[purchase.key]
        queue.remove(purchase)
        if queue and not self.closing:
            queue[0].start()
        self.purchase_ended.emit(purchase)

    def show_purchase(self, purchase):
        rec, status = purchase.record, purchase.status()
        pesan = {"": rec.pesan, "antri": "Menunggu pembelian yang sama sebelumnya"}.get(purchase.step, purchase.step)
        set_row(self.purchase_table, purchase.index - 1, (
            str(purchase.index), "%s %s" % (rec.produk.tipe, rec.produk.paketid), rec.tujuan, status,
            remove_html_tags(str(pesan)), rec.serialnumber or "", purchase.reply))
        for column in (4, 6):  # long texts: whole in the tooltip
            item = self.purchase_table.item(purchase.index - 1, column)
            item.setToolTip(item.text())
        self.purchase_table.item(purchase.index - 1, 3).setBackground(QColor(STATUS_COLOURS.get(status, "#ffffff")))
        statuses = [p.status() for p in self.purchases]
        self.tally_label.setText("Transaksi: %s   " % ", ".join(
            "%d %s" % (statuses.count(s), s) for s in ("sukses", "gagal", "pending", "antri") if s in statuses))

    @Slot(str)
    def show_reply(self, text):
        try:
            reply = json.loads(text)
        except ValueError:
            reply = {}
        for purchase in self.purchases:
            if purchase.record.idtrx == reply.get("idtrx"):
                purchase.reply = "%s: %s" % (reply.get("status"), remove_html_tags(str(reply.get("pesan"))))
                self.show_purchase(purchase)

    # ---- console and status ------------------------------------------------------------------------

    @Slot(str, str)
    def show_line(self, text, level):
        self.console_pane.appendHtml('<span style="color:%s">[%s] %-7s %s</span>' % (
            LEVEL_COLOURS.get(level, LEVEL_COLOURS["default"]), datetime.datetime.now().strftime("%H:%M:%S"),
            html.escape(level.upper()), html.escape(text)))

    @Slot(float)
    def show_gap(self, longest):
        self.gap_label.setText("Thread GUI: jeda terpanjang %d ms" % round(longest * 1000))

    def closeEvent(self, event):
        if self.busy:  # a worker may still need this thread (its OTP dialog, its results)
            self.closing = True
            self.statusBar().showMessage("Menunggu %d pekerjaan selesai..." % self.busy)
            event.ignore()
            return
        self.meter.timer.stop()
        if self.screenshot:
            save_picture(self, self.screenshot)
        event.accept()


def save_picture(widget, path):
    """A PNG of the widget as it shows now, in 256 colours: small enough to keep beside the code."""
    picture = widget.grab().toImage().convertToFormat(QImage.Format_Indexed8, Qt.ThresholdDither | Qt.AvoidDither)
    return picture.save(path, "PNG")


def table(columns, widths):
    """A read-only table; a column of width 0 shares the room left."""
    view = QTableWidget(0, len(columns))
    view.setHorizontalHeaderLabels(list(columns))
    view.verticalHeader().setVisible(False)
    view.verticalHeader().setDefaultSectionSize(20)
    view.setEditTriggers(QAbstractItemView.NoEditTriggers)
    view.setSelectionBehavior(QAbstractItemView.SelectRows)
    view.setWordWrap(False)
    header = view.horizontalHeader()
    for column, width in enumerate(widths):
        if width:
            view.setColumnWidth(column, width)
        else:
            header.setSectionResizeMode(column, QHeaderView.Stretch)
    return view


def set_row(view, row, values):
    for column, value in enumerate(values):
        item = view.item(row, column)
        if item is None:
            view.setItem(row, column, QTableWidgetItem(str(value)))
        else:
            item.setText(str(value))


def boxed(title, widget):
    box = QGroupBox(title)
    QVBoxLayout(box).addWidget(widget)
    return box


# The host: provider, terminal, connection, window ---------------------------------------------------

class ReplySignals(QObject):
    received = Signal(str)


class Host(object):
    """The simulated provider and the terminal's reply listener (both in this process), the
    terminal, the connection and its window. ``stream`` gets the console lines too."""

    def __init__(self, settings=None, stream=None):
        self.settings = settings or Settings()
        self.sim = ProviderSimulator(port=0).start()
        self.replies = ReplySignals()
        self.listener = TerminalListener(on_reply=self.replies.received.emit).start()
        os.environ["DEKO_PROVIDER_URL"] = self.sim.url
        os.environ["DEKO_PROVIDER_TIMEOUT"] = str(self.settings.provider_timeout)
        QApplication.setFont(QFont("DejaVu Sans", 9))
        self.terminal = GuiTerminal({"nomor": CHIP, "idretail": "RTL001", "nomor_transaksi": "TRX001",
                                     "reply_ip": "127.0.0.1", "reply_port": self.listener.port},
                                    self.sim.url, self.ask_otp, stream if stream is not None else sys.stdout)
        self.conn = HostDekoConnection(None, self.terminal)
        self.window = HostWindow(self)

    def ask_otp(self, question):
        return self.window.ask_otp(question)

    def stop(self):
        self.listener.stop()
        self.sim.stop()
