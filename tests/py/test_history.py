"""Previous-transaction lookup and the history matcher."""
import copy
import datetime as real_datetime
import threading
import time
import types

import pytest

from fakes import DROP, NO_ANSWER, OK, FakeTerminal, Record, entry, refused

FRESH = Record().outcome()
STATUS = {"sukses": "sukses", "berhasil": "sukses", "failed": "gagal"}
EARLIER = "Transaksi sudah pernah berhasil utk pembelian paket ke 6281234 sebesar %s ."
SETTLED = "Transaksi berhasil utk pembelian produk Pulsa 5 ke 081234 sebesar %s ."
WAITING = ("Belum menemukan transaksi di history...", "warning")
T, NAN = real_datetime.datetime(2024, 12, 1, 12, 30, 0, 400000), float("nan")


@pytest.fixture
def naps(monkeypatch, mod):
    """The host's status table and number normaliser (62... -> 0..., given start="08"); the matcher's pauses noted."""
    noted = []
    monkeypatch.setattr(mod, "TRANSAKSI_TYPES", types.SimpleNamespace(DEKO_STATUS=STATUS))
    monkeypatch.setattr(mod, "normalizemsisdn", lambda number, start: start + number[3:])
    monkeypatch.setattr(mod, "sleep", noted.append)
    return noted


def answered(provider, entries):
    provider.default("History", entries if isinstance(entries, dict) else dict(OK, history=list(entries)))
    return Record(tujuan="6281234")  # the record's own number; the matcher must use the one it is given


# Previous-transaction lookup -----------------------------------------------------------------

OTHER_PRODUCT = entry(productId="P2", detail=dict(batchId="A"))
OTHER_NUMBER = entry(detail=dict(msisdn="089999", batchId="B"))
DEARER = entry(productPrice="6000", finalSuccessPrice="6000", detail=dict(batchId="C"))
DECIMAL = entry(productPrice="700.5", finalSuccessPrice="5000.0", statusDesc="BERHASIL", detail=dict(batchId="D"))
NUMERIC = entry(productPrice=5000, finalSuccessPrice=5000.9, detail=dict(batchId="E"))


@pytest.mark.parametrize("harga, entries, outcome", [
    (None, [OTHER_PRODUCT, OTHER_NUMBER, DEARER, DECIMAL], ("sukses", EARLIER % 6000, "C")),
    (5000, [OTHER_PRODUCT, OTHER_NUMBER, DEARER, DECIMAL, NUMERIC], ("sukses", EARLIER % 700, "D")),
    # No product price ("-"): the amount charged is the message amount.
    (None, [entry(productPrice="-", finalSuccessPrice="4500.0", detail=dict(batchId="F"))],
     ("sukses", EARLIER % 4500, "F")),
    (5000, [OTHER_PRODUCT, OTHER_NUMBER, DEARER], None),
    (None, refused("x"), None),
])
def test_previous_by_product_number_and_price(conn, provider, naps, harga, entries, outcome):
    rec = answered(provider, entries)
    got = conn.get_previous_transaksi(rec, {"harga": harga, "orderid": None})
    assert (got, rec.outcome()) == ((None, FRESH) if outcome is None else (rec, outcome))


@pytest.mark.parametrize("orderid, entries, outcome", [
    ("B7", [entry(productId="X", productPrice="100", statusDesc="Failed", detail=dict(msisdn="0", batchId="B7")),
            entry(detail=dict(batchId="B1")),
            entry(productId="Y", productPrice="200", finalSuccessPrice="?", detail=dict(batchId="B7"))],
     ("sukses", EARLIER % 200, "B7")),
    ("", [entry(detail=dict(batchId=None)), entry(productPrice="300", detail=dict(batchId=""))],
     ("sukses", EARLIER % 300, "")),
    (123, [entry(detail=dict(batchId="123"))], None),
    (NAN, [entry(detail=dict(batchId=NAN))], None),  # equal is Python's ==: nan matches nothing, not even itself
])
def test_previous_by_order_id_takes_the_last_equal_batch(conn, provider, naps, orderid, entries, outcome):
    # The stored price would not convert: it is not examined in this mode.
    rec = answered(provider, entries)
    got = conn.get_previous_transaksi(rec, {"harga": "5000.0", "orderid": orderid})
    assert (got, rec.outcome()) == ((None, FRESH) if outcome is None else (rec, outcome))


# History matcher -----------------------------------------------------------------------------

