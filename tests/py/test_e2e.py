"""The connection end to end over real HTTP against the simulated provider."""
import datetime
import io
import itertools
import json
import threading
import time

import pytest
import urllib3

from apps.deko.libs.connections import dekoconnection as mod
from apps.deko.libs.connections.hostconnection import HostDekoConnection
from apps.deko.libs.terminal import Terminal
from apps.deko.models.objects.transaksi import Produk, Transaksi
from simulator.provider import ProviderSimulator, offers_for

CONFIG = {"nomor": "081200000001", "idretail": "RTL001", "nomor_transaksi": "TRX-E2E",
          "reply_ip": "127.0.0.1", "reply_port": 9}
RELOGIN = ("Login Habis. Mencoba Login Kembali...", "warning")
SENDING = ("Mengirim Transaksi...", "default")
FROM_HISTORY = ("Mengambil Transaksi Dari History...", "warning")
NOT_YET = ("Belum menemukan transaksi di history...", "warning")
_numbers = itertools.count(1)


def nomor(end="1"):
    """A destination no other test uses ("...99" fails at the provider, "...98" stays pending)."""
    return "0813%06d%s" % (next(_numbers), end)


@pytest.fixture(scope="module")
def sim():
    with ProviderSimulator(port=0) as simulator:
        yield simulator


@pytest.fixture(autouse=True)
def provider(sim, monkeypatch):
    monkeypatch.setenv("DEKO_PROVIDER_URL", sim.url)
    monkeypatch.setenv("DEKO_PROVIDER_TIMEOUT", "5")
    sim.clear_faults(), sim.clear_history(), sim.requests.clear()
    sim.history_delay = 0.0


@pytest.fixture
def term():
    return Terminal(dict(CONFIG), stream=io.StringIO(), otp_wait=1.0)


@pytest.fixture
def conn(term):
    connection = HostDekoConnection(None, term)
    assert connection.login().status and term.auth_token
    del term.lines[:]
    return connection


def hits(sim, path):
    return sim.requests.get(path, 0)


def bought(sim, tujuan):
    """The provider's accepted purchases for a destination, oldest first."""
    return [e for e in sim.ledger if e["accepted"] and e["fields"].get("msisdn") == tujuan]


def record(tipe, kategori, paketid, tujuan):
    return Transaksi(Produk(tipe, kategori, paketid), tujuan, pin="1234")


def checked(conn, term, *args):
    rec = record(*args)
    assert conn.cek(rec).status == "sukses", rec.pesan
    del term.lines[:]
    return rec


def test_login_with_inbox_otp_then_balance(sim, term):
    connection, before = HostDekoConnection(None, term), sim.otp_logins
    result = connection.login()
    otp = sim.inbox(CONFIG["nomor"])[-1]["otp"]
    assert (result.status, result.pesan) == (True, "Login Berhasil Dengan OTP %s" % otp)
    assert term.auth_token and sim.otp_logins == before + 1 and term.lines == []
    saldo = connection.cek_saldo()
    assert saldo == {"Total": str(sim.balance), "Bonus": "0", "Currency": "IDR"}
    assert connection.cek_saldo(True) == saldo and sim.otp_logins == before + 1  # the stored token served both


@pytest.mark.parametrize("where", ["before balance", "during history pause"])
def test_expired_session_renewed_mid_operation(sim, conn, term, monkeypatch, where):
    before, old_token = sim.otp_logins, term.auth_token
    if where == "before balance":
        sim.expire_all_tokens()
        assert conn.cek_saldo()["Total"] == str(sim.balance)
    else:
        rec = checked(conn, term, "PULSA", "DEKOTOPUP", "TP10", nomor())
        sim.history_delay = 0.3
        pauses = []
        monkeypatch.setattr(mod, "sleep", lambda s: (pauses or sim.expire_all_tokens(),
                                                     pauses.append(s), time.sleep(0.2)))
        rec = conn.transaksi(rec)
        assert rec.status == "sukses" and rec.serialnumber == bought(sim, rec.tujuan)[-1]["batchId"]
    otp = sim.inbox(CONFIG["nomor"])[-1]["otp"]
    at = term.lines.index(RELOGIN)
    assert term.lines[at + 1] == ("Login Berhasil Dengan OTP %s" % otp, "sukses")
    assert term.lines.count(RELOGIN) == 1 and sim.otp_logins == before + 1
    assert term.auth_token not in ("", old_token)


