"""Purchases on their way, apart from any widget: each is checked (cek) and bought (transaksi) on
the host's worker threads, and one the provider leaves pending is settled on a
WaitTransaksiHistoryThread, which also replies to the terminal. The flow says what happens through
its signals; the window's table model and the window listen."""
import datetime

from PySide2.QtCore import QObject, Signal, Slot

from apps.deko.libs.connections.dekoconnection import WaitTransaksiHistoryThread
from demo.common import destination, provider_now, record_for

QUEUED, SENDING, WAITING, STALLED = "antri", "mengirim", "menunggu provider", "tertunda"
SUKSES, GAGAL, REFUSED, CANCELLED = "sukses", "gagal", "ditolak", "dibatalkan"
STATES = (QUEUED, SENDING, WAITING, STALLED, SUKSES, GAGAL, REFUSED, CANCELLED)
OPEN = (QUEUED, SENDING, WAITING)  # work still to do for the window


class Purchase(object):
    """One row: a product for a number, where it stands, what the provider and the terminal got."""

    def __init__(self, index, entry, typed, tujuan, refusal=None):
        self.index = index
        self.entry = entry
        self.typed = typed  # the number as the operator typed it
        self.record = record_for(entry, tujuan) if tujuan else None
        self.key = (entry["tipe"], entry["paketid"], tujuan)
        self.state = REFUSED if refusal else QUEUED
        self.note = "Tidak dikirim: %s" % refusal if refusal else "Menunggu pembelian yang sama sebelumnya"
        self.reply = ""
        self.created = datetime.datetime.now()
        self.sent_at = None  # the provider's time, taken before the purchase is sent
        self.waits = 0  # history waits (WaitTransaksiHistoryThread), Cek ulang included

    @property
    def tujuan(self):
        return self.record.tujuan if self.record is not None else self.typed

    @property
    def harga(self):
        inq = getattr(self.record, "inq", None)
        return getattr(inq, "harga", None) or self.entry.get("harga")

    @property
    def serial(self):
        return (self.record.serialnumber or "") if self.record is not None else ""

    @property
    def message(self):
        """The row's message: the flow's while it works, else the record's."""
        if self.state in (SUKSES, GAGAL) or (self.state == STALLED and self.record.pesan):
            return str(self.record.pesan or self.note)
        return self.note


class PurchaseFlow(QObject):
    """Carries purchases through the connection ``conn`` on ``workers``; equal purchases (same
    product and number) go one after another, so that the history tells them apart."""

    added = Signal(object)
    changed = Signal(object)
    ended = Signal(object)  # no more work for it: sukses, gagal, tertunda, ditolak or dibatalkan

    def __init__(self, conn, workers, parent=None):
        QObject.__init__(self, parent)
        self.conn = conn
        self.workers = workers
        self.purchases = []
        self.queues = {}
        self.waiters = {}  # running history threads, held until they end: thread -> purchase

    def console(self, text, level):
        self.conn.terminal.console(text, level)

    def buy(self, entry, typed, count=1):
        """Queues ``count`` purchases of the catalogue's ``entry`` for the number ``typed``, checked
        and normalised first: what is no number gives one refused row, with the reason."""
        tujuan, refusal = destination(typed)
        made = []
        for _ in range(1 if refusal else count):
            purchase = Purchase(len(self.purchases) + 1, entry, typed, tujuan, refusal)
            self.purchases.append(purchase)
            made.append(purchase)
            self.added.emit(purchase)
            if refusal:
                self.console("Pembelian %s ditolak: %s" % (entry["paketid"], refusal), "gagal")
                self.ended.emit(purchase)
                continue
            queue = self.queues.setdefault(purchase.key, [])
            queue.append(purchase)
            if len(queue) == 1:
                self.start(purchase)
        return made

    def open_work(self):
        return [p for p in self.purchases if p.state in OPEN]

    def move(self, purchase, state, note=None):
        purchase.state = state
        if note is not None:
            purchase.note = note
        self.changed.emit(purchase)
        if state not in OPEN:
            self.ended.emit(purchase)
            self.next_of(purchase)

    def next_of(self, purchase):
        queue = self.queues.get(purchase.key, [])
        if purchase in queue:
            queue.remove(purchase)
            if queue and queue[0].state == QUEUED:
                self.start(queue[0])

    def start(self, purchase):
        self.move(purchase, SENDING, "Cek produk...")
        record = purchase.record
        self.workers.submit(lambda: self.conn.cek(record), lambda result: self.checked(purchase, result))

    def checked(self, purchase, result):
        record = purchase.record
        if isinstance(result, Exception) or record.status != "sukses":
            self.move(purchase, GAGAL, "Cek produk gagal: %s" % (result if isinstance(result, Exception) else record.pesan))
            return
        purchase.sent_at = provider_now()
        record.status = ""  # the check's; the purchase writes its own
        self.workers.submit(lambda: self.conn.transaksi(record), lambda result: self.bought(purchase, result))
        self.move(purchase, SENDING, "Mengirim transaksi...")

    def bought(self, purchase, result):
        status = purchase.record.status
        if status in (SUKSES, GAGAL):
            self.move(purchase, status)
        elif status == "pending":
            self.wait(purchase, "Menunggu provider: %s" % purchase.record.pesan)
        else:  # the purchase raised without a verdict: the provider may have it, so it is no failure
            self.move(purchase, STALLED, "Hasil tidak diketahui: %s" % result)

    def wait(self, purchase, note):
        """Settles the purchase from the history on a WaitTransaksiHistoryThread, which replies to
        the terminal."""
        purchase.waits += 1
        waiter = WaitTransaksiHistoryThread(self.conn, None, purchase.record, purchase.sent_at, purchase.harga,
                                            parent=self)
        waiter.setObjectName("deko-history-%d" % purchase.index)  # Qt names the thread from it, not from the class
        waiter.finished.connect(self.settled)  # queued: this object lives on the GUI thread
        self.waiters[waiter] = purchase
        self.move(purchase, WAITING, note)
        waiter.start()

    @Slot()
    def settled(self):
        waiter = self.sender()
        purchase = self.waiters.pop(waiter)
        waiter.deleteLater()
        record = waiter.transaksi
        purchase.record = record
        if record.status in (SUKSES, GAGAL):
            self.move(purchase, record.status)
        else:
            self.move(purchase, STALLED, "Masih pending setelah menunggu history: %s" % record.pesan)

    @Slot(object)
    def recheck(self, purchase):
        """Cek ulang: a purchase still pending after its history wait is settled again from the history."""
        if purchase.state == STALLED:
            self.console("Cek ulang transaksi #%d %s ke %s" % (purchase.index, purchase.entry["paketid"],
                                                                purchase.tujuan), "default")
            self.wait(purchase, "Cek ulang di history provider...")

    def cancel_queued(self):
        """The purchases not sent yet are cancelled, each told on its row and in the console."""
        for purchase in [p for p in self.purchases if p.state == QUEUED]:
            self.move(purchase, CANCELLED, "Dibatalkan saat jendela ditutup; tidak dikirim")
            self.console("Transaksi #%d %s ke %s dibatalkan (tidak dikirim)" % (
                purchase.index, purchase.entry["paketid"], purchase.tujuan), "warning")
