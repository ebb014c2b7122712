"""The gateway road end to end, as the host walks it: a terminal's session, balance, catalogue,
checks, purchases, history settlement and the reply to the terminal, against a simulated Deko
provider started inside this process (or another provider with --provider URL).

Steps:
  1. Login with the retailer's number and an OTP (read from the provider's /_sim/inbox)
  2. Balance on a Qt worker thread (DekoConnectonThread)
  3. Catalogue pull, with the best offers for two numbers
  4. Check and buy a regular product; the purchase is settled from the provider's history
  5. Buy a best offer (CRP); the provider leaves it pending
  6. KPK check menu
  7. Previous purchase, by product and by order id
  8. Settle the pending CRP purchase on a WaitTransaksiHistoryThread, which replies to the
     terminal (a listener on 127.0.0.1 plays the terminal)

Console lines are the host's own, in Indonesian: "[time] LEVEL text". Their levels:
  DEFAULT  an operation starts ("Mengecek Saldo...", "Mengirim Transaksi...")
  SUKSES   an operation succeeded, or a step gave the expected outcome ("Saldo: OK")
  WARNING  the connection recovers or waits: a re-login after the session expired
           ("Login Habis. Mencoba Login Kembali..."), a purchase read back from the history
           ("Mengambil Transaksi Dari History...", "Belum menemukan transaksi di history...")
  GAGAL    an operation failed, or a step's outcome was not the expected one ("TIDAK SESUAI")
Lines that start with "==" name a step; indented lines show what came back.

--provider points the demo at a provider that speaks the simulator's protocol, /_sim/inbox for
the OTP included: "/usr/bin/python3 -m simulator" runs one, with faults on its command line to
watch re-login, retries and history settling. When that provider cannot be reached or the login
fails, one line says why and the demo stops at once.

bash scripts/demo.sh builds the extension first when it is missing (scripts/setup.sh); with
--python PYTHON it runs the demo under that interpreter (the host's CPython 3.7, say), with the
extension built for it and, when it has no PySide2, the one scripts/pyside2.sh builds for it.
Exit status: 0 when every step gave the expected outcome, 1 otherwise, 2 for a wrong option.
"""
import argparse
import http.client
import json
import os
import socket
import ssl
import sys
import time
from urllib.parse import urlsplit

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

from demo.common import deko_settings, provider_now, record_for, stop  # noqa: E402

DESTINATION = "081234567890"
OFFER_NUMBERS = "081234567801,081234567802"
WAIT_MS = 15000
PROBE_TIMEOUT = 5.0


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
    from PySide2.QtCore import QTimer

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


def show(rec):
    print("   status=%r pesan=%r serialnumber=%r" % (rec.status, rec.pesan, rec.serialnumber), flush=True)


def provider_address(text):
    """The --provider value: an http:// or https:// URL with a host, without a trailing slash."""
    parts = urlsplit(text.strip())
    try:
        parts.port  # raises ValueError for a port that is not a number
        valid = parts.scheme in ("http", "https") and bool(parts.hostname)
    except ValueError:
        valid = False
    if not valid or parts.query or parts.fragment:
        raise argparse.ArgumentTypeError(
            "%r bukan alamat http:// atau https:// (contoh: http://127.0.0.1:18765)" % text)
    return text.strip().rstrip("/")


def unreachable(url, timeout=PROBE_TIMEOUT):
    """What is wrong with the provider at ``url``, in a few words; None when it answers."""
    parts = urlsplit(url)
    kind = http.client.HTTPSConnection if parts.scheme == "https" else http.client.HTTPConnection
    connection = kind(parts.hostname, parts.port, timeout=timeout)
    try:
        connection.request("GET", parts.path + "/")
        answer = connection.getresponse()
        answer.read()
        status = answer.status
    except ConnectionRefusedError:
        return "tidak dapat dihubungi: koneksi ditolak"
    except socket.timeout:
        return "tidak dapat dihubungi: waktu habis (%g s)" % timeout
    except socket.gaierror:
        return "tidak dapat dihubungi: nama host %s tidak dikenal" % parts.hostname
    except http.client.RemoteDisconnected:
        return "tidak dapat dihubungi: koneksi diputus tanpa jawaban"
    except ssl.SSLError as error:
        return "tidak dapat dihubungi: TLS gagal: %s" % (error.reason or error)
    except (http.client.HTTPException, OSError) as error:
        return "tidak dapat dihubungi: %s: %s" % (type(error).__name__, error)
    finally:
        connection.close()
    return "menjawab HTTP %d" % status if status >= 500 else None


def main(argv=None):
    parser = argparse.ArgumentParser(prog=os.environ.get("DEKO_DEMO_PROG"), description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--provider", type=provider_address, metavar="URL",
                        help="address of the provider, http:// or https:// "
                             "(default: a simulated provider inside this process)")
    parser.add_argument("--history-delay", type=float, default=0.5, metavar="SECONDS",
                        help="seconds before a purchase shows in the embedded provider's history "
                             "(default: 0.5)")
    args = parser.parse_args(argv)
    started = time.monotonic()

    # Qt, the extension and the simulator load only now: --help and wrong options need none of them.
    from PySide2.QtCore import QCoreApplication, QTimer
    from apps.deko.libs.connections.dekoconnection import WaitTransaksiHistoryThread
    from apps.deko.libs.connections.hostconnection import HostDekoConnection
    from apps.deko.libs.terminal import Terminal
    from apps.deko.models.objects.transaksi import Produk, Transaksi
    from simulator.listener import TerminalListener
    from simulator.provider import ProviderSimulator

    sim = None
    if args.provider:
        url = args.provider
        cause = unreachable(url)
        if cause:
            return stop("Provider %s %s" % (url, cause))
    else:
        sim = ProviderSimulator(port=0, history_delay=args.history_delay).start()
        url = sim.url
    os.environ["DEKO_PROVIDER_URL"] = url
    listener = TerminalListener().start()
    print("Provider: %s%s   terminal listener: %s" % (url, "" if args.provider else " (embedded)", listener.url))

    terminal = Terminal(deko_settings(listener.port), provider_url=url)
    road = Road(terminal)
    app = QCoreApplication.instance() or QCoreApplication([])
    conn = HostDekoConnection(controller=None, terminal=terminal)
    try:
        road.step("1. Login dengan nomor dan OTP")
        hasil = conn.login()
        if hasil is not None:
            terminal.console(hasil.pesan, "sukses" if hasil.status else "gagal")
        if not road.expect("Login", hasil is not None and hasil.status and terminal.auth_token):
            cause = unreachable(url)
            if cause:
                return stop("Provider %s %s" % (url, cause))
            if hasil is not None:
                pesan = hasil.pesan
            elif terminal.errors:  # login raised; the connection logged the error
                pesan = "%s: %s" % (type(terminal.errors[-1]).__name__, terminal.errors[-1])
            else:
                pesan = "tanpa hasil"
            return stop("Login ke %s gagal: %s" % (url, pesan))

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
        crp_time = provider_now()  # the provider's clock, before the purchase is sent
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
    try:
        sys.exit(main())
    except BrokenPipeError:  # whoever read the output stopped reading (main.py | head): end quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)
