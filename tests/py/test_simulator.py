"""The simulated provider over real HTTP on loopback: what the end-to-end tests take for granted."""
import calendar
import time

import pytest
import urllib3

from apps.deko.models import requests as R
from simulator import ProviderSimulator


def send(cls, auth="", **fields):
    return cls(auth=auth, **fields).makerequest(urllib3.PoolManager(), None)


@pytest.fixture
def sim(request, monkeypatch):
    with ProviderSimulator(**getattr(request, "param", {})) as simulator:
        monkeypatch.setenv("DEKO_PROVIDER_URL", simulator.url)
        yield simulator


@pytest.fixture
def token(sim):
    assert send(R.LoginNomor, msisdn="6281200000001", idretail="RTL001").sukses
    assert send(R.LoginOtp, msisdn="081200000001", otp="x", idretail="RTL001").error_msg == "OTP salah"
    otp = sim.inbox("081200000001")[-1]["otp"]
    return send(R.LoginOtp, msisdn="081200000001", otp=otp, idretail="RTL001").response["gatewayToken"]


@pytest.mark.parametrize("sim", [{"token_lifetime": 0.3}], indirect=True)
def test_token_lifetime(sim, token):
    assert send(R.Balance, auth=token).balance["Total"] == "5000000"
    time.sleep(0.4)
    assert send(R.Balance, auth=token).error_msg == "invalid_token"


@pytest.mark.parametrize("fields,error", [({"kodeproduk": "NOPE"}, "Produk tidak ditemukan"),
                                          ({"harga": 9001}, "Harga tidak sesuai"), ({"harga": "9000.0"}, "")])
def test_purchase_refusals(sim, token, fields, error):
    fields = dict(dict(msisdn="08123456789", pin="1234", kodeproduk="FRC 7D", harga=9000, trx="TRX1"), **fields)
    answer = send(R.TransaksiKPK, auth=token, **fields)
    assert (answer.sukses, answer.error_msg, sim.ledger[-1]["accepted"]) == (not error, error, not error)
    assert sim.balance == 5000000 - (0 if error else 9000)


@pytest.mark.parametrize("cls,fields,destination,shown,key", [
    (R.TransaksiKPK, dict(kodeproduk="FRC 7D", harga=9000), "08123456799", ["FRC 7D", "-", "9000", "GAGAL"], "msisdn"),
    (R.TransaksiSPV, dict(kategori="SPVBLANK", kodeproduk="SPV5", harga=30000), "6281234567898",
     ["SPV5", "30000.0", 30000, "PENDING"], "qrvoucher")])
def test_history_entry_shape(sim, token, cls, fields, destination, shown, key):
    assert send(cls, auth=token, msisdn=destination, pin="1234", trx="TRX1", **fields).sukses
    entry = send(R.History, auth=token).history[-1]
    assert 0 <= time.time() + 7 * 3600 - calendar.timegm(time.strptime(entry["submittedDate"], "%Y%m%d%H%M%S000")) < 5
    assert [entry[k] for k in ("productId", "productPrice", "finalSuccessPrice", "statusDesc")] == shown
    assert [sorted(d) for d in entry["trxDetail"]] == [sorted(["batchId", "statusDesc", key])]
    assert (entry["trxDetail"][0][key], entry["trxDetail"][0]["batchId"]) == (destination, sim.ledger[-1]["batchId"])


@pytest.mark.parametrize("when,accepted", [("before", False), ("after", True)])
def test_purchase_dropped(sim, token, when, accepted):
    sim.inject("/purchase", "drop", when=when)
    assert not send(R.Transaksi, auth=token, msisdn="08123456789", pin="1234", kodeproduk="TP10",
                    kategori="DEKOTOPUP", nama="Pulsa", harga=10500, trx="TRX1").conn
    assert (sim.ledger[-1]["accepted"], sim.ledger[-1]["fault"]) == (accepted, "drop:" + when)
    assert len(send(R.History, auth=token).history) == accepted


@pytest.mark.parametrize("kind,answer", [("refuse", ("Gangguan acak", 200)), ("http500", ("Gangguan acak", 503))])
def test_random_faults_by_kind(sim, kind, answer):
    sim.random_faults(rates={kind: 1.0, "drop": 0.0})
    got = send(R.LoginNomor, msisdn="6281200000001", idretail="RTL001")
    assert (got.error_msg, got.http_status) == answer