@pytest.mark.parametrize("kind,when,count,sends,carried,failed", [
    ("drop", "before", None, 4, 0, ("Koneksi Terputus", "Pembelian Gagal")),  # never carried out
    ("drop", "before", 1, 2, 1, None),
    # Carried out, but the answer was lost or came after the time-out: found in the history, never sent again.
    ("drop", "after", 1, 1, 1, None),
    ("delay", "after", 1, 1, 1, None),
    ("http500", "before", 1, 1, 0, ("[Deko]: Service Unavailable", "Service Unavailable")),
    ("refuse", "before", 1, 1, 0, ("[Deko]: Layanan sedang gangguan", "Layanan sedang gangguan")),
])
def test_purchase_fault(sim, conn, term, monkeypatch, kind, when, count, sends, carried, failed):
    monkeypatch.setenv("DEKO_PROVIDER_TIMEOUT", "1.0")
    monkeypatch.setattr(mod, "sleep", lambda seconds: None)
    rec = checked(conn, term, "PULSA", "DEKOTOPUP", "TP10", nomor())
    sim.inject("/purchase", kind, count=count, when=when, delay=1.5)
    rec = conn.transaksi(rec)
    assert hits(sim, "/purchase") == sends == term.lines.count(SENDING) and len(bought(sim, rec.tujuan)) == carried
    if failed:
        assert (rec.status, rec.pesan, rec.serialnumber) == ("gagal", failed[0], "")
        assert term.lines[-1] == (failed[1], "gagal") and hits(sim, "/history") == 6 * sends * (kind == "drop")
    else:
        assert rec.status == "sukses" and rec.serialnumber == bought(sim, rec.tujuan)[0]["batchId"]


@pytest.mark.parametrize("tipe,kategori,paketid,end,endpoint,status,amount", [
    ("PULSA", "DEKOTOPUP", "TP10", "1", "/purchase", "sukses", "10500"),
    ("spv", "SPVBLANK", "SPV5", "1", "/purchase/spv", "sukses", "30000"),
    ("PULSA", "DEKOTOPUP", "TP10", "99", "/purchase", "gagal", "Saldo operator gagal"),
    ("KPK", "FRC", "FRC-KPK1", "98", "/purchase/kpk", "pending", "Transaksi sedang diproses"),
])
def test_purchase_settled_from_history(sim, conn, term, tipe, kategori, paketid, end, endpoint, status, amount):
    rec = checked(conn, term, tipe, kategori, paketid, nomor(end))
    assert conn.transaksi(rec) is rec and hits(sim, endpoint) == 1 and hits(sim, "/history") == 1
    sent = bought(sim, rec.tujuan)[-1]
    assert sent["endpoint"] == endpoint and sent["fields"]["trx"] == "TRX-E2E"
    assert (rec.status, rec.serialnumber) == (status, sent["batchId"])
    settled = "Transaksi berhasil utk pembelian produk %s ke %s sebesar %s ." % (rec.produk.nama, rec.tujuan, amount)
    assert rec.pesan == (settled if status == "sukses" else amount)
    assert term.lines == [SENDING, ("Transaksi %s ke %s sedang diproses" % (paketid, rec.tujuan), "sukses"),
                          FROM_HISTORY]


def test_reports_for_a_gateway_in_another_process(sim, conn, term):
    conn.transaksi(checked(conn, term, "PULSA", "DEKOTOPUP", "TP10", nomor()))
    ledger, stats = (json.loads(urllib3.PoolManager().request("GET", sim.url + "/_sim/" + what).data)
                     for what in ("ledger", "stats"))
    assert ledger["ledger"] == json.loads(json.dumps(sim.ledger)) and stats["purchases"] == len(sim.ledger)
    assert (stats["otp_logins"], stats["requests"]["/purchase"]) == (sim.otp_logins, 1)


def test_best_offer_purchase_stays_pending_without_history(sim, conn, term):
    tujuan = nomor()
    offer = offers_for(tujuan)[1]
    rec = conn.transaksi(checked(conn, term, "CRP", offer["productType"], offer["offerId"], tujuan))
    message = "Transaksi %s ke %s sedang diproses" % (offer["offerId"], tujuan)
    assert (rec.status, rec.pesan, rec.serialnumber) == ("pending", message, "")
    assert hits(sim, "/history") == 0 and term.lines == [SENDING, (message, "sukses"), FROM_HISTORY]
    assert bought(sim, tujuan)[-1]["fields"]["registrationKey"] == offer["registrationKey"]


