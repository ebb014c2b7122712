"""The connection end to end over real HTTP against the simulated provider."""
import datetime
import io
import itertools
import threading
import time

import pytest

from apps.deko.libs.connections import dekoconnection as mod
from apps.deko.libs.connections.hostconnection import HostDekoConnection
from apps.deko.libs.terminal import Terminal
from apps.deko.models.objects.transaksi import Produk, Transaksi
from simulator.provider import BASE_CATALOGUE, ProviderSimulator, offers_for

CONFIG = {"nomor": "081200000001", "idretail": "RTL001", "nomor_transaksi": "TRX-E2E",
          "reply_ip": "127.0.0.1", "reply_port": 9}
RELOGIN = ("Login Habis. Mencoba Login Kembali...", "warning")
SENDING = ("Mengirim Transaksi...", "default")
FROM_HISTORY = ("Mengambil Transaksi Dari History...", "warning")
NOT_YET = ("Belum menemukan transaksi di history...", "warning")
MISSING_OFFER = "Produk Tidak Ditemukan, Pastikan PAKETID dan MSISDN Produk Sudah Benar"
_numbers = itertools.count(1)


def nomor(end="1"):
    """A destination not used by any other test ("...99" fails at the provider, "...98" stays pending)."""
    return "0813%06d%s" % (next(_numbers), end)


def now_utc7():
    return datetime.datetime.now(datetime.timezone(datetime.timedelta(hours=7))).replace(tzinfo=None)


def wait_until(check, timeout=3.0):
    deadline = time.monotonic() + timeout
    while not check() and time.monotonic() < deadline:
        time.sleep(0.02)
    return check()


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
    yield sim
    sim.clear_faults()


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


def record(tipe, kategori, paketid, tujuan, pin="1234"):
    return Transaksi(Produk(tipe, kategori, paketid), tujuan, pin=pin)


def checked(conn, term, *args, **kwargs):
    rec = record(*args, **kwargs)
    assert conn.cek(rec).status == "sukses", rec.pesan
    del term.lines[:]
    return rec


# Session -----------------------------------------------------------------------------------------

def test_login_with_inbox_otp_then_balance(sim, term):
    connection, before = HostDekoConnection(None, term), sim.otp_logins
    result = connection.login()
    otp = sim.inbox(CONFIG["nomor"])[-1]["otp"]
    assert (result.status, result.pesan) == (True, "Login Berhasil Dengan OTP %s" % otp)
    assert term.auth_token and sim.otp_logins == before + 1 and term.lines == []
    saldo = connection.cek_saldo()
    assert saldo == {"Total": str(sim.balance), "Bonus": "0", "Currency": "IDR"}
    assert term.lines == [("Mengecek Saldo...", "default"), ("Cek Saldo Berhasil", "sukses")]
    del term.lines[:]
    assert connection.cek_saldo(True) == saldo and term.lines == [("Login Berhasil", "sukses")]
    assert sim.otp_logins == before + 1  # the stored token served both balance requests


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


# Injected faults ---------------------------------------------------------------------------------

FAULTS = [("drop", {}), ("http500", {}), ("delay", {"delay": 1.5}), ("refuse", {})]


@pytest.fixture
def short_timeout(monkeypatch):
    monkeypatch.setenv("DEKO_PROVIDER_TIMEOUT", "1.0")  # the injected delay is 1.5 s


@pytest.mark.parametrize("kind,opts", FAULTS)
def test_balance_fault_gives_fallback(sim, conn, term, short_timeout, kind, opts):
    sim.inject("/balance", kind, **opts)
    assert conn.cek_saldo() == {"Total": "0"}
    assert term.lines == [("Mengecek Saldo...", "default")] and term.errors == []
    assert conn.cek_saldo()["Total"] == str(sim.balance)  # the next request is served again


