"""Purchase transaction and menu check on a terminal's transaction record."""
import datetime as real_datetime
import itertools
import inspect
import os
import shutil
import sys
import textwrap
import types

import pytest

from fakes import DROP, NO_ANSWER, OK, Record, entry, refused

INSTANT = real_datetime.datetime(2024, 12, 1, 5, 30, 0, 250000, tzinfo=real_datetime.timezone.utc)
WALL_UTC7 = real_datetime.datetime(2024, 12, 1, 12, 30, 0, 250000)
SENDING = ("Mengirim Transaksi...", "default")
TO_HISTORY = ("Mengambil Transaksi Dari History...", "warning")
NOT_YET = ("Belum menemukan transaksi di history...", "warning")
OFFER = {"productPrice": 7000, "productType": "DATA", "recommendationName": "Rekom",
         "registrationKey": "RK1", "retailerIncentive": 150, "offerId": "not-sent"}


@pytest.fixture
def buy(conn, monkeypatch, mod):
    """A fixed clock recording the zones asked for; the matcher replaced by a recorder of calls and record states."""
    fake = types.SimpleNamespace(zones=[], calls=[], result="SETTLED")

    def settle(*args, **kwargs):
        fake.calls.append((args, kwargs, args[0].status, args[0].pesan))
        return fake.result
    now = types.SimpleNamespace(now=lambda tz: fake.zones.append(tz) or INSTANT.astimezone(tz))
    monkeypatch.setattr(mod, "datetime", types.SimpleNamespace(
        datetime=now, timezone=real_datetime.timezone, timedelta=real_datetime.timedelta))
    conn.get_transaksi_history = settle
    return fake


def sent(provider):
    return [(name, list(fields.items())) for name, fields in provider.sent]


# Purchase ------------------------------------------------------------------------------------

BASE = [("msisdn", "081234"), ("pin", "1234"), ("kodeproduk", "P1")]
PRICE = [("harga", 5000), ("trx", "TRX9"), ("auth", "T0")]


@pytest.mark.parametrize("tipe, kategori, cls, fields", [
    ("spv", "DEKOTOPUPALL", "TransaksiSPV", [("kategori", "DEKOTOPUPALL")] + BASE + PRICE),
    ("Kpk", "DEKOTOPUPALL", "TransaksiKPK", BASE + PRICE),
    ("PULSA", "DEKOTOPUPALL", "Transaksi", BASE + [("kategori", "DEKOTOPUP"), ("nama", "Pulsa 5")] + PRICE),
    ("paket", "dekotopupall", "Transaksi", BASE + [("kategori", "dekotopupall"), ("nama", "Pulsa 5")] + PRICE),
])
def test_accepted_purchase_is_sent_by_type_and_handed_to_the_matcher(
        conn, provider, terminal, buy, tipe, kategori, cls, fields):
    rec = Record(tipe=tipe, kategori=kategori)
    provider.default(cls, dict(OK, msg="Diproses"))
    assert conn.transaksi(rec) == "SETTLED"
    assert sent(provider) == [(cls, fields)] and terminal.lines == [SENDING, ("Diproses", "sukses"), TO_HISTORY]
    # The matcher sees the record already pending, and the UTC+7 wall clock without zone (unequal to one with).
    assert buy.calls == [((rec, "081234", WALL_UTC7), {"harga": 5000}, "pending", "Diproses")]
    assert [tz.utcoffset(None) for tz in buy.zones] == [real_datetime.timedelta(hours=7)]


