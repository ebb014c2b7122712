"""The gateway road end to end: a terminal's session, balance, catalogue, checks, purchases,
history settlement and the reply to the terminal, against the embedded simulated provider
(or another provider with --provider URL).

Exit status 0 when every step gave the expected outcome, 1 otherwise.
"""
import argparse
import datetime
import json
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")

from PySide2.QtCore import QCoreApplication, QTimer  # noqa: E402

from apps.deko.libs.connections.dekoconnection import WaitTransaksiHistoryThread  # noqa: E402
from apps.deko.libs.connections.hostconnection import HostDekoConnection  # noqa: E402
from apps.deko.libs.terminal import Terminal  # noqa: E402
from apps.deko.models.objects.transaksi import Produk, Transaksi  # noqa: E402
from simulator.listener import TerminalListener  # noqa: E402
from simulator.provider import ProviderSimulator  # noqa: E402

DESTINATION = "081234567890"
OFFER_NUMBERS = "081234567801,081234567802"
WAIT_MS = 15000


def now_utc7():
    return datetime.datetime.now(datetime.timezone(datetime.timedelta(hours=7))).replace(tzinfo=None)


class Road:
    def __init__(self, terminal):
        self.terminal = terminal
        self.results = []

    def step(self, title):
        print("\n== %s" % title, flush=True)

    def expect(self, what, ok, detail=""):
        self.results.append((what, bool(ok)))
        self.terminal.console("%s: %s%s" % (what, "OK" if ok else "TIDAK SESUAI",
                                            (" (%s)" % detail) if detail else ""),
                              "sukses" if ok else "gagal")
        return ok


def run_on_worker(app, conn, func, *args, **kwargs):
    """Runs one connection operation on a DekoConnectonThread; returns what it emitted."""
    thread = conn.get_connection_thread()(conn, func, *args, **kwargs)
    got = []

    def finished(value):
        got.append(value)
        thread.quit()

    thread.request_finished.connect(finished)
    thread.finished.connect(app.quit)
    QTimer.singleShot(WAIT_MS, app.quit)
    thread.start()
    app.exec_()
    thread.wait(WAIT_MS)
    return got[0] if got else None


def record_for(entry, tujuan):
    return Transaksi(Produk(entry["tipe"], entry["kategori"], entry["paketid"], entry["nama"]),
                     tujuan, pin="1234")