def test_purchase_found_on_a_later_pass(sim, conn, term):
    sim.history_delay = 1.5
    rec = checked(conn, term, "PULSA", "DEKOTOPUP", "TP10", nomor())
    started = time.monotonic()
    rec = conn.transaksi(rec)
    assert rec.status == "sukses" and rec.serialnumber == bought(sim, rec.tujuan)[-1]["batchId"]
    warnings = term.lines.count(NOT_YET)
    assert 1 <= warnings <= 3 and hits(sim, "/history") == warnings + 1
    assert time.monotonic() - started >= 1.4


def test_purchase_never_found_in_history(sim, conn, term, monkeypatch):
    sim.history_delay = 3600.0
    pauses = []
    monkeypatch.setattr(mod, "sleep", lambda s: (pauses.append(s), time.sleep(0.05)))
    rec = conn.transaksi(checked(conn, term, "KPK", "FRC", "FRC 7D", nomor()))
    message = "Transaksi FRC 7D ke %s sedang diproses" % rec.tujuan
    assert (rec.status, rec.pesan, rec.serialnumber) == ("pending", message, "")
    assert hits(sim, "/history") == 6 and term.lines.count(NOT_YET) == 5 and pauses == [1] * 5


@pytest.mark.parametrize("menu,end,status,pesan,line", [
    ("KPK", "1", "sukses", "KPK {tujuan}: kuota 10GB", ("Cek KPK Berhasil", "sukses")),
    ("spv", "1", "sukses", "SPV {tujuan}: voucher 5GB", ("Cek spv Berhasil", "sukses")),
])
def test_menu_check(sim, conn, term, menu, end, status, pesan, line):
    tujuan = nomor(end)
    rec = conn.menu_cek(record("KPK", "CEK", menu, tujuan))
    assert rec.status == status and rec.pesan.startswith(pesan.format(tujuan=tujuan))
    assert term.lines == [line] and hits(sim, "/check/%s" % menu.lower()) == 1


@pytest.mark.parametrize("same_product,as62,row,found", [
    (True, True, {"harga": "10500", "orderid": None}, True),
    (True, False, {"harga": 9999, "orderid": None}, False),
    (False, False, {"harga": None, "orderid": "BATCH"}, True),
    (True, False, {"harga": 10500, "orderid": "B-TIDAK-ADA"}, False),
])
def test_previous_transaction(sim, conn, term, same_product, as62, row, found):
    first = conn.transaksi(checked(conn, term, "PULSA", "DEKOTOPUP", "TP10", nomor()))
    assert first.status == "sukses"
    tujuan = "62" + first.tujuan[1:] if as62 else first.tujuan
    again = record("PULSA", "DEKOTOPUP", "TP10" if same_product else "TP5", tujuan)
    row = dict(row, orderid=first.serialnumber if row["orderid"] == "BATCH" else row["orderid"])
    result = conn.get_previous_transaksi(again, row)
    assert hits(sim, "/history") == 2 and result is (again if found else None)
    earlier = ("sukses", "Transaksi sudah pernah berhasil utk pembelian paket ke %s sebesar 10500 ." % tujuan,
               first.serialnumber)
    assert (again.status, again.pesan, again.serialnumber) == (earlier if found else ("", "", ""))


def test_other_threads_run_while_the_matcher_pauses(sim, conn):
    count, stop = [0], threading.Event()

    def busy():
        while not stop.is_set():
            count[0] += 1

    worker = threading.Thread(target=busy, daemon=True)
    worker.start()
    try:
        time.sleep(0.1)
        start = count[0]
        time.sleep(0.3)  # reference: a plain Python sleep in this thread
        reference = (count[0] - start) / 0.3
        rec = record("PULSA", "DEKOTOPUP", "NOPE", nomor())
        start, began = count[0], time.monotonic()
        assert conn.get_transaksi_history(rec, rec.tujuan, datetime.datetime.now(), counter=4) is rec
        elapsed, grew = time.monotonic() - began, count[0] - start
    finally:
        stop.set()
        worker.join(2)
    assert 0.9 <= elapsed < 3 and hits(sim, "/history") == 2
    assert grew > 0.3 * reference * elapsed, (grew, reference, elapsed)