def test_best_offer_purchase_uses_the_offer_and_skips_the_matcher(conn, provider, terminal, buy, monkeypatch, mod):
    lookups = []
    monkeypatch.setattr(mod, "sleep", lambda seconds: None)
    conn.get_produk_terbaik = lambda *a, **kw: lookups.append((a, kw)) or (True, OFFER)
    rec = Record(tipe="crp", paketid="OF1")
    provider.answer("TransaksiTerbaik", NO_ANSWER, dict(OK, msg="Diterima")).default("History", dict(OK, history=[]))
    assert conn.transaksi(rec) is rec
    assert lookups == [(("081234", "OF1"), {})] * 2  # looked up again on the retry
    assert sent(provider)[7] == ("TransaksiTerbaik", [
        ("msisdn", "081234"), ("pin", "1234"), ("harga", 7000), ("trx", "TRX9"), ("idretail", "RTL001"),
        ("productType", "DATA"), ("offerId", "OF1"), ("recommendationName", "Rekom"),
        ("registrationKey", "RK1"), ("retailerIncentive", 150), ("auth", "T0")])
    assert buy.calls == [] and rec.outcome() == ("pending", "Diterima", "sn awal")
    assert terminal.lines == [SENDING, TO_HISTORY] + [NOT_YET] * 5 + [SENDING, ("Diterima", "sukses"), TO_HISTORY]


@pytest.mark.parametrize("tipe, error, status, pesan, lines", [
    ("CRP", None, None, "Paket tidak ditemukan", [SENDING]),  # the best offer is not found: no purchase
    # Refusals that are no server error: no lookup.
    ("KPK", 500, None, "[Deko]: 500", [SENDING, (500, "gagal")]),
    ("KPK", "x", 404, "[Deko]: x", [SENDING, ("x", "gagal")]),
    ("KPK", "x", "503", "[Deko]: x", [SENDING, ("x", "gagal")]),
    ("KPK", "x", True, "[Deko]: x", [SENDING, ("x", "gagal")]),
])
def test_failed_purchase_skips_the_matcher(conn, provider, terminal, buy, tipe, error, status, pesan, lines):
    conn.get_produk_terbaik = lambda msisdn, offerid: (False, "Paket tidak ditemukan")
    provider.answer("TransaksiKPK", dict(refused(error), **({} if status is None else {"http_status": status})))
    rec = Record(tipe=tipe)
    assert conn.transaksi(rec) is rec
    assert rec.outcome() == ("gagal", pesan, "sn awal") and buy.calls == [] and terminal.lines == lines
    assert len(provider.sent) == (tipe == "KPK")


FAILED = ("gagal", "Koneksi Terputus", "sn awal")
EMPTY = dict(OK, history=[])
# The lost purchase in the history: at the price sent (5000; a best offer's 7000), and at another one.
FOUND = dict(OK, history=[entry(productPrice="6000", detail=dict(batchId="X")),
                          entry(detail=dict(batchId="LOST")), entry(productPrice="7000", detail=dict(batchId="OF"))])
SETTLED = ("sukses", "Transaksi berhasil utk pembelian produk Pulsa 5 ke 081234 sebesar %d .", "%s")
DOWN = dict(refused("Service Unavailable"), http_status=503)
DOWN_SHOWN, DOWN_STORED = ("Service Unavailable", "gagal"), "[Deko]: Service Unavailable"


