"""The simulated provider and the host-side stand-ins, over real HTTP on loopback."""
import datetime
import json
import os
import socket
import sys
import time

import pytest
import urllib3

sys.path.insert(0, os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))

from apps.deko.libs.connections.commonconnection import CommonConnection  # noqa: E402
from apps.deko.libs.databases.sqlite import SqliteTransaksi  # noqa: E402
from apps.deko.libs.terminal import Terminal  # noqa: E402
from apps.deko.libs.utils.tools import normalizemsisdn, remove_html_tags  # noqa: E402
from apps.deko.models import requests as R  # noqa: E402
from apps.deko.models.objects.inquery import InqueryDetail  # noqa: E402
from apps.deko.models.objects.transaksi import Produk, Transaksi  # noqa: E402
from simulator import ProviderSimulator, TerminalListener  # noqa: E402

CONFIG = {"nomor": "0812-0000-0001", "idretail": "RTL001", "nomor_transaksi": "TRX1",
          "reply_ip": "127.0.0.1", "reply_port": 0}
HTTP = urllib3.PoolManager()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def send(cls, **fields):
    request = cls(**fields)
    request.makerequest(HTTP, None)
    return request


def login(terminal):
    now = datetime.datetime.now()
    assert send(R.LoginNomor, auth="", msisdn="6281200000001", idretail="RTL001").sukses
    otp = terminal.getOtp(now.strftime("%H:%M:%S"), now.strftime("%Y-%m-%d"))
    return send(R.LoginOtp, auth="", msisdn="081200000001", otp=otp, idretail="RTL001")


@pytest.fixture
def sim(request, monkeypatch):
    simulator = ProviderSimulator(**getattr(request, "param", {})).start()
    monkeypatch.setenv("DEKO_PROVIDER_URL", simulator.url)
    yield simulator
    simulator.stop()


@pytest.fixture
def token(sim):
    return login(Terminal(CONFIG, otp_wait=1.0)).response["gatewayToken"]


def test_login_refusals_and_otp(sim):
    unknown = send(R.LoginNomor, auth="", msisdn="0812999", idretail="RTL001")
    assert (unknown.conn, unknown.sukses, unknown.error_msg) == (True, False, "Nomor tidak terdaftar")
    send(R.LoginNomor, auth="", msisdn="081200000001", idretail="RTL001")
    wrong = send(R.LoginOtp, auth="", msisdn="081200000001", otp="x", idretail="RTL001")
    assert wrong.error_msg == "OTP salah" and wrong.response is None
    assert Terminal(CONFIG, provider_url=sim.url, otp_wait=0.2).getOtp("23:59:59", "2999-01-01") is None
    assert login(Terminal(CONFIG, otp_wait=1.0)).sukses and sim.otp_logins == 1


@pytest.mark.parametrize("sim,expire", [
    ({}, lambda sim: sim.expire_all_tokens()),
    ({}, lambda sim: HTTP.request("POST", sim.url + "/_sim/expire", body=b"{}")),
    ({"token_lifetime": 0.2}, lambda sim: time.sleep(0.3)),
], indirect=["sim"], ids=["call", "http", "lifetime"])
def test_token_expiry(sim, token, expire):
    balance = send(R.Balance, auth=token)
    assert balance.sukses and balance.balance["Total"] == "5000000"
    expire(sim)
    expired = send(R.Balance, auth=token)
    assert (expired.conn, expired.sukses, expired.error_msg, expired.balance) == (True, False, "invalid_token", None)