def show(rec):
    print("   status=%r pesan=%r serialnumber=%r" % (rec.status, rec.pesan, rec.serialnumber), flush=True)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--provider", help="provider address (default: the embedded simulator)")
    parser.add_argument("--history-delay", type=float, default=0.5,
                        help="seconds before a purchase shows in the embedded provider's history")
    args = parser.parse_args(argv)
    started = time.monotonic()

    sim = None
    if args.provider:
        url = args.provider.rstrip("/")
    else:
        sim = ProviderSimulator(port=0, history_delay=args.history_delay).start()
        url = sim.url
    os.environ["DEKO_PROVIDER_URL"] = url
    listener = TerminalListener().start()
    print("Provider: %s%s   terminal listener: %s" % (url, "" if args.provider else " (embedded)", listener.url))

    terminal = Terminal({"nomor": "081200000001", "idretail": "RTL001", "nomor_transaksi": "TRX001",
                         "reply_ip": "127.0.0.1", "reply_port": listener.port}, provider_url=url)
    road = Road(terminal)
    app = QCoreApplication.instance() or QCoreApplication([])
    conn = HostDekoConnection(controller=None, terminal=terminal)
    try:
        road.step("1. Login dengan nomor dan OTP")
        hasil = conn.login()
        if hasil is not None:
            terminal.console(hasil.pesan, "sukses" if hasil.status else "gagal")
        road.expect("Login", hasil is not None and hasil.status and terminal.auth_token)

        road.step("2. Cek saldo di worker thread (DekoConnectonThread)")
        saldo = run_on_worker(app, conn, "cek_saldo")
        print("   saldo: %s" % json.dumps(saldo))
        road.expect("Saldo", isinstance(saldo, dict) and saldo.get("Total") not in (None, "0"))

        road.step("3. Tarik produk (katalog + penawaran terbaik untuk %s)" % OFFER_NUMBERS)
        tarik = conn.tarik_produk(OFFER_NUMBERS)
        katalog = tarik.pesan if tarik.status else []
        jumlah = {}
        for entry in katalog:
            jumlah[entry["tipe"]] = jumlah.get(entry["tipe"], 0) + 1
        print("   %d produk: %s" % (len(katalog), ", ".join("%s %d" % kv for kv in sorted(jumlah.items()))))
        road.expect("Katalog", tarik.status and jumlah.get("PULSA") and jumlah.get("CRP"))

        road.step("4. Cek dan beli produk reguler (diselesaikan dari history)")
        pulsa = next(e for e in katalog if e["tipe"] == "PULSA")
        beli = record_for(pulsa, DESTINATION)
        conn.cek(beli)
        road.expect("Cek produk %s" % pulsa["paketid"], beli.status == "sukses", beli.pesan)
        beli = conn.transaksi(beli)
        show(beli)
        road.expect("Pembelian %s" % pulsa["paketid"], beli is not None and beli.status == "sukses"
                    and beli.serialnumber)

        road.step("5. Beli penawaran terbaik (CRP)")
        nomor_crp = OFFER_NUMBERS.split(",")[0]
        offer = next(e for e in katalog if e["tipe"] == "CRP")
        crp = record_for(offer, nomor_crp)
        conn.cek(crp)
        crp_time = now_utc7()
        crp = conn.transaksi(crp)
        show(crp)
        road.expect("Pembelian CRP %s" % offer["paketid"], crp.status == "pending")

        road.step("6. Cek menu KPK")
        menu = Transaksi(Produk("KPK", "", "KPK"), DESTINATION)
        conn.menu_cek(menu)
        show(menu)
        road.expect("Menu KPK", menu.status == "sukses")

        road.step("7. Transaksi sebelumnya (per produk, lalu per order id)")
        ulang = record_for(pulsa, DESTINATION)
        per_produk = conn.get_previous_transaksi(ulang, {"harga": pulsa["harga"], "orderid": None})
        if per_produk is not None:
            show(per_produk)
        road.expect("Per produk", per_produk is not None and per_produk.serialnumber == beli.serialnumber)
        per_order = conn.get_previous_transaksi(record_for(pulsa, DESTINATION),
                                                {"harga": None, "orderid": beli.serialnumber})
        road.expect("Per order id", per_order is not None and per_order.serialnumber == beli.serialnumber)

        road.step("8. Selesaikan transaksi CRP pending di WaitTransaksiHistoryThread, balas ke terminal")
        waiter = WaitTransaksiHistoryThread(conn, None, crp, crp_time, offer["harga"])
        waiter.finished.connect(app.quit)
        QTimer.singleShot(WAIT_MS, app.quit)
        waiter.start()
        app.exec_()
        waiter.wait(WAIT_MS)
        show(waiter.transaksi)
        replied = listener.wait_for(1, 5)
        for text in listener.received:
            print("   terminal menerima: %s" % text)
        balasan = json.loads(listener.received[0]) if replied else {}
        road.expect("Balasan ke terminal", replied and balasan.get("status") == "sukses"
                    and balasan.get("idtrx") == crp.idtrx)
    except Exception as error:  # a step that could not even run is a failed road
        road.expect("Langkah berjalan", False, "%s: %s" % (type(error).__name__, error))
    finally:
        listener.stop()
        if sim is not None:
            sim.stop()

    failed = [what for what, ok in road.results if not ok]
    print("\n%d langkah sesuai, %d tidak sesuai (%.1f s)" % (
        len(road.results) - len(failed), len(failed), time.monotonic() - started))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