@pytest.mark.parametrize("tipe, counter, answers, history, sends, lookups, outcome, lines", [
    # The history cannot be read (in any pass): the outcome is unknown, so neither sent again nor failed.
    ("PULSA", 0, [], [NO_ANSWER], 1, 1, ("pending", "Koneksi Terputus", "sn awal"), [SENDING, TO_HISTORY]),
    ("PULSA", 3, [], [EMPTY, dict(OK, conn=0)], 1, 2, ("pending", "Koneksi Terputus", "sn awal"),
     [SENDING, TO_HISTORY, NOT_YET]),
    # The lost purchase shows in the history, at once or on a later pass: settled from it, never sent again.
    ("PULSA", 0, [], [FOUND], 1, 1, SETTLED[:2] + ("LOST",), [SENDING, TO_HISTORY]),
    ("CRP", 0, [], [EMPTY, EMPTY, FOUND], 1, 3, ("sukses", SETTLED[1] % 7000, "OF"),
     [SENDING, TO_HISTORY, NOT_YET, NOT_YET]),
    # Not there after six passes: sent again; an accepted attempt then goes to the matcher.
    ("PULSA", 3, [], [EMPTY], 1, 6, FAILED, [SENDING, TO_HISTORY] + [NOT_YET] * 5 + [("Pembelian Gagal", "gagal")]),
    ("PULSA", 1, [NO_ANSWER, NO_ANSWER, dict(OK, msg="ok")], [EMPTY], 3, 12, ("pending", "ok", "sn awal"),
     ([SENDING, TO_HISTORY] + [NOT_YET] * 5) * 2 + [SENDING, ("ok", "sukses"), TO_HISTORY]),
    # A server error (HTTP 5xx) may come after the purchase was carried out: looked up, never sent again.
    ("PULSA", 0, [DOWN], [FOUND], 1, 1, SETTLED[:2] + ("LOST",), [SENDING, DOWN_SHOWN, TO_HISTORY]),
    ("PULSA", 0, [DOWN], [EMPTY], 1, 6, ("gagal", DOWN_STORED, "sn awal"),
     [SENDING, DOWN_SHOWN, TO_HISTORY] + [NOT_YET] * 5),
    ("PULSA", 0, [DOWN], [NO_ANSWER], 1, 1, ("pending", DOWN_STORED, "sn awal"), [SENDING, DOWN_SHOWN, TO_HISTORY]),
], ids=['history unreadable', 'history unreadable on the second pass', 'found at once', 'best offer found on the third pass', 'not found: the last attempt fails', 'not found: sent again, then accepted', '5xx, found', '5xx, not found: refused', '5xx, history unreadable: pending'])
def test_lost_answer_is_looked_up_in_the_history_before_sending_again(
        conn, provider, terminal, buy, monkeypatch, mod, tipe, counter, answers, history, sends, lookups, outcome,
        lines):
    naps, cls = [], "TransaksiTerbaik" if tipe == "CRP" else "Transaksi"
    monkeypatch.setattr(mod, "sleep", naps.append)
    conn.get_produk_terbaik = lambda msisdn, offerid: (True, OFFER)
    buy.result = None  # the matcher's history request fails: handed back, the record left pending
    provider.default(cls, NO_ANSWER).answer(cls, *answers)
    provider.default("History", history[-1]).answer("History", *history[:-1])
    rec = Record(tipe=tipe)
    accepted = bool(answers) and answers[-1].get("msg") == "ok"
    assert conn.transaksi(rec, counter=counter) is (None if accepted else rec)
    assert provider.count(cls) == sends and provider.count("History") == lookups and naps == [1] * lines.count(NOT_YET)
    assert rec.outcome() == ((outcome[0], outcome[1] % 5000, outcome[2]) if "%d" in outcome[1] else outcome)
    assert terminal.lines == lines and len(buy.calls) == accepted


