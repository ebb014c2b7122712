"""The connection end to end over real HTTP against the simulated provider."""
import io
import itertools
import time
import types

import pytest

from apps.deko.libs.connections import dekoconnection as mod
from apps.deko.libs.connections.hostconnection import HostDekoConnection
from apps.deko.libs.terminal import Terminal
from apps.deko.models.objects.transaksi import Produk, Transaksi
from simulator.provider import ProviderSimulator

SENDING = ("Mengirim Transaksi...", "default")
_numbers = itertools.count(1)


@pytest.fixture(scope="module")
def sim():
    with ProviderSimulator(port=0) as simulator:
        yield simulator


@pytest.fixture(autouse=True)
def provider(sim, monkeypatch):
    monkeypatch.setenv("DEKO_PROVIDER_URL", sim.url)
    monkeypatch.setenv("DEKO_PROVIDER_TIMEOUT", "5")
    sim.clear_faults(), sim.clear_history(), sim.requests.clear()


@pytest.fixture
def term():
    return Terminal({"nomor": "081200000001", "idretail": "RTL001", "nomor_transaksi": "TRX-E2E"},
                    stream=io.StringIO(), otp_wait=1.0)


@pytest.fixture
def conn(term):
    connection = HostDekoConnection(None, term)
    assert connection.login().status and term.auth_token
    return connection


def bought(sim, tujuan):
    """The provider's accepted purchases for a destination, oldest first."""
    return [e for e in sim.ledger if e["accepted"] and e["fields"].get("msisdn") == tujuan]


def checked(conn, term):
    """A checked purchase of a regular product to a destination no other test uses."""
    rec = Transaksi(Produk("PULSA", "DEKOTOPUP", "TP10"), "0813%06d1" % next(_numbers), pin="1234")
    assert conn.cek(rec).status == "sukses", rec.pesan
    del term.lines[:]
    return rec


@pytest.mark.parametrize("kind,when,count,sends,carried,lookups,failed", [
    ("drop", "before", None, 4, 0, 24, ("Koneksi Terputus", "Pembelian Gagal")),  # never carried out
    ("drop", "before", 1, 2, 1, 7, None),
    # Carried out, but the answer was lost or came after the time-out: found in the history, never sent again.
    ("drop", "after", 1, 1, 1, 1, None),
    ("delay", "after", 1, 1, 1, 1, None),
    # A server error: looked up too, never sent again; a failure only when the history does not show it.
    ("http500", "before", 1, 1, 0, 6, ("[Deko]: Service Unavailable", "Service Unavailable")),
    ("http500", "after", 1, 1, 1, 1, None),
    ("refuse", "before", 1, 1, 0, 0, ("[Deko]: Layanan sedang gangguan", "Layanan sedang gangguan")),
], ids=["dropped every time", "dropped once", "dropped after the purchase", "late after the purchase", "5xx before",
        "5xx after", "refused"])
def test_purchase_fault(sim, conn, term, monkeypatch, kind, when, count, sends, carried, lookups, failed):
    monkeypatch.setenv("DEKO_PROVIDER_TIMEOUT", "1.0")
    monkeypatch.setattr(mod, "sleep", lambda seconds: None)
    rec = checked(conn, term)
    sim.inject("/purchase", kind, count=count, when=when, delay=1.5)
    rec = conn.transaksi(rec)
    assert sim.requests.get("/purchase", 0) == sends == term.lines.count(SENDING)
    assert (len(bought(sim, rec.tujuan)), sim.requests.get("/history", 0)) == (carried, lookups)
    if failed:
        assert (rec.status, rec.pesan, rec.serialnumber) == ("gagal", failed[0], "")
        assert (failed[1], "gagal") in term.lines
    else:
        assert rec.status == "sukses" and rec.serialnumber == bought(sim, rec.tujuan)[0]["batchId"]


WRITTEN = {"dashes": lambda n: "%s-%s-%s" % (n[:4], n[4:8], n[8:]), "spaces": lambda n: "%s %s %s" % (n[:4], n[4:8], n[8:]),
           "+62": lambda n: "+62" + n[1:], "62": lambda n: "62" + n[1:]}


