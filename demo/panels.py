"""Parts of the window: the purchases' panel (the table over the flow's model, its status filter,
Cek ulang and copying), the catalogue with the purchase form, the simulator's controls, and small
layout helpers."""
from PySide2.QtCore import Qt, Slot
from PySide2.QtGui import QImage, QKeySequence
from PySide2.QtWidgets import (QAbstractItemView, QApplication, QCheckBox, QComboBox, QFormLayout, QGroupBox,
                               QHBoxLayout, QHeaderView, QLabel, QLineEdit, QMenu, QPushButton, QShortcut, QSpinBox,
                               QTableView, QTableWidget, QVBoxLayout, QWidget)

from demo.model import LABELS, PURCHASE, PurchaseModel, StatusFilter
from demo.purchases import STALLED, STATES
from simulator.routes import PURCHASE_PATHS

FAULTS = (("drop", "Jawaban hilang"), ("http500", "HTTP 503"), ("delay", "Jawaban lambat"))
WIDTHS = (30, 66, 200, 112, 86, 124, 0, 150, 110)  # the purchases' columns; 0: shares the room left


def button(text, slot, tip=""):
    made = QPushButton(text)
    made.clicked.connect(slot)
    made.setToolTip(tip)
    return made


class PurchasesPanel(QGroupBox):
    """The purchases' table, filtered by status; Cek ulang for the selected rows still pending after
    their history wait; serial numbers copied with the button, the row's menu or Ctrl+C."""

    def __init__(self, flow, parent=None):
        QGroupBox.__init__(self, "Transaksi", parent)
        self.flow = flow
        self.model = PurchaseModel(flow, self)
        self.filtered = StatusFilter(self)
        self.filtered.setSourceModel(self.model)
        self.table = QTableView()
        self.table.setModel(self.filtered)
        shape(self.table, WIDTHS)
        self.table.setSelectionMode(QAbstractItemView.ExtendedSelection)
        self.table.setContextMenuPolicy(Qt.CustomContextMenu)
        self.table.customContextMenuRequested.connect(self.row_menu)
        self.table.selectionModel().selectionChanged.connect(self.update_actions)
        QShortcut(QKeySequence.Copy, self.table, self.copy_cells)
        self.status_filter = QComboBox()
        self.status_filter.addItem("Semua status", None)
        for state in STATES:
            self.status_filter.addItem(LABELS[state], state)
        self.status_filter.currentIndexChanged.connect(self.filter_chosen)
        self.recheck_button = button("Cek ulang", self.recheck_selected, "Selesaikan lagi dari history provider")
        self.copy_button = button("Salin serial number", self.copy_serials)
        column = QVBoxLayout(self)
        row = QHBoxLayout()
        for widget in (QLabel("Tampilkan"), self.status_filter, self.recheck_button, self.copy_button):
            row.addWidget(widget)
        row.addStretch(1)
        column.addLayout(row)
        column.addWidget(self.table)
        flow.changed.connect(self.update_actions)

    @Slot(int)
    def filter_chosen(self, index):
        self.filtered.show_state(self.status_filter.itemData(index))

    def selected(self):
        return [self.filtered.index(r.row(), 0).data(PURCHASE) for r in self.table.selectionModel().selectedRows()]

    def select(self, purchase):
        """Selects the row of ``purchase`` (as the operator clicks it)."""
        row = self.filtered.mapFromSource(self.model.index(purchase.index - 1, 0)).row()
        self.table.selectRow(row)

    @Slot()
    def update_actions(self, *_):
        chosen = self.selected()
        self.recheck_button.setEnabled(any(p.state == STALLED for p in chosen))
        self.copy_button.setEnabled(any(p.serial for p in chosen))

    @Slot()
    def recheck_selected(self):
        for purchase in self.selected():
            self.flow.recheck(purchase)

    @Slot()
    def copy_serials(self):
        QApplication.clipboard().setText("\n".join(p.serial for p in self.selected() if p.serial))

    @Slot()
    def copy_cells(self):
        """Ctrl+C: the selected cells as tab-separated lines."""
        lines = {}
        for index in sorted(self.table.selectionModel().selectedIndexes(), key=lambda i: (i.row(), i.column())):
            lines.setdefault(index.row(), []).append(index.data() or "")
        QApplication.clipboard().setText("\n".join("\t".join(lines[row]) for row in sorted(lines)))

    def row_menu(self, at):
        purchase = self.table.indexAt(at).data(PURCHASE)
        if purchase is None:
            return
        menu = QMenu(self)
        menu.addAction("Cek ulang", lambda: self.flow.recheck(purchase)).setEnabled(purchase.state == STALLED)
        menu.addAction("Salin serial number", lambda: QApplication.clipboard().setText(purchase.serial)).setEnabled(
            bool(purchase.serial))
        menu.exec_(self.table.viewport().mapToGlobal(at))