@pytest.mark.parametrize("methods", ["own", "host's"])
def test_interleaved_purchases_on_one_thread_keep_their_own_first_attempt(conn, provider, monkeypatch, mod, methods):
    """Greenlets (gevent, SQLAlchemy's bridge) interleave calls on one thread: A ends while B is in its lookup after
    a lost answer. B's first attempt was carried out and shows in the history only by B's second attempt, which
    looks from B's own first attempt on: settled from it, not bought twice (also when each retry is a new call
    through the host's method)."""
    if methods == "host's":
        conn.__class__ = type("Host", (type(conn),), {
            "transaksi": lambda self, transaksi, counter=0: mod.DekoConnection.transaksi(self, transaksi, counter)})
    if UNDER_ASAN:
        pytest.skip("greenlet copies stacks, which AddressSanitizer takes for overflows")
    greenlet = pytest.importorskip("greenlet")
    clock, hidden, shown = itertools.count(), [], []
    base = real_datetime.datetime(2024, 12, 1, 12, 0, 0, tzinfo=real_datetime.timezone.utc)
    now = lambda tz: (base + real_datetime.timedelta(seconds=next(clock))).astimezone(tz)  # noqa: E731
    monkeypatch.setattr(mod, "datetime", types.SimpleNamespace(
        datetime=types.SimpleNamespace(now=lambda tz: stamp(now(tz))), timezone=real_datetime.timezone,
        timedelta=real_datetime.timedelta))
    monkeypatch.setattr(mod, "sleep", lambda seconds: None)
    monkeypatch.setattr(mod, "TRANSAKSI_TYPES", types.SimpleNamespace(DEKO_STATUS={"sukses": "sukses"}))

    def stamp(time):
        stamp.last = time
        return time

    def purchase(fields):
        if fields["msisdn"] == "081111":  # A: B runs meanwhile, then A is refused
            b.switch()
            return refused("ditolak")
        if not hidden:  # B's first attempt: carried out, its answer lost, shown later
            hidden.append(entry(submittedDate=stamp.last.strftime("%Y%m%d%H%M%S000"), detail=dict(batchId="BB")))
        else:
            shown.extend(hidden)
        return NO_ANSWER

    def history(fields):
        if not a.dead:
            a.switch()  # A ends while B is in its lookup
        return dict(OK, history=list(shown))
    provider.default("Transaksi", purchase).default("History", history)
    first, second = Record(tujuan="081111"), Record()
    a = greenlet.greenlet(lambda: conn.transaksi(first))
    b = greenlet.greenlet(lambda: conn.transaksi(second))
    a.switch()
    b.switch()
    assert a.dead and b.dead and first.status == "gagal" and second.outcome()[::2] == ("sukses", "BB")
    assert [f["msisdn"] for f in provider.fields("Transaksi")] == ["081111", "081234", "081234"]


def test_retries_in_their_own_frame_count_on_pythons_recursion_depth(conn, provider, monkeypatch, mod):
    """Each retry the module runs in its frame takes a level of Python's recursion depth, as the call it stands for
    would: a low recursion limit ends a deep retry in RecursionError, with the record left pending (sent)."""
    monkeypatch.setattr(mod, "sleep", lambda seconds: None)
    provider.default("Transaksi", NO_ANSWER).default("History", dict(OK, history=[]))
    rec, limit = Record(), sys.getrecursionlimit()
    sys.setrecursionlimit(len(inspect.stack()) + 300)
    try:
        with pytest.raises(RecursionError):
            conn.transaksi(rec, counter=-10000)
    finally:
        sys.setrecursionlimit(limit)
    assert 100 < provider.count("Transaksi") < 300 and rec.status == "pending"


@pytest.mark.parametrize("wrapper", [(), ("valgrind", "--tool=none", "-q")], ids=["", "valgrind"])
def test_the_main_threads_stack_is_never_grown(child, wrapper):
    """Purchases on the main thread, whose stack the kernel grows on demand (the kernels of the 3.7 era, and
    valgrind, refuse an access far below the stack pointer), retried through a host's method so that the stack
    check reads the stack: its mapping stays as it was."""
    if wrapper and ("libasan" in os.environ.get("LD_PRELOAD", "") or not shutil.which("valgrind")):
        pytest.skip("valgrind cannot run an interpreter with the sanitizers preloaded")
    out = child(textwrap.dedent(HOST) + textwrap.dedent("""
        def mapped():
            for line in open("/proc/self/maps"):
                if "[stack]" in line:
                    low, high = (int(x, 16) for x in line.split()[0].split("-"))
                    return high - low
        provider.default("Transaksi", NO_ANSWER).default("CheckKPK", NO_ANSWER)
        provider.default("History", dict(OK, history=[]))
        mod.sleep = lambda seconds: None
        before = mapped()
        outcomes = [conn.transaksi(Record()).outcome()[:2] for _ in range(3)]
        outcomes += [conn.menu_cek(Record(paketid="KPK")).outcome()[:2] for _ in range(3)]
        print(set(outcomes), provider.count("Transaksi"), mapped() == before)"""), timeout=120, wrapper=wrapper)
    assert out == "{('gagal', 'Koneksi Terputus')} 12 True\n"


