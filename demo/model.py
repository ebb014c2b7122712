"""The purchases as a Qt table model: one row per purchase of the flow, kept up to date from its
signals, and a filter by status for the view."""
from PySide2.QtCore import QAbstractTableModel, QModelIndex, QSortFilterProxyModel, Qt, Slot
from PySide2.QtGui import QColor, QFont

from apps.deko.libs.utils.tools import remove_html_tags
from demo.common import rupiah
from demo.purchases import CANCELLED, GAGAL, QUEUED, REFUSED, SENDING, STALLED, SUKSES, WAITING

COLUMNS = ("#", "Waktu", "Produk", "Tujuan", "Harga", "Status", "Pesan", "Serial number", "Balasan")
NUMBER, TIME, PRODUCT, DESTINATION, PRICE, STATUS, MESSAGE, SERIAL, REPLY = range(len(COLUMNS))
LABELS = {QUEUED: "Antri", SENDING: "Mengirim", WAITING: "Menunggu provider", STALLED: "Tertunda",
          SUKSES: "Sukses", GAGAL: "Gagal", REFUSED: "Ditolak", CANCELLED: "Dibatalkan"}
COLOURS = {QUEUED: "#eaeef2", SENDING: "#ddf4ff", WAITING: "#fff1c2", STALLED: "#ffb45c",
           SUKSES: "#d3f5dc", GAGAL: "#ffd7d2", REFUSED: "#d0d7de", CANCELLED: "#eaeef2"}
PURCHASE = Qt.UserRole  # the row's Purchase


class PurchaseModel(QAbstractTableModel):
    """The flow's purchases, oldest first."""

    def __init__(self, flow, parent=None):
        QAbstractTableModel.__init__(self, parent)
        self.rows = []
        self.mono = QFont("DejaVu Sans Mono", 9)
        flow.added.connect(self.add)
        flow.changed.connect(self.refresh)

    def rowCount(self, parent=QModelIndex()):
        return 0 if parent.isValid() else len(self.rows)

    def columnCount(self, parent=QModelIndex()):
        return 0 if parent.isValid() else len(COLUMNS)

    def headerData(self, section, orientation, role=Qt.DisplayRole):
        if role == Qt.DisplayRole and orientation == Qt.Horizontal:
            return COLUMNS[section]
        return None

    def data(self, index, role=Qt.DisplayRole):
        if not index.isValid():
            return None
        purchase, column = self.rows[index.row()], index.column()
        if role in (Qt.DisplayRole, Qt.ToolTipRole):
            text = self.text(purchase, column)
            if role == Qt.ToolTipRole:
                if column == DESTINATION and purchase.typed.strip() != purchase.tujuan:
                    return "Diketik: %s" % purchase.typed
                if column == REPLY:
                    return purchase.reply or None
                return text if column in (PRODUCT, MESSAGE, SERIAL) and text else None
            return text
        if role == Qt.BackgroundRole and column == STATUS:
            return QColor(COLOURS[purchase.state])
        if role == Qt.FontRole and column in (SERIAL, DESTINATION):
            return self.mono
        if role == Qt.TextAlignmentRole and column in (NUMBER, PRICE):
            return int(Qt.AlignRight | Qt.AlignVCenter)
        if role == PURCHASE:
            return purchase
        return None

    @staticmethod
    def text(purchase, column):
        if column == NUMBER:
            return str(purchase.index)
        if column == TIME:
            return purchase.created.strftime("%H:%M:%S")
        if column == PRODUCT:
            return "%s — %s" % (purchase.entry["paketid"], remove_html_tags(purchase.entry.get("nama", "")))
        if column == DESTINATION:
            return purchase.tujuan
        if column == PRICE:
            return rupiah(purchase.harga)
        if column == STATUS:
            return LABELS[purchase.state]
        if column == MESSAGE:
            return remove_html_tags(purchase.message)
        if column == SERIAL:
            return purchase.serial
        return purchase.reply.split(":")[0]  # its status; the whole reply in the tooltip

    @Slot(object)
    def add(self, purchase):
        self.beginInsertRows(QModelIndex(), len(self.rows), len(self.rows))
        self.rows.append(purchase)
        self.endInsertRows()

    @Slot(object)
    def refresh(self, purchase):
        row = purchase.index - 1
        self.dataChanged.emit(self.index(row, 0), self.index(row, len(COLUMNS) - 1))

    def set_reply(self, idtrx, text):
        """The terminal received ``text`` for the purchase record ``idtrx``."""
        for purchase in self.rows:
            if purchase.record is not None and purchase.record.idtrx == idtrx:
                purchase.reply = remove_html_tags(text)
                self.refresh(purchase)

    def totals(self):
        """{state: (count, amount)} over the rows."""
        found = {}
        for purchase in self.rows:
            count, amount = found.get(purchase.state, (0, 0))
            try:
                price = int(float(purchase.harga))
            except (TypeError, ValueError):
                price = 0
            found[purchase.state] = (count + 1, amount + price)
        return found


class StatusFilter(QSortFilterProxyModel):
    """The rows of one status (None: all)."""

    def __init__(self, parent=None):
        QSortFilterProxyModel.__init__(self, parent)
        self.state = None

    def show_state(self, state):
        self.state = state
        self.invalidateFilter()

    def filterAcceptsRow(self, row, parent):
        if self.state is None:
            return True
        return self.sourceModel().rows[row].state == self.state


def summary(totals):
    """The totals as the status bar says them: "12 sukses Rp 345.000 · 3 gagal · ..."."""
    parts = []
    for state in (SUKSES, GAGAL, STALLED, WAITING, SENDING, QUEUED, REFUSED, CANCELLED):
        count, amount = totals.get(state, (0, 0))
        if count:
            parts.append("%d %s" % (count, LABELS[state].lower()) + (" %s" % rupiah(amount) if state in (
                SUKSES, WAITING, STALLED) else ""))
    return "Transaksi: " + (" · ".join(parts) if parts else "belum ada")
