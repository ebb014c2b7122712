"""The gateway's desktop window over one connection: session, catalogue, the purchase form, the
purchases' table with its status filter and Cek ulang, the console, and the totals. It lives on the
GUI thread; the work runs on the host's worker threads (login on a DekoConnectonThread)."""
import datetime
import html

from PySide2.QtCore import QTimer, Qt, Signal, Slot
from PySide2.QtGui import QFont
from PySide2.QtWidgets import (QApplication, QDialog, QGroupBox, QHBoxLayout, QLabel, QLineEdit, QMainWindow,
                               QMessageBox, QPlainTextEdit, QProgressBar, QSplitter, QTableWidgetItem, QVBoxLayout,
                               QWidget)

from apps.deko.libs.utils.tools import remove_html_tags
from demo.common import rupiah
from demo.dialogs import OtpDialog, on_gui_thread
from demo.model import summary
from demo.panels import CataloguePanel, PurchasesPanel, SimulatorPanel, boxed, button
from demo.purchases import QUEUED

LEVEL_COLOURS = {"default": "#24292f", "sukses": "#1a7f37", "warning": "#9a6700", "gagal": "#cf222e"}
LONG_QUEUE = 5  # open purchases from which the progress bar shows


class HostWindow(QMainWindow):
    login_finished = Signal(object)
    balance_shown = Signal(object)
    catalogue_loaded = Signal(list)
    otp_dialog_opened = Signal(object)

    def __init__(self, host):
        QMainWindow.__init__(self)
        self.host, self.sim, self.settings = host, host.sim, host.settings
        self.terminal, self.conn, self.workers, self.flow = host.terminal, host.conn, host.workers, host.flow
        self.catalogue, self.otp_questions, self.balances, self.logins = [], [], [], []
        self.logged_in = self.login_running = self.balance_running = self.catalogue_running = False
        self.in_direct_check = self.closing = False
        self.batch = 0  # purchases since the queue was last empty, for the progress bar
        self.refresh_balance = QTimer(self, singleShot=True, interval=400, timeout=self.check_balance)
        self.setWindowTitle("Deko — gateway pulsa")
        self.resize(1440, 880)
        self.build()
        self.terminal.signals.line.connect(self.show_line)
        self.flow.changed.connect(self.purchase_changed)
        self.flow.added.connect(self.purchase_changed)
        self.flow.ended.connect(self.purchase_ended)
        self.workers.results.arrived.connect(self.close_when_idle)
        self.update_actions()

    # ---- layout ------------------------------------------------------------------------------

    def build(self):
        self.login_button = button("Login", self.login, "Login dengan nomor chip dan kode OTP")
        self.balance_button = button("Cek saldo", self.check_balance)
        self.catalogue_button = button("Tarik produk", self.pull_catalogue, "Katalog dan penawaran terbaik")
        self.offer_number = QLineEdit(self.host.offer_number)
        self.offer_number.setFixedWidth(130)
        self.session_label, self.balance_label = QLabel("Belum login"), QLabel("Saldo -")
        bold = QFont(QApplication.font())
        bold.setBold(True)
        self.balance_label.setFont(bold)
        session = QGroupBox("Sesi")
        row = QHBoxLayout(session)
        for widget in (self.login_button, self.balance_button, self.catalogue_button,
                       QLabel("Penawaran untuk"), self.offer_number):
            row.addWidget(widget)
        row.addStretch(1)
        for widget in (self.session_label, self.balance_label):
            row.addSpacing(16)
            row.addWidget(widget)

        self.simulator = SimulatorPanel(self.sim, self.settings, self.terminal)
        self.expire_button = self.simulator.expire_button
        self.fault_boxes, self.history_box = self.simulator.fault_boxes, self.simulator.history_box

        left = CataloguePanel(self.buy)
        self.catalogue_table, self.product_box = left.catalogue_table, left.product_box
        self.destination, self.count, self.buy_button = left.destination, left.count, left.buy_button
        self.product_box.currentIndexChanged.connect(self.product_chosen)
        self.destination.textChanged.connect(self.update_actions)

        self.purchases = PurchasesPanel(self.flow, self)
        self.model, self.table = self.purchases.model, self.purchases.table

        self.console_pane = QPlainTextEdit(readOnly=True)
        self.console_pane.setMaximumBlockCount(5000)
        self.console_pane.setFont(QFont("DejaVu Sans Mono", 9))
        top = QSplitter(Qt.Horizontal)
        top.addWidget(left)
        top.addWidget(self.purchases)
        top.setSizes([370, 1070])
        body = QSplitter(Qt.Vertical)
        body.addWidget(top)
        body.addWidget(boxed("Konsol", self.console_pane))
        body.setSizes([600, 160])
        central = QWidget()
        column = QVBoxLayout(central)
        row = QHBoxLayout()
        row.addWidget(session, 3)
        row.addWidget(self.simulator, 2)
        column.addLayout(row)
        column.addWidget(body, 1)
        self.setCentralWidget(central)
        self.totals_label, self.progress = QLabel(summary({})), QProgressBar()
        self.progress.setFixedWidth(260)
        self.progress.setVisible(False)
        self.statusBar().addWidget(self.totals_label, 1)
        self.statusBar().addPermanentWidget(self.progress)

    @Slot()
    def update_actions(self, *_):
        """Each button is enabled exactly when what it does can work now."""
        session = self.logged_in and not self.login_running
        self.login_button.setEnabled(not self.login_running)
        self.login_button.setText("Login ulang" if self.logged_in else "Login")
        self.balance_button.setEnabled(session and not self.balance_running)
        self.catalogue_button.setEnabled(session and not self.catalogue_running)
        self.expire_button.setEnabled(session)
        self.buy_button.setEnabled(session and self.product_box.currentIndex() >= 0
                                   and bool(self.destination.text().strip()) and not self.closing)
        self.purchases.update_actions()

    # ---- session ----------------------------------------------------------------------------------

    @Slot()
    def login(self):
        self.login_running = True
        self.session_label.setText("Login...")
        thread = self.conn.get_connection_thread()(self.conn, "login", parent=self)
        thread.setObjectName("deko-login")  # Qt names the thread from it, not from the class
        thread.request_finished.connect(self.logged_in_with)
        thread.request_finished.connect(thread.quit)  # its own event loop runs until then
        thread.finished.connect(self.login_ended)
        self.login_thread = thread  # held until it has ended: a running QThread destroyed aborts the process
        self.update_actions()
        thread.start()

    @Slot()
    def login_ended(self):
        self.login_thread.deleteLater()
        self.login_thread, self.login_running = None, False
        self.update_actions()
        self.login_finished.emit(self.logins[-1] if self.logins else None)
        self.close_when_idle()

    @Slot(object)
    def logged_in_with(self, result):
        ok = result is not None and bool(result.status)
        self.terminal.console(result.pesan if result is not None else "Login gagal", "sukses" if ok else "gagal")
        self.logged_in = ok or self.logged_in
        self.session_label.setText("Login %s" % ("berhasil" if ok else "gagal"))
        self.logins.append(result)
        self.update_actions()
        if ok:
            self.check_balance()

    def ask_otp(self, question):
        """The OTP, asked of the operator in a dialog; runs on the GUI thread, for any thread's login."""
        question.update(shown_on_gui=on_gui_thread(self), in_direct_check=self.in_direct_check)
        self.otp_questions.append(question)
        dialog = OtpDialog(question, self)
        self.otp_dialog_opened.emit(dialog)
        accepted = dialog.exec_() == QDialog.Accepted
        code = dialog.code.text().strip()
        dialog.deleteLater()
        if not accepted:
            self.terminal.console("Login dibatalkan: kode OTP tidak dimasukkan", "warning")
        return code if accepted and code else None

    @Slot()
    def check_balance(self):
        if self.balance_running:
            return
        self.balance_running = True
        self.update_actions()
        self.workers.submit(self.conn.cek_saldo, self.show_balance)

    def check_balance_here(self):
        """The module called on the GUI thread itself, as hosts do; a re-login that a worker has in
        flight, its OTP dialog included, is served while this waits."""
        self.in_direct_check = True
        try:
            saldo = self.conn.cek_saldo()
        finally:
            self.in_direct_check = False
        self.show_balance(saldo, direct=True)

    def show_balance(self, saldo, direct=False):
        self.balance_running = self.balance_running and direct
        self.balances.append(saldo)
        total = saldo.get("Total") if isinstance(saldo, dict) else None
        known = total not in (None, "0")
        if known and not self.logged_in:  # a login of the module's own, on whichever thread
            self.logged_in = True
            self.session_label.setText("Login berhasil")
        self.balance_label.setText("Saldo %s" % rupiah(total) if known else "Saldo -")
        self.balance_label.setToolTip("Diperbarui %s" % datetime.datetime.now().strftime("%H:%M:%S"))
        self.update_actions()
        self.balance_shown.emit(saldo)

    @Slot()
    def pull_catalogue(self):
        self.catalogue_running = True
        self.update_actions()
        self.workers.submit(lambda number=self.offer_number.text().strip(): self.conn.tarik_produk(number),
                            self.catalogue_pulled)

    def catalogue_pulled(self, result):
        self.catalogue_running = False
        entries = list(result.pesan) if getattr(result, "status", False) else []
        if not entries:
            self.terminal.console("Katalog tidak dapat ditarik", "gagal")
        self.catalogue = entries
        self.catalogue_table.setRowCount(len(entries))
        self.product_box.clear()
        for row, entry in enumerate(entries):
            name = remove_html_tags(entry["nama"])
            for column, text in enumerate((entry["tipe"], entry["paketid"], name, rupiah(entry["harga"]))):
                self.catalogue_table.setItem(row, column, QTableWidgetItem(text))
            self.product_box.addItem("%s %s — %s (%s)" % (entry["tipe"], entry["paketid"], name, rupiah(entry["harga"])))
        self.update_actions()
        self.catalogue_loaded.emit(entries)

    # ---- purchases -------------------------------------------------------------------------------

    @Slot(int)
    def product_chosen(self, index):
        if 0 <= index < len(self.catalogue) and self.catalogue[index]["tipe"] == "CRP":
            self.destination.setText(self.offer_number.text().strip())  # the offer is that number's
        self.update_actions()

    def choose(self, paketid, tujuan, count):
        """Fills the purchase form: the catalogue's product ``paketid``, the number, the count."""
        self.product_box.setCurrentIndex([e["paketid"] for e in self.catalogue].index(paketid))
        self.destination.setText(tujuan)
        self.count.setValue(count)

    @Slot()
    def buy(self):
        if not self.open_work():
            self.batch = 0
        made = self.flow.buy(self.catalogue[self.product_box.currentIndex()], self.destination.text(),
                             self.count.value())
        self.batch += len(made)
        self.table.scrollToBottom()

    def open_work(self):
        return self.flow.open_work()

    @Slot(object)
    def purchase_changed(self, _):
        self.totals_label.setText(summary(self.model.totals()))
        still = len(self.open_work())
        self.progress.setVisible(self.batch >= LONG_QUEUE and still > 0)
        self.progress.setRange(0, max(self.batch, 1))
        self.progress.setValue(max(self.batch - still, 0))
        self.progress.setFormat("Antrean: %v dari %m selesai")
        self.update_actions()

    @Slot(object)
    def purchase_ended(self, purchase):
        if purchase.state in ("sukses", "gagal") and self.logged_in:
            self.refresh_balance.start()  # once, after a burst of purchases settles
        self.close_when_idle()

    def show_reply(self, idtrx, text):
        self.model.set_reply(idtrx, text)

    # ---- console and closing ---------------------------------------------------------------------

    @Slot(str, str)
    def show_line(self, text, level):
        self.console_pane.appendHtml('<span style="color:%s">[%s] %-7s %s</span>' % (
            LEVEL_COLOURS.get(level, LEVEL_COLOURS["default"]), datetime.datetime.now().strftime("%H:%M:%S"),
            html.escape(level.upper()), html.escape(text)))

    def busy(self):
        return bool(self.open_work() or self.workers.pending or self.login_running)

    @Slot()
    def close_when_idle(self, *_):
        if self.closing and not self.busy():
            QTimer.singleShot(0, self.close)

    def closeEvent(self, event):
        """Closes at once when nothing runs; else asks first when purchases are open (never dropping
        queued ones silently), and closes once the work has ended."""
        if not self.busy():
            event.accept()
            return
        event.ignore()
        work = self.open_work()
        if self.closing or (work and not self.confirm_close(work)):
            return
        self.closing = True
        self.statusBar().showMessage("Jendela ditutup setelah pekerjaan yang berjalan selesai")
        self.update_actions()

    def confirm_close(self, work):
        queued = sum(1 for p in work if p.state == QUEUED)
        ask = QMessageBox(QMessageBox.Question, "Tutup jendela", "Masih ada %d transaksi berjalan dan %d antri." % (
            len(work) - queued, queued), parent=self)
        ask.setInformativeText("Transaksi yang sudah dikirim selalu ditunggu sampai selesai.")
        wait = ask.addButton("Selesaikan semua, lalu tutup", QMessageBox.AcceptRole)
        cancel = ask.addButton("Batalkan yang antri, lalu tutup", QMessageBox.DestructiveRole) if queued else wait
        ask.addButton("Kembali", QMessageBox.RejectRole)
        ask.exec_()
        if ask.clickedButton() is cancel and queued:
            self.flow.cancel_queued()
        return ask.clickedButton() in (wait, cancel)