# A purchase that raises ----------------------------------------------------------------------

def lose_then(spoil):
    """The first attempt's answer is lost and the history does not show it; then `spoil` before the next."""
    def run(conn, provider, rec):
        provider.answer("Transaksi", NO_ANSWER)
        provider.default("History", lambda fields: (provider.count("History") == 6 and spoil(conn, provider, rec),
                                                    dict(OK, history=[]))[1])
    return run


def raising(error):
    def fail(*args, **kwargs):
        raise error
    return fail


UNREADABLE, LATER = entry(submittedDate="kemarin"), "29991231235959000"


@pytest.mark.parametrize("spoil, error, outcome, sends", [
    # Nothing sent: settings, the record's fields, the best offer, gathered before the request.
    (lambda c, p, r: c.terminal.config.deko.pop("nomor_transaksi"), KeyError, ("gagal", "'nomor_transaksi'"), 0),
    (lambda c, p, r: setattr(r, "inq", None), AttributeError,
     ("gagal", "'NoneType' object has no attribute 'harga'"), 0),
    (lambda c, p, r: (setattr(r.produk, "tipe", "CRP"), setattr(c, "get_produk_terbaik", raising(OSError("x")))),
     OSError, ("gagal", "x"), 0),
    # Sent: the provider may have it.
    (lambda c, p, r: setattr(c, "makerequest", raising(RuntimeError("pipa"))), RuntimeError, ("pending", "pipa"), 0),
    (lambda c, p, r: p.answer("Transaksi", OK), AttributeError, None, 1),  # an answer of another shape
    (lambda c, p, r: (p.answer("Transaksi", NO_ANSWER), p.default("History", dict(OK, history=[UNREADABLE]))),
     ValueError, None, 1),
    (lose_then(lambda c, p, r: c.terminal.config.deko.pop("nomor_transaksi")), KeyError, ("pending", "'nomor_transaksi'"),
     1),
    # A verdict the purchase reached stays: its acceptance, the matcher's settlement.
    (lambda c, p, r: (p.answer("Transaksi", dict(OK, msg="ok")), setattr(c, "get_transaksi_history", raising(
        KeyError("x")))), KeyError, ("pending", "ok", "sn awal"), 1),
    (lambda c, p, r: (p.answer("Transaksi", dict(OK, msg="ok")),
                      p.default("History", dict(OK, history=[entry(submittedDate=LATER, detail=dict(batchId=DROP))]))), KeyError,
     ("sukses", "Transaksi berhasil utk pembelian produk Pulsa 5 ke 081234 sebesar 5000 .", "sn awal"), 1),
])
def test_a_purchase_that_raises_leaves_no_verdict_it_did_not_reach(conn, provider, monkeypatch, mod, spoil, error,
                                                                    outcome, sends):
    monkeypatch.setattr(mod, "sleep", lambda seconds: None)
    monkeypatch.setattr(mod, "TRANSAKSI_TYPES", types.SimpleNamespace(DEKO_STATUS={"sukses": "sukses"}))
    rec = Record()
    rec.status = "sukses"  # the product check's
    spoil(conn, provider, rec)
    caught = []
    with pytest.raises(error) as raised:
        try:
            conn.transaksi(rec)
        except BaseException as e:
            caught.append(e)
            raise
    assert raised.value is caught[0] and provider.count("Transaksi") == sends
    if outcome is None:  # sent, the answer unreadable
        outcome = ("pending", str(raised.value))
    if len(outcome) == 2:
        outcome = (outcome[0], "[Deko]: " + outcome[1], "sn awal")
    assert rec.outcome() == outcome