@pytest.mark.parametrize("kind,opts,line,result", [
    ("drop", {}, "Cek Paket Gagal", "Koneksi Terputus"),
    ("http500", {}, "Service Unavailable", "Service Unavailable"),
    ("delay", {"delay": 1.5}, "Cek Paket Gagal", "Koneksi Terputus"),
    ("refuse", {}, "Layanan sedang gangguan", "Layanan sedang gangguan"),
])
def test_offer_lookup_fault(sim, conn, term, short_timeout, kind, opts, line, result):
    tujuan = nomor()
    sim.inject("/offers", kind, **opts)
    assert list(conn.get_produk_terbaik(tujuan, offers_for(tujuan)[0]["offerId"])) == [False, result]
    assert term.lines == [(line, "gagal")] and hits(sim, "/offers") == 1


@pytest.mark.parametrize("kind,opts,count,attempts,failed", [
    ("drop", {}, None, 4, ("Koneksi Terputus", "Pembelian Gagal")),
    ("drop", {}, 1, 2, None),
    ("http500", {}, 1, 1, ("[Deko]: Service Unavailable", "Service Unavailable")),
    ("delay", {"delay": 1.5}, 1, 2, None),
    ("refuse", {}, 1, 1, ("[Deko]: Layanan sedang gangguan", "Layanan sedang gangguan")),
])
def test_purchase_fault(sim, conn, term, short_timeout, kind, opts, count, attempts, failed):
    rec = checked(conn, term, "PULSA", "DEKOTOPUP", "TP10", nomor())
    sim.inject("/purchase", kind, count=count, **opts)
    rec = conn.transaksi(rec)
    assert hits(sim, "/purchase") == attempts and term.lines[:attempts] == [SENDING] * attempts
    if failed:
        assert (rec.status, rec.pesan, rec.serialnumber) == ("gagal", failed[0], "")
        assert term.lines[attempts:] == [(failed[1], "gagal")] and hits(sim, "/history") == 0
    else:
        assert rec.status == "sukses" and rec.serialnumber in [e["batchId"] for e in bought(sim, rec.tujuan)]
    if kind == "delay":  # the provider still carries out the purchase whose answer timed out
        assert wait_until(lambda: len(bought(sim, rec.tujuan)) == 2)


# Catalogue and product checks --------------------------------------------------------------------

def test_catalogue_pull(sim, conn, term):
    numbers = [nomor(), nomor()]
    result = conn.tarik_produk("%s,,%s," % tuple(numbers))
    assert result.status and hits(sim, "/products") == 3 and hits(sim, "/offers") == 2
    records = result.pesan
    keys = ["kodeproduk", "tipe", "paketid", "harga", "kategori", "nama", "keterangan"]
    assert all(list(r) == keys and r["keterangan"] == "" for r in records)
    merged = {}
    for code in ("0", "1", "3"):
        merged.update(BASE_CATALOGUE[code])
    regular = [p["CODE"] for products in merged.values() for p in products]
    offers = [o["offerId"] for n in numbers for o in offers_for(n)]
    assert [r["paketid"] for r in records] == regular + offers
    assert {r["tipe"] for r in records} == {"PULSA", "PAKET", "KPK", "SPV", "NEW_TYPE", "CRP"}
    by_id = {r["paketid"]: r for r in records}
    assert by_id["X1.5-G 2"] == {"kodeproduk": "X15G2", "tipe": "PAKET", "paketid": "X1.5-G 2", "harga": 12000,
                                 "kategori": "DEKOPACKAGE", "nama": "Xtra 1.5GB 2 Hari", "keterangan": ""}
    assert (by_id["TP25"]["nama"], by_id["TPA100"]["kategori"], by_id["SPV5"]["tipe"]) == (
        "<b>Pulsa</b> 25.000", "DEKOTOPUPALL", "SPV")
    offer = offers_for(numbers[0])[0]
    assert by_id[offer["offerId"]]["nama"] == offer["offerDescription"].replace("<p>", "").replace(
        "</p>", "").replace("<div>", "").replace("</div>", "")
    assert "TPA20" not in by_id and term.lines == [] and term.errors == []