@pytest.mark.parametrize("tipe, harga, entries, outcome", [
    # Time window: same second or later; the millisecond "000" is dropped from a date that has it.
    ("PULSA", None, [entry(submittedDate="20241201123000000")], ("sukses", SETTLED % 5000, "B1")),
    ("PULSA", None, [entry(submittedDate="20241202000000")], ("sukses", SETTLED % 5000, "B1")),
    # Order and price: first taken; wrong price passed over; "0" and "-" skip the test.
    ("PULSA", None, [entry(productPrice="6000", detail=dict(batchId="X")), entry(detail=dict(batchId="Y"))],
     ("sukses", SETTLED % 6000, "X")),
    ("PULSA", 5000, [entry(productId="P2"), entry(productPrice="6000", detail=dict(batchId="X")),
                     entry(productPrice="5000.9", detail=dict(batchId="Y"))], ("sukses", SETTLED % 5000, "Y")),
    ("PULSA", 5000, [entry(productPrice="6000")], None),
    ("PULSA", "5000.0", [entry(productPrice="0")], ("sukses", SETTLED % 0, "B1")),
    ("PULSA", 5000, [entry(productPrice="-", finalSuccessPrice="6000", detail=dict(batchId="X")),
                     entry(productPrice="-", finalSuccessPrice="5000.0", detail=dict(batchId="Y"))],
     ("sukses", SETTLED % 5000, "Y")),
    # Status through the table; an unsuccessful one carries the detail's text.
    ("PULSA", None, [entry(statusDesc="BERHASIL")], ("sukses", SETTLED % 5000, "B1")),
    ("PULSA", None, [entry(statusDesc="Failed", detail=dict(statusDesc="Salah"))], ("gagal", "Salah", "B1")),
    # Too early; destination: the unnormalised number, the voucher when there is no number, always for SPV.
    ("PULSA", None, [entry(submittedDate="20241201122959000"), entry(detail=dict(msisdn="6281234")),
                     entry(detail=dict(msisdn="089999", qrvoucher="081234"))], None),
    ("PULSA", None, [entry(detail=dict(msisdn=DROP, qrvoucher="081234"))], ("sukses", SETTLED % 5000, "B1")),
    ("Spv", None, [entry(detail=dict(msisdn="089999", qrvoucher="081234"))], ("sukses", SETTLED % 5000, "B1")),
    ("spv", None, [entry(detail=dict(msisdn="081234"))], None),
])
def test_matcher_takes_the_right_entry(conn, provider, terminal, naps, tipe, harga, entries, outcome):
    rec = answered(provider, entries)
    rec.produk.tipe = tipe
    assert conn.get_transaksi_history(rec, "081234", T, **({} if harga is None else {"harga": harga})) is rec
    assert rec.outcome() == (outcome or FRESH) and provider.count("History") == (1 if outcome else 6)
    assert naps == [1] * (0 if outcome else 5) and terminal.lines == [WAITING] * (0 if outcome else 5)


MISS = dict(OK, history=[entry(productId="P2")])


@pytest.mark.parametrize("counter, answers, found, requests", [
    pytest.param(0, [MISS, MISS, NO_ANSWER], None, 3, id="history unreadable on the third pass"),
    pytest.param(0, [MISS, MISS, dict(OK, history=[entry()])], "settled", 3, id="found on the third pass"),
    pytest.param(4, [], "unchanged", 2, id="from pass 4: two passes"),
])
def test_matcher_passes_and_pauses(conn, provider, terminal, naps, counter, answers, found, requests):
    rec = answered(provider, MISS)
    provider.answer("History", *answers)
    got = conn.get_transaksi_history(rec, "081234", T, **({"counter": counter} if counter else {}))
    assert provider.count("History") == requests and naps == [1] * (requests - 1)
    assert terminal.lines == [WAITING] * (requests - 1) and got is (None if found is None else rec)
    assert rec.outcome() == (("sukses", SETTLED % 5000, "B1") if found == "settled" else FRESH)


# One subscriber, however the number is written -----------------------------------------------

@pytest.mark.parametrize("tujuan, tipe, entries, taken, asked", [
    # Written another way: the host's "08" form tells, for phone numbers; the message names tujuan as given.
    ("+62 812-34", "PULSA", [entry()], "B1", ["+62 812-34", "081234"]),
    ("081234", "PULSA", [entry(detail=dict(msisdn="6281234"))], "B1", ["081234", "6281234"]),
    # The first entry in the history's order that matches either way is taken.
    ("081234", "PULSA", [entry(detail=dict(msisdn="0812 34", batchId="X")), entry(detail=dict(batchId="Y"))], "X",
     ["081234", "0812 34"]),
    # The tool only for entries that pass every other test; one it raises on does not match, the pass goes on.
    ("6281234", "PULSA", [entry(productId="P2"), entry(submittedDate="20241201122959000"), entry(productPrice="6000"),
                          entry(detail=dict(msisdn="boom", batchId="X")), entry(detail=dict(batchId="Y"))], "Y",
     ["6281234", "boom", "081234"]),
    # Vouchers as written only: an SPV product, an entry carrying a voucher instead of a number.
    ("6281234", "SPV", [entry(detail=dict(qrvoucher="081234"))], None, []),
    ("6281234", "PULSA", [entry(detail=dict(msisdn=DROP, qrvoucher="081234"))], None, []),
    # Texts only; a text that names no number names no one.
    (6281234, "PULSA", [entry()], None, []),
    ("abc", "PULSA", [entry(detail=dict(msisdn="xyz"))], None, ["abc"]),
])
def test_matcher_knows_one_subscriber_however_written(conn, provider, naps, monkeypatch, mod, tujuan, tipe, entries,
                                                      taken, asked):
    from apps.deko.libs.utils.tools import normalizemsisdn
    calls = []

    def tool(number, start="62"):
        calls.append(number)
        if number == "boom":
            raise ValueError("no number")
        return normalizemsisdn(number, start=start)
    monkeypatch.setattr(mod, "normalizemsisdn", tool)
    rec = answered(provider, entries)
    rec.produk.tipe = tipe
    assert conn.get_transaksi_history(rec, tujuan, T, harga=5000) is rec
    expected = ("sukses", SETTLED.replace("081234", str(tujuan)) % 5000, taken) if taken else FRESH
    assert rec.outcome() == expected and calls[:len(asked)] == asked and set(calls) <= set(asked)