def test_a_record_that_cannot_be_written_leaves_the_purchase_error(conn, provider):
    class Locked(Record):
        __slots__ = ()

        def __setattr__(self, name, value):
            if name == "status" and value == "gagal":
                raise RuntimeError("store down")
            Record.__setattr__(self, name, value)
    conn.terminal.config.deko.pop("nomor_transaksi")
    with pytest.raises(KeyError):
        conn.transaksi(Locked())


# Menu check ----------------------------------------------------------------------------------

DATA, SPV, KPK, GONE = ["Sisa kuota 2GB"], ["CheckSPV"], ["CheckKPK"], ("gagal", "Koneksi Terputus")


@pytest.mark.parametrize("paketid, answers, counter, sent, outcome, lines", [
    ("spv", [dict(OK, data=DATA)], 0, SPV, ("sukses", DATA), [("Cek spv Berhasil", "sukses", "sukses")]),
    ("Kpk", [NO_ANSWER, NO_ANSWER, dict(OK, data=DATA)], 0, KPK * 3, ("sukses", DATA),  # tried again silently
     [("Cek Kpk Berhasil", "sukses", "sukses")]),
    ("SPV", [refused("Nomor tidak valid")], 0, SPV, ("gagal", "[Deko]: Nomor tidak valid"),
     [("Nomor tidak valid", "gagal", "baru")]),
    ("SPV", [refused(404)], 0, SPV, ("gagal", "[Deko]: 404"), [(404, "gagal", "baru")]),
    ("KPK", [NO_ANSWER] * 4, 0, KPK * 4, GONE, [("Cek Gagal", "gagal", "baru")]),
    ("KPK", [NO_ANSWER], 3, KPK, GONE, [("Cek Gagal", "gagal", "baru")]),
    ("PULSA5", [], 0, [], ("gagal", "Menu CEK Tidak Ditemukan"), []),
    ("KPKX", [], 0, [], ("gagal", "Menu CEK Tidak Ditemukan"), []),
], ids=['SPV accepted', 'KPK after two lost answers', 'refused', 'refused with a number', 'four lost answers', 'last attempt lost', 'no such menu', 'no such menu, KPK prefix'])
def test_menu_check(conn, provider, terminal, paketid, answers, counter, sent, outcome, lines):
    """The record is written before a success is shown (with the record's status when each line is shown)."""
    rec = Record(tipe="CEK", paketid=paketid)
    terminal.console = lambda text, level: terminal.lines.append((text, level, rec.status))
    provider.answer("CheckKPK", *answers).answer("CheckSPV", *answers)
    assert conn.menu_cek(rec, counter=counter) is rec and terminal.lines == lines
    assert provider.sent == [(cls, {"msisdn": "081234", "auth": "T0"}) for cls in sent]
    assert rec.outcome() == outcome + ("sn awal",)


FAKE_DROPS = """
    provider.default("Transaksi", NO_ANSWER).default("CheckKPK", NO_ANSWER).default("History", dict(OK, history=[]))"""
# What a real request takes between two checks: the request models over HTTP, the simulated provider dropping.
HTTP_DROPS = """
    from apps.deko.models import requests
    from simulator.provider import ProviderSimulator
    sim = ProviderSimulator(port=0).start()
    os.environ["DEKO_PROVIDER_URL"], mod.dekorequest = sim.url, requests
    terminal.otp = lambda jam, tanggal: sim.inbox(terminal.config.deko["nomor"])[-1]["otp"]
    assert conn.login().status
    sim.inject("/purchase", "drop", count=DROPS), sim.inject("/check/kpk", "drop", count=DROPS)"""
# A host whose own methods call the module's: each retry goes through them, nesting the thread's C stack.
HOST = """
    class Host(mod.DekoConnection):
        def transaksi(self, transaksi, counter=0):
            return super().transaksi(transaksi, counter=counter)

        def menu_cek(self, transaksi, counter=0):
            return super().menu_cek(transaksi, counter=counter)
    conn.__class__ = Host"""