@pytest.mark.parametrize("tipe,kategori,paketid,status,nama,harga,line", [
    ("PULSA", "DEKOTOPUP", "TP10", "sukses", "Pulsa 10.000", 10500,
     "Cek Produk (TP10) Pulsa 10.000 dengan harga 10500 Berhasil"),
    ("PULSA", "DEKOTOPUP", "TP25", "sukses", "TP25", "25500", "Cek Produk TP25 dengan harga 25500 Berhasil"),
    ("crp", "DATA_PACKAGE", 0, "sukses", None, None, None),
    ("PULSA", "DEKOTOPUP", "NOPE", "gagal", "", None,
     "Produk Tidak Ditemukan, Pastikan PAKETID dan KATEGORI Produk Sudah Benar"),
    ("CRP", "DATA_PACKAGE", "OF-NOPE.1", "gagal", "", None, None),
])
def test_product_check(sim, conn, term, tipe, kategori, paketid, status, nama, harga, line):
    tujuan = nomor()
    if paketid == 0:  # the number's first best offer
        offer = offers_for(tujuan)[0]
        paketid, nama, harga = offer["offerId"], offer["offerShortDesc"], offer["productPrice"]
        line = "Cek Produk %s dengan harga %s Berhasil" % (nama, harga)
    rec = conn.cek(record(tipe, kategori, paketid, tujuan))
    assert (rec.status, rec.produk.nama) == (status, nama)
    if status == "sukses":
        assert rec.inq.harga == harga and rec.pesan == rec.inq.data and "<" not in rec.pesan
        assert term.lines == [(line, "sukses")]
    else:
        assert rec.inq is None and term.lines == ([(line, "gagal")] if line else [])
        assert rec.pesan == ("Produk Tidak Ditemukan" if line else MISSING_OFFER)


# Purchases ---------------------------------------------------------------------------------------

@pytest.mark.parametrize("tipe,kategori,paketid,end,endpoint,status,amount", [
    ("PULSA", "DEKOTOPUP", "TP10", "1", "/purchase", "sukses", "10500"),
    ("PULSA", "DEKOTOPUPALL", "TPA100", "1", "/purchase", "sukses", "100500"),
    ("PAKET", "DEKOPACKAGE", "DP 10GB", "1", "/purchase", "sukses", "65000"),
    ("KPK", "FRC", "FRC 7D", "1", "/purchase/kpk", "sukses", "9000"),
    ("spv", "SPVBLANK", "SPV5", "1", "/purchase/spv", "sukses", "30000"),
    ("PULSA", "DEKOTOPUP", "TP10", "99", "/purchase", "gagal", "Saldo operator gagal"),
    ("KPK", "FRC", "FRC-KPK1", "98", "/purchase/kpk", "pending", "Transaksi sedang diproses"),
])
def test_purchase_settled_from_history(sim, conn, term, tipe, kategori, paketid, end, endpoint, status, amount):
    rec = checked(conn, term, tipe, kategori, paketid, nomor(end))
    result = conn.transaksi(rec)
    assert result is rec and hits(sim, endpoint) == 1 and hits(sim, "/history") == 1
    sent = bought(sim, rec.tujuan)[-1]
    assert sent["endpoint"] == endpoint and sent["fields"]["trx"] == "TRX-E2E"
    assert sent["fields"].get("kategori", "DEKOTOPUP") != "DEKOTOPUPALL"
    assert (rec.status, rec.serialnumber) == (status, sent["batchId"])
    if status == "sukses":
        assert rec.pesan == "Transaksi berhasil utk pembelian produk %s ke %s sebesar %s ." % (
            rec.produk.nama, rec.tujuan, amount)
    else:
        assert rec.pesan == amount
    assert term.lines[:1] == [SENDING] and term.lines[2:] == [FROM_HISTORY]
    assert term.lines[1] == ("Transaksi %s ke %s sedang diproses" % (paketid, rec.tujuan), "sukses")


def test_purchase_refused_for_wrong_pin(sim, conn, term):
    rec = checked(conn, term, "PULSA", "DEKOTOPUP", "TP10", nomor(), pin="0000")
    rec = conn.transaksi(rec)
    assert (rec.status, rec.pesan, rec.serialnumber) == ("gagal", "[Deko]: PIN salah", "")
    assert term.lines == [SENDING, ("PIN salah", "gagal")] and hits(sim, "/history") == 0
    assert bought(sim, rec.tujuan) == []