@pytest.mark.parametrize("written", list(WRITTEN))
@pytest.mark.parametrize("fault", [None, "drop"])
def test_a_number_written_another_way_is_settled_as_its_subscriber(sim, conn, term, monkeypatch, written, fault):
    """The provider's history shows the subscriber in its own form ("0813..."): the purchase is settled from it,
    after an accepted answer and after a lost one alike, and never bought again."""
    monkeypatch.setattr(mod, "sleep", lambda seconds: None)
    rec = checked(conn, term)
    national, rec.tujuan = rec.tujuan, WRITTEN[written](rec.tujuan)
    if fault:
        sim.inject("/purchase", fault, when="after")
    rec = conn.transaksi(rec)
    carried = bought(sim, rec.tujuan)
    assert (rec.status, len(carried), sim.requests["/purchase"]) == ("sukses", 1, 1)
    assert rec.serialnumber == carried[0]["batchId"] and [e["trxDetail"][0]["msisdn"] for e in sim.history()] == [
        national] and " ke %s sebesar " % rec.tujuan in rec.pesan


def test_attempts_of_one_record_are_one_purchase(sim, conn, term, monkeypatch):
    """The first attempt is carried out but its answer lost, and the history shows it only after that attempt's
    lookup; the later attempts (answers lost before the provider acts), each a second later by the clock, look for
    it from the first attempt's time on: settled from its entry, nothing carried out twice."""
    monkeypatch.setattr(mod, "sleep", lambda seconds: time.sleep(0.05))
    monkeypatch.setattr(sim, "history_delay", 0.5)
    real, seconds = mod.datetime.datetime, itertools.count()
    monkeypatch.setattr(mod, "datetime", types.SimpleNamespace(
        datetime=types.SimpleNamespace(now=lambda tz: real.now(tz) + mod.datetime.timedelta(seconds=next(seconds))),
        timezone=mod.datetime.timezone, timedelta=mod.datetime.timedelta))
    rec = checked(conn, term)
    sim.inject("/purchase", "drop", when="after"), sim.inject("/purchase", "drop", count=None)
    assert conn.transaksi(rec).status == "sukses" and 2 <= sim.requests["/purchase"] <= 4
    assert [rec.serialnumber] == [e["batchId"] for e in bought(sim, rec.tujuan)]


def test_equal_purchases_after_lost_answers_each_settle_from_their_own_entry(sim, conn, term, monkeypatch):
    """Two equal purchases, one answer lost and one answered HTTP 503 after the provider carried each out; the
    clock set back a minute so that each lookup sees both entries in its time window."""
    monkeypatch.setattr(mod, "sleep", lambda seconds: None)
    real = mod.datetime.datetime
    monkeypatch.setattr(mod, "datetime", types.SimpleNamespace(
        datetime=types.SimpleNamespace(now=lambda tz: real.now(tz) - mod.datetime.timedelta(minutes=1)),
        timezone=mod.datetime.timezone, timedelta=mod.datetime.timedelta))
    first = checked(conn, term)
    second = Transaksi(first.produk, first.tujuan, pin="1234", inq=first.inq)
    for kind in ("drop", "http500"):
        sim.inject("/purchase", kind, when="after")
    assert [conn.transaksi(r).status for r in (first, second)] == ["sukses", "sukses"]
    assert [first.serialnumber, second.serialnumber] == [e["batchId"] for e in bought(sim, first.tujuan)]
    assert sim.requests["/purchase"] == 2


@pytest.mark.parametrize("kind, status", [("refuse", "gagal"), ("http500", "pending")])
def test_random_faults_of_the_simulator(sim, conn, term, kind, status):
    """`--refuse-rate 1` or `--http500-rate 1`: every purchase refused with the provider's error text; after a
    server error the history cannot be read either (HTTP 503 too), so the purchase is left pending."""
    rec = checked(conn, term)
    sim.random_faults(rates={kind: 1.0})
    assert (conn.transaksi(rec).pesan, rec.status) == ("[Deko]: Gangguan acak", status)
    assert term.lines[1] == ("Gangguan acak", "gagal")