ON_THREAD = "threading.stack_size(%d << 10); t = threading.Thread(target=deep); t.start(); t.join()"
ON_QTHREAD = """
    from PySide2.QtCore import QCoreApplication, QThread
    app, t = QCoreApplication([]), type("Worker", (QThread,), {"run": lambda self: deep()})()
    t.setStackSize(%d << 10), t.start(), t.wait()"""
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
DEEP = dict(levels=990, drops=None, outcomes={"('gagal', 'Koneksi Terputus')", "RecursionError"})


@pytest.mark.parametrize("drops, start, case", [
    (FAKE_DROPS, ON_THREAD % 1024, DEEP),
    (FAKE_DROPS, "sys.setrecursionlimit(200000); LEVELS = 100000 if HOSTS else LEVELS; deep()", DEEP),
    pytest.param(HTTP_DROPS, ON_THREAD % 32, DEEP, marks=pytest.mark.skipif(UNDER_ASAN, reason="larger frames")),
    (HTTP_DROPS, ON_THREAD % 64, DEEP), (HTTP_DROPS, ON_THREAD % 256, DEEP), (FAKE_DROPS, ON_THREAD % 8192, DEEP),
    (HTTP_DROPS, ON_QTHREAD % 64, DEEP), (HTTP_DROPS, ON_QTHREAD % 128, DEEP),
    # An ordinary purchase whose first three answers are lost completes on the smallest stacks the host uses.
    pytest.param(HTTP_DROPS, ON_QTHREAD % 32, dict(levels=0, drops=3, outcomes={"('sukses', 4)", "('sukses', 3)"}),
                 marks=pytest.mark.skipif(UNDER_ASAN, reason="larger frames")),
    (HTTP_DROPS, ON_QTHREAD % 44, dict(levels=0, drops=3, outcomes={"('sukses', 4)", "('sukses', 3)"})),
], ids=["1 MiB", "main thread", "HTTP 32 KiB", "HTTP 64 KiB", "HTTP 256 KiB", "8 MiB", "HTTP QThread 64 KiB",
        "HTTP QThread 128 KiB", "purchase QThread 32 KiB", "purchase QThread 44 KiB"])
@pytest.mark.parametrize("methods", ["own", "host's"])
def test_deep_retries_never_crash(child, drops, start, case, methods):
    """The module's own method retries in its frame, taking no C stack: far more attempts than a stack of 32 KiB holds
    nested. A host's method that calls the module's recurses through it, and ends in RecursionError while the stack
    still has room (on the main thread, whose stack ends long before a raised recursion limit, too)."""
    hosts, levels = methods == "host's", case["levels"] if methods == "host's" else min(case["levels"], 200)
    if hosts and case["drops"] and hasattr(sys, "gettotalrefcount"):
        pytest.skip("the debug interpreter's frames are larger: the host's method nests them on a small stack")
    out = child("\nLEVELS, DROPS, HOSTS = %d, %r, %r" % (levels, case["drops"], hosts) + textwrap.dedent(drops) + (
        textwrap.dedent(HOST) if methods == "host's" else "") + textwrap.dedent("""
        mod.sleep = lambda seconds: None
        sends = []
        terminal.console = lambda text, level: text == "Mengirim Transaksi..." and sends.append(1)
        def deep():
            for method in (conn.transaksi, conn.menu_cek):
                try:
                    outcome = method(Record(paketid="TP10" if DROPS == 3 else "KPK", tujuan="081300000017",
                                            harga=10500), counter=-LEVELS)
                    print((outcome.status, len(sends)) if DROPS == 3 else outcome.outcome()[:2])
                except RecursionError:
                    print("RecursionError")
                if DROPS == 3:
                    break
    """) + textwrap.dedent(start), timeout=120)
    seen = set(out.split("\n")) - {""}
    assert seen <= case["outcomes"] and (hosts or case is not DEEP or seen == {"('gagal', 'Koneksi Terputus')"}), out