def test_best_offer_purchase_stays_pending_without_history(sim, conn, term):
    tujuan = nomor()
    offer = offers_for(tujuan)[1]
    rec = checked(conn, term, "CRP", offer["productType"], offer["offerId"], tujuan)
    rec = conn.transaksi(rec)
    message = "Transaksi %s ke %s sedang diproses" % (offer["offerId"], tujuan)
    assert (rec.status, rec.pesan, rec.serialnumber) == ("pending", message, "")
    assert hits(sim, "/history") == 0 and term.lines == [SENDING, (message, "sukses"), FROM_HISTORY]
    fields = bought(sim, tujuan)[-1]["fields"]
    assert {k: fields[k] for k in ("offerId", "harga", "idretail", "registrationKey", "retailerIncentive")} == {
        "offerId": offer["offerId"], "harga": offer["productPrice"], "idretail": "RTL001",
        "registrationKey": offer["registrationKey"], "retailerIncentive": offer["retailerIncentive"]}


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
    rec = checked(conn, term, "KPK", "FRC", "FRC 7D", nomor())
    rec = conn.transaksi(rec)
    message = "Transaksi FRC 7D ke %s sedang diproses" % rec.tujuan
    assert (rec.status, rec.pesan, rec.serialnumber) == ("pending", message, "")
    assert hits(sim, "/history") == 6 and term.lines.count(NOT_YET) == 5 and pauses == [1] * 5


# Menu checks -------------------------------------------------------------------------------------

@pytest.mark.parametrize("menu,end,fault,status,pesan,lines,requests", [
    ("KPK", "1", None, "sukses", "KPK {tujuan}: kuota 10GB", [("Cek KPK Berhasil", "sukses")], 1),
    ("spv", "1", None, "sukses", "SPV {tujuan}: voucher 5GB", [("Cek spv Berhasil", "sukses")], 1),
    ("KPK", "000", None, "gagal", "[Deko]: Nomor tidak valid", [("Nomor tidak valid", "gagal")], 1),
    ("SPV", "1", "drop", "gagal", "Koneksi Terputus", [("Cek Gagal", "gagal")], 4),
    ("PULSA", "1", None, "gagal", "Menu CEK Tidak Ditemukan", [], 0),
])
def test_menu_check(sim, conn, term, menu, end, fault, status, pesan, lines, requests):
    tujuan, path = nomor(end), "/check/%s" % menu.lower()
    if fault:
        sim.inject(path, fault, count=None)
    rec = conn.menu_cek(record("KPK", "CEK", menu, tujuan))
    assert rec.status == status and rec.pesan.startswith(pesan.format(tujuan=tujuan))
    assert term.lines == lines and hits(sim, path) == requests


# Previous-transaction lookup ---------------------------------------------------------------------

@pytest.mark.parametrize("same_product,as62,row,found", [
    (True, False, {"harga": 10500, "orderid": None}, True),
    (True, True, {"harga": "10500", "orderid": None}, True),
    (True, False, {"harga": None, "orderid": None}, True),
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
    before = hits(sim, "/history")
    result = conn.get_previous_transaksi(again, row)
    assert hits(sim, "/history") == before + 1
    if not found:
        assert result is None and (again.status, again.serialnumber) == ("", "")
        return
    assert result is again and (again.status, again.serialnumber) == ("sukses", first.serialnumber)
    assert again.pesan == "Transaksi sudah pernah berhasil utk pembelian paket ke %s sebesar 10500 ." % tujuan


# Threads -----------------------------------------------------------------------------------------

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
        assert conn.get_transaksi_history(rec, rec.tujuan, now_utc7(), counter=4) is rec
        elapsed, grew = time.monotonic() - began, count[0] - start
    finally:
        stop.set()
        worker.join(2)
    assert 0.9 <= elapsed < 3 and hits(sim, "/history") == 2
    assert grew > 0.3 * reference * elapsed, (grew, reference, elapsed)