@pytest.mark.parametrize("kind,options,conn,status,error", [
    ("drop", {}, False, None, ""),
    ("delay", {"delay": 1.0}, False, None, ""),
    ("http500", {"status": 503}, True, 503, "Service Unavailable"),
    ("refuse", {"error": "Sedang gangguan"}, True, 200, "Sedang gangguan"),
    ("closed", {}, False, None, ""),
])
def test_fault_kinds(sim, token, monkeypatch, kind, options, conn, status, error):
    monkeypatch.setenv("DEKO_PROVIDER_TIMEOUT", "0.3")
    if kind == "closed":
        monkeypatch.setenv("DEKO_PROVIDER_URL", "http://127.0.0.1:%d" % free_port())
    else:
        sim.inject("/products", kind, **options)
    hit = send(R.Produk, auth=token, kategori="0")
    assert (hit.conn, hit.sukses, hit.http_status, hit.error_msg, hit.produk) == (conn, False, status, error, None)
    monkeypatch.setenv("DEKO_PROVIDER_URL", sim.url)
    after = send(R.Produk, auth=token, kategori="0")
    assert after.sukses and after.get_produk("TP25", "0")["DISPLAY_NAME"] == "TP25"


@pytest.mark.parametrize("fields,error", [
    ({"pin": "0000"}, "PIN salah"),
    ({"kodeproduk": "NOPE"}, "Produk tidak ditemukan"),
    ({"harga": 9001}, "Harga tidak sesuai"),
    ({"harga": "abc"}, "Harga tidak sesuai"),
    ({"harga": "9000.0"}, ""),
])
def test_purchase_refusals(sim, token, fields, error):
    base = dict(auth=token, msisdn="08123456789", pin="1234", kodeproduk="FRC 7D", harga=9000, trx="TRX1")
    base.update(fields)
    answer = send(R.TransaksiKPK, **base)
    assert (answer.sukses, answer.error_msg) == (not error, error)
    assert sim.ledger[-1]["accepted"] == (not error) and sim.ledger[-1]["error"] == error
    assert sim.balance == 5000000 - (0 if error else 9000)


@pytest.mark.parametrize("cls,fields,price,final,status,detail", [
    (R.Transaksi, dict(kodeproduk="TP25", kategori="DEKOTOPUP", nama="x", harga="25500"),
     "25500", 25500, "Sukses", {"msisdn": "08123456789"}),
    (R.TransaksiKPK, dict(kodeproduk="FRC 7D", harga=9000), "-", "9000", "GAGAL", {"msisdn": "08123456799"}),
    (R.TransaksiSPV, dict(kategori="SPVBLANK", kodeproduk="SPV5", harga=30000),
     "30000.0", 30000, "PENDING", {"qrvoucher": "6281234567898"}),
])
def test_history_entry_shape(sim, token, cls, fields, price, final, status, detail):
    destination = list(detail.values())[0]
    answer = send(cls, auth=token, msisdn=destination, pin="1234", trx="TRX1", **fields)
    assert answer.sukses and answer.msg == "Transaksi %s ke %s sedang diproses" % (fields["kodeproduk"], destination)
    entry = send(R.History, auth=token).history[-1]
    submitted = datetime.datetime.strptime(entry["submittedDate"][:-3], "%Y%m%d%H%M%S")
    utc7 = datetime.datetime.utcnow() + datetime.timedelta(hours=7)
    assert entry["submittedDate"].endswith("000") and abs((utc7 - submitted).total_seconds()) < 5
    assert (entry["productId"], entry["productPrice"], entry["finalSuccessPrice"], entry["statusDesc"]) == (
        fields["kodeproduk"], price, final, status)
    first = entry["trxDetail"][0]
    assert set(first) == {"batchId", "statusDesc"} | set(detail) and first[list(detail)[0]] == destination
    assert first["batchId"] == sim.ledger[-1]["batchId"] and sim.ledger[-1]["outcome"] == status.upper()


def test_offer_purchase_and_history_delay(monkeypatch):
    with ProviderSimulator(history_delay=0.5) as sim:
        monkeypatch.setenv("DEKO_PROVIDER_URL", sim.url)
        token = login(Terminal(CONFIG, otp_wait=1.0)).response["gatewayToken"]
        offers = send(R.ProdukTerbaik, auth=token, msisdn="08123456789")
        offer = offers.produkById(offers.produk[-1]["offerId"])
        assert 2 <= len(offers.produk) <= 4 and "<p>" in offer["offerDescription"]
        assert send(R.ProdukTerbaik, auth=token, msisdn="0812345000").error_msg == "Nomor tidak valid"
        bought = send(R.TransaksiTerbaik, auth=token, msisdn="08123456789", pin="1234", trx="TRX1",
                      idretail="RTL001", harga=offer["productPrice"], productType=offer["productType"],
                      offerId=offer["offerId"], recommendationName=offer["recommendationName"],
                      registrationKey=offer["registrationKey"], retailerIncentive=offer["retailerIncentive"])
        assert bought.sukses and send(R.History, auth=token).history == []
        time.sleep(0.6)
        assert send(R.History, auth=token).history[-1]["productId"] == offer["offerId"]