# Data the lookups cannot read: the error reaches the caller ------------------------------------

ANY = {"harga": None, "orderid": None}


def previous(row):  # (call, requests sent): the price is read before the request
    return lambda conn, rec: conn.get_previous_transaksi(rec, row), int("harga" in row)


def matcher():
    return lambda conn, rec: conn.get_transaksi_history(rec, "081234", T), 1


@pytest.mark.parametrize("call, entries, error, outcome", [
    (previous({"orderid": None}), [entry()], KeyError, FRESH),
    # Fields written before the failing step stay written.
    (previous(ANY), [entry(productPrice="lima")], ValueError, ("sukses",) + FRESH[1:]),
    (previous(ANY), [entry(detail=dict(batchId=DROP))], KeyError, ("sukses", EARLIER % 5000, "sn awal")),
    # The matcher reads every scanned entry in full, even one of another product; only a trailing "000" is
    # dropped from the date.
    (matcher(), [entry(productId="X", submittedDate="20241201123000000000"), entry()], ValueError, FRESH),
    (matcher(), [entry(productId="X", productPrice="-", finalSuccessPrice=DROP), entry()], KeyError, FRESH),
    (matcher(), [entry(statusDesc="Aneh")], KeyError, FRESH),
    (matcher(), [entry(productPrice="lima")], ValueError, ("sukses",) + FRESH[1:]),
    (matcher(), [entry(detail=dict(batchId=DROP))], KeyError, ("sukses", SETTLED % 5000, "sn awal")),
])
def test_unreadable_history_reaches_the_caller(conn, provider, terminal, naps, call, entries, error, outcome):
    (do, requests), rec = call, answered(provider, entries)
    with pytest.raises(error):
        do(conn, rec)
    assert rec.outcome() == outcome and provider.count("History") == requests
    assert naps == [] and terminal.lines == []


# One history entry settles one purchase ----------------------------------------------------------

class SlowRecord(Record):
    """A record whose writes run host code that lets other threads in (a store, a signal), or fails."""
    __slots__ = ("fail",)

    def __setattr__(self, name, value):
        if getattr(self, "fail", None) == name:
            raise RuntimeError("store down")
        time.sleep(0.002)
        object.__setattr__(self, name, value)


def test_one_history_entry_settles_one_purchase(conn, provider, terminal, naps, mod):
    settle = lambda connection, rec: connection.get_transaksi_history(rec, "081234", T)  # noqa: E731
    answered(provider, [entry(detail=dict(batchId=b)) for b in ("B1", "B2")])
    first, second, third = SlowRecord(), SlowRecord(), SlowRecord()
    assert [settle(conn, r).serialnumber for r in (first, second, first)] == ["B1", "B2", "B1"]
    assert settle(conn, third).outcome() == FRESH and naps == [1] * 5  # both entries taken: nothing for it
    # The claims belong to the terminal (the chip whose history it is): a copy of the connection and a second
    # connection of the terminal pass over them too; a connection of another terminal has claims of its own, also
    # when that terminal takes no weak reference.
    assert [settle(c, SlowRecord()).outcome() for c in (copy.copy(conn), mod.DekoConnection(None, terminal))] == [
        FRESH, FRESH]
    unreferable = types.SimpleNamespace(console=lambda text, level: None, **vars(FakeTerminal()))
    assert settle(mod.DekoConnection(None, unreferable), SlowRecord()).serialnumber == "B1"
    # A record that shows nothing of its entry (its status cannot be written) leaves it for the next one; once the
    # status is written, the entry stays the record's.
    for fails, then in (("status", "B1"), ("serialnumber", "B2")):
        other, broken, fresh = mod.DekoConnection(None, FakeTerminal()), SlowRecord(), SlowRecord()
        broken.fail = fails
        with pytest.raises(RuntimeError):
            settle(other, broken)
        assert settle(other, fresh).serialnumber == then
    # Two equal purchases settled at once, their writes interleaving: one entry each.
    pair = [SlowRecord(), SlowRecord()]
    shared = mod.DekoConnection(None, FakeTerminal())
    threads = [threading.Thread(target=settle, args=(shared, rec)) for rec in pair]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(r.serialnumber for r in pair) == ["B1", "B2"]
    # Whole-number batch ids are remembered under their digits ("1001" and 1001 are one id); others are not.
    answered(provider, [entry(detail=dict(batchId=b)) for b in (1001, "1001", True, 7.0, None, "B9")])
    assert [settle(shared, SlowRecord()).serialnumber for _ in "abcd"] == [1001, True, True, True]