class CataloguePanel(QWidget):
    """The catalogue (a double click picks a product) over the purchase form; ``buy`` runs on Beli."""

    def __init__(self, buy, parent=None):
        QWidget.__init__(self, parent)
        self.catalogue_table = QTableWidget(0, 4)
        self.catalogue_table.setHorizontalHeaderLabels(["Tipe", "Paket", "Nama", "Harga"])
        shape(self.catalogue_table, (52, 92, 0, 88))
        self.catalogue_table.setEditTriggers(QAbstractItemView.NoEditTriggers)
        self.catalogue_table.itemDoubleClicked.connect(self.pick)
        self.product_box, self.destination, self.count = QComboBox(), QLineEdit(), QSpinBox()
        self.destination.setPlaceholderText("08..., 628... atau +628...")
        self.count.setRange(1, 50)
        self.buy_button = button("Beli", buy)
        form = QGroupBox("Beli")
        fields = QFormLayout(form)
        fields.addRow("Produk", self.product_box)
        fields.addRow("Nomor tujuan", self.destination)
        fields.addRow("Jumlah", self.count)
        fields.addRow(self.buy_button)
        column = QVBoxLayout(self)
        column.setContentsMargins(0, 0, 0, 0)
        column.addWidget(boxed("Katalog", self.catalogue_table), 1)
        column.addWidget(form)

    @Slot(object)
    def pick(self, item):
        self.product_box.setCurrentIndex(item.row())


class SimulatorPanel(QGroupBox):
    """The simulated provider's controls: the session expired now, faults on the purchase requests
    and a late history."""

    def __init__(self, sim, settings, terminal, parent=None):
        QGroupBox.__init__(self, "Simulator", parent)
        self.sim, self.settings, self.terminal = sim, settings, terminal
        self.expire_button = button("Sesi habis", self.expire_session, "Simulator menghapus sesi: login lagi")
        row = QHBoxLayout(self)
        row.addWidget(self.expire_button)
        self.fault_boxes = dict((kind, QCheckBox(title)) for kind, title in FAULTS)
        self.fault_boxes["delay"].setText("Jawaban lambat %g s" % settings.fault_delay)
        self.history_box = QCheckBox("History terlambat %g s" % settings.history_delay)
        for box in list(self.fault_boxes.values()) + [self.history_box]:
            box.toggled.connect(self.apply_faults)
            row.addWidget(box)
        row.addStretch(1)

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


def save_picture(widget, path):
    """A PNG of the widget as it shows now, in 256 colours: small enough to keep beside the code."""
    picture = widget.grab().toImage().convertToFormat(QImage.Format_Indexed8, Qt.ThresholdDither | Qt.AvoidDither)
    return picture.save(path, "PNG")


def shape(view, widths):
    """A read-only table of rows; a column of width 0 shares the room left."""
    view.verticalHeader().setVisible(False)
    view.verticalHeader().setDefaultSectionSize(20)
    view.setSelectionBehavior(QAbstractItemView.SelectRows)
    view.setWordWrap(False)
    for column, width in enumerate(widths):
        if width:
            view.setColumnWidth(column, width)
        else:
            view.horizontalHeader().setSectionResizeMode(column, QHeaderView.Stretch)


def boxed(title, widget):
    box = QGroupBox(title)
    QVBoxLayout(box).addWidget(widget)
    return box