@pytest.mark.parametrize("when,accepted,in_history", [("before", False, 0), ("after", True, 1)])
def test_purchase_dropped(sim, token, when, accepted, in_history):
    sim.inject("/purchase", "drop", when=when)
    answer = send(R.Transaksi, auth=token, msisdn="08123456789", pin="1234", kodeproduk="TP10",
                  kategori="DEKOTOPUP", nama="Pulsa", harga=10500, trx="TRX1")
    assert not answer.conn
    assert (sim.ledger[-1]["accepted"], sim.ledger[-1]["fault"]) == (accepted, "drop:" + when)
    assert len(send(R.History, auth=token).history) == in_history


@pytest.mark.parametrize("target,status,ok", [("listener", 200, True), ("listener", 500, False),
                                              ("closed", None, False)])
def test_terminal_h2h(target, status, ok):
    with TerminalListener(status=status or 200) as listener:
        port = listener.port if target == "listener" else free_port()
        text = json.dumps({"status": "sukses", "pesan": "Transaksi berhasil"})
        if ok:
            assert CommonConnection(None).terminal_h2h("127.0.0.1", str(port), text) == 200
            assert listener.wait_for(1, 2.0) and listener.received == [text]
        else:
            with pytest.raises(Exception):
                CommonConnection(None).terminal_h2h("127.0.0.1", port, text)
            assert not listener.wait_for(1, 0.1)


@pytest.mark.parametrize("number,start,expected", [
    ("081234567890", "62", "6281234567890"), ("+62 812-3456-7890", "62", "6281234567890"),
    ("81234567890", "08", "081234567890"), ("6281234567890", "08", "081234567890"), ("12345", "62", "12345"),
])
def test_normalizemsisdn(number, start, expected):
    assert normalizemsisdn(number, start=start) == expected


def test_records_store_and_console():
    record = Transaksi(Produk("PULSA", "DEKOTOPUP", "TP10"), "08123", inq=InqueryDetail(10500, {
        "nama": "Pulsa 10rb", "desc": remove_html_tags("<p>Pulsa <b>reguler</b></p>")}))
    assert record.inq.data == "Pulsa 10rb, harga 10500. Pulsa reguler" and record.tujuan_reply == "08123"
    record.status = "sukses"
    assert record.sukses
    record.status, record.serialnumber = "gagal", "B1"
    assert not record.sukses
    store = SqliteTransaksi()
    store.simpan(record)
    assert store.ambil(record.idtrx)["harga"] == 10500 and store.ambil(record.idtrx)["orderid"] == "B1"
    assert store.ambil("none") is None
    terminal = Terminal(CONFIG, stream=open(os.devnull, "w"))
    terminal.console("Cek Saldo\nBerhasil", "sukses")
    assert terminal.lines == [("Cek Saldo Berhasil", "sukses")]
    assert terminal.logException(KeyError("x")) == "Error: KeyError: 'x'" and len(terminal.errors) == 1


def test_module_relogin_end_to_end(sim, capsys):
    dekoconnection = pytest.importorskip("apps.deko.libs.connections.dekoconnection")
    terminal = Terminal(CONFIG, otp_wait=1.0)
    connection = dekoconnection.DekoConnection(None, terminal)
    assert connection.cek_saldo(True) == {"Total": "5000000", "Bonus": "0", "Currency": "IDR"}
    assert [level for _, level in terminal.lines] == ["warning", "sukses", "sukses"]
    assert terminal.auth_token and sim.otp_logins == 1 and "Login Berhasil" in capsys.readouterr().out
