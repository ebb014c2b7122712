"""Random and malformed provider data fed to every operation: the described result or an ordinary
error, never a crash; records change only as allowed; number conversions agree with Python."""
import contextlib
import datetime
import io
import os

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from apps.deko.constants.transaksi import DEKO_STATUS
from apps.deko.libs.utils.tools import normalizemsisdn
from fakes import OK, FakeProvider, FakeTerminal, Record, entry

# The same examples on every run; DEKO_EXAMPLES=<n> explores n fresh random ones per test instead.
FAST = settings(max_examples=int(os.environ.get("DEKO_EXAMPLES", 200)), derandomize="DEKO_EXAMPLES" not in os.environ,
                deadline=None, database=None, suppress_health_check=list(HealthCheck))
T = datetime.datetime(2024, 12, 1, 12, 31, 12, 400000)
TABLE = set(DEKO_STATUS.values())


class Boom(Exception):
    pass


class Nasty:
    """Every comparison, truth test, conversion, iteration and text form raises."""
    def _boom(self, *args):
        raise Boom("nasty")
    __eq__ = __ne__ = __lt__ = __ge__ = __bool__ = __len__ = __str__ = __int__ = __float__ = _boom
    __index__ = __iter__ = __getitem__ = __contains__ = upper = lower = replace = _boom
    __hash__ = None

    def __repr__(self):
        return "Nasty()"


class Text(str):
    pass


def itself(value):
    return value


def rare(odd, good, n=5):
    """Mostly `good`, now and then `odd` (mapped, so that its own branches are not spread out)."""
    return st.one_of(*[good] * n + [odd.map(itself)])


def shaped(whole=False, **fields):
    """A mapping of these fields, now and then missing one unless `whole` (fixed_dictionaries is slow here)."""
    keys = list(fields)

    def build(pair):
        return {k: v for k, v in zip(keys, pair[0]) if k != pair[1]}
    drop = st.sampled_from([None] * (1 if whole else 6 * len(keys) + 1) + ([] if whole else keys))
    return st.tuples(st.tuples(*fields.values()), drop).map(build)


NUMERIC = st.one_of(
    st.from_regex(r"\A\s?[+-]?\d{0,4}(_\d)?(\.\d{0,3})?([eE][+-]?\d{1,3})?\s?\Z"),
    st.sampled_from(["inf", "-Infinity", "nan", "1e400", "0x10", "", " ", "-", "0", "\ud800", "\u0665\u0660\u0660"]))
# Fresh objects on every draw (float(repr(f)), builds): nan and Nasty() are unequal to themselves, and the
# same object on both sides of a comparison is a question of its own (test_equality_is_plain_value_equality).
NUMBERS = st.one_of(NUMERIC, NUMERIC.map(Text), st.integers(), st.booleans(), st.floats().map(repr).map(float),
                    st.sampled_from([10 ** 30, -10 ** 30, 10 ** 400, 2 ** 63]))
WEIRD = st.one_of(st.none(), NUMBERS, st.text(max_size=6), st.builds(Nasty), st.just([]),
                  st.lists(st.integers(), max_size=2), st.binary(max_size=2),
                  st.sampled_from(["\ud800x", "Sukses", "GAGAL", "pending", "invalid_token", Text("invalid_token")]))


def either(*good):
    """Mostly one of the plausible values, now and then something malformed."""
    return rare(WEIRD, st.sampled_from(good), 8)


PRICE = rare(NUMBERS, st.sampled_from(["5000", 5000, "5000.0", "-", "0"]), 3)
DETAIL = shaped(msisdn=either("081234", "089999"), qrvoucher=either("081234", "V1"), batchId=either("B1", "B2"),
                statusDesc=either("Detail"))
ENTRY = shaped(submittedDate=either("20241201123112000", "20241201123111000", "20241201123514000"),
               productId=either("P1", "P2"), productPrice=PRICE, finalSuccessPrice=PRICE,
               statusDesc=either("Sukses", "GAGAL", "pending"),
               trxDetail=rare(st.sampled_from([[], None, 5, ["x"]]) | st.builds(Nasty),
                              st.lists(DETAIL, min_size=1, max_size=2), 7))
HISTORY = rare(st.sampled_from([None, 5]) | st.builds(Nasty),
               st.lists(rare(st.sampled_from([None, 7]) | st.builds(Nasty), ENTRY, 9), max_size=4), 9)
RECORD = shaped(True, tipe=st.sampled_from(["PULSA", "spv"]), paketid=either("P1"),
                nama=st.sampled_from(["Pulsa 5", "\u00e9\ud800"]))
HARGA, ORDERID = either(None, 5000, "5000"), either(None, None, "B1", "")


@contextlib.contextmanager
def rig(mod, **answers):
    provider, terminal = FakeProvider(), FakeTerminal()
    provider.default("LoginOtp", dict(OK, response={"gatewayToken": "T1"}))
    for name, outcome in answers.items():
        provider.default(name, outcome)
    with pytest.MonkeyPatch.context() as mp, contextlib.redirect_stdout(io.StringIO()):  # the pull prints errors
        mp.setattr(mod, "dekorequest", provider.module())
        mp.setattr(mod, "sleep", lambda seconds: None)
        yield provider, terminal, mod.DekoConnection(None, terminal)
    assert not [e for e in terminal.errors if isinstance(e, SystemError) or not isinstance(e, Exception)]


def run(call):
    """(result, error): the module may return or raise an ordinary error, nothing else."""
    try:
        return call(), None
    except BaseException as error:  # noqa: B902
        assert isinstance(error, Exception) and not isinstance(error, SystemError), repr(error)
        return None, error


def fields(rec, *writable):
    """The record's fields other than those the operation may write."""
    found = dict(vars(rec.produk), tujuan=rec.tujuan, pin=rec.pin, inq=rec.inq, status=rec.status,
                 pesan=rec.pesan, serialnumber=rec.serialnumber)
    return {k: v for k, v in found.items() if k not in writable}


def unchanged(before, after):
    return all(after[k] is v for k, v in before.items())


def alike(a, b):
    return a is b or (isinstance(a, str) and isinstance(b, str) and str(a) == str(b)) or (
        type(a) is type(b) and not isinstance(a, Nasty) and a == b)


def whole(value):
    return int(float(value))


# The described previous-transaction lookup and history matcher, in plain Python -----------------------

def ref_previous(rec, row, history):
    harga, taken = row["harga"], None
    for e in history:
        if row["orderid"] is not None:
            if e["trxDetail"][0]["batchId"] == row["orderid"]:
                taken = e
        elif (e["productId"] == rec.produk.paketid and normalizemsisdn(rec.tujuan, start="08") ==
              e["trxDetail"][0]["msisdn"] and (harga is None or whole(e["finalSuccessPrice"]) == int(harga))):
            taken = e
            break
    if taken is None:
        return None
    rec.status = DEKO_STATUS[taken["statusDesc"].lower()]
    price = taken["productPrice"]  # "-" (no product price): the amount charged stands for it
    rec.pesan = "Transaksi sudah pernah berhasil utk pembelian paket ke %s sebesar %d ." % (
        str(rec.tujuan), whole(taken["finalSuccessPrice"] if price == "-" else price))
    rec.serialnumber = taken["trxDetail"][0]["batchId"]
    return rec


def ref_match(rec, tujuan, harga, history, counter, lines):
    while True:
        for e in history:
            d = e["submittedDate"]
            when = datetime.datetime.strptime(d[:-3] if len(d) > 14 and d.endswith("000") else d, "%Y%m%d%H%M%S")
            detail = e["trxDetail"][0]
            number = detail["msisdn"] if "msisdn" in detail else None
            voucher = detail["qrvoucher"] if "qrvoucher" in detail else None
            price = e["finalSuccessPrice"] if e["productPrice"] == "-" else e["productPrice"]
            if number is None and voucher is not None or rec.produk.tipe.upper() == "SPV":
                number = voucher
            if e["productId"] == rec.produk.paketid and tujuan == number and when >= T.replace(microsecond=0):
                if harga is None or price == "0" or price == "-" or whole(price) == int(harga):
                    rec.status = DEKO_STATUS[e["statusDesc"].lower()]
                    rec.pesan = ("Transaksi berhasil utk pembelian produk %s ke %s sebesar %d ." % (
                        str(rec.produk.nama), str(tujuan), whole(price)) if rec.sukses else detail["statusDesc"])
                    rec.serialnumber = detail["batchId"]
                    return rec
        if counter >= 5:
            return rec
        lines.append(("Belum menemukan transaksi di history...", "warning"))
        counter += 1


def compare(reference, call, rec, twin):
    """Module and reference agree: both return the same or both raise, and leave the same record."""
    before = fields(rec, "status", "pesan", "serialnumber")
    expected, ref_error = run(lambda: reference(twin))
    got, error = run(call)
    assert unchanged(before, fields(rec, "status", "pesan", "serialnumber"))
    assert (error is None) == (ref_error is None), (error, ref_error)
    assert got is (None if expected is None else rec)
    assert all(alike(x, y) for x, y in zip(rec.outcome(), twin.outcome())), (rec.outcome(), twin.outcome())
    assert rec.status in TABLE | {"baru"}


@FAST
@given(data=st.data())  # everything is drawn inside: arguments of @given are spelled out for every example
def test_previous_transaction_on_malformed_history(mod, data):
    args, history, row = data.draw(RECORD), data.draw(HISTORY), data.draw(shaped(harga=HARGA, orderid=ORDERID))
    rec, twin = Record(tujuan="6281234", **args), Record(tujuan="6281234", **args)
    with rig(mod, History=dict(OK, history=history)) as (_, terminal, conn):
        compare(lambda r: ref_previous(r, row, history), lambda: conn.get_previous_transaksi(rec, row), rec, twin)
        assert terminal.lines == []



@FAST
@given(data=st.data())
def test_history_matcher_on_malformed_history(mod, data):
    args, history, harga, counter = (data.draw(s) for s in (RECORD, HISTORY, HARGA, st.sampled_from([4, 5])))
    rec, twin, lines = Record(tujuan="6281234", **args), Record(tujuan="6281234", **args), []
    with rig(mod, History=dict(OK, history=history)) as (_, terminal, conn):
        compare(lambda r: ref_match(r, "081234", harga, history, counter, lines),
                lambda: conn.get_transaksi_history(rec, "081234", T, harga=harga, counter=counter), rec, twin)
        assert terminal.lines == lines


@FAST
@given(price=NUMBERS, harga=st.one_of(st.none(), NUMBERS))
def test_price_conversions_agree_with_python(mod, price, harga):
    try:
        matches = harga is None or whole(price) == int(harga)
    except Exception:
        matches = "raises"
    rec = Record(tujuan="6281234")
    history = [entry(finalSuccessPrice=price, productPrice="700.9", submittedDate="20241201123112000")]
    with rig(mod, History=dict(OK, history=history)) as (_, _terminal, conn):
        found, error = run(lambda: conn.get_previous_transaksi(rec, {"harga": harga, "orderid": None}))
    assert (error is not None, found is rec) == ((True, False) if matches == "raises" else (False, matches))
    assert rec.outcome() == (("sukses", "Transaksi sudah pernah berhasil utk pembelian paket ke 6281234 sebesar 700 .",
                              "B1") if matches is True else Record().outcome())
    # The matcher converts the entry's product price the same way ("0" and "-" skip the test).
    rec, twin = Record(), Record()
    history = [entry(productPrice=price, finalSuccessPrice="5000", submittedDate="20241201123112000")]
    with rig(mod, History=dict(OK, history=history)) as (_, _terminal, conn):
        compare(lambda r: ref_match(r, "081234", harga, history, 5, []),
                lambda: conn.get_transaksi_history(rec, "081234", T, harga=harga, counter=5), rec, twin)


def test_equality_is_plain_value_equality(mod):
    """'Equals' is the host's ==: a value unequal to itself (nan, or an object whose __eq__ says False)
    matches nothing, not even when the very same object stands on both sides."""
    class Never:
        def __eq__(self, other):
            return False
        __hash__ = object.__hash__
    for odd in (float("nan"), Never()):
        rec = Record(tujuan="6281234")
        with rig(mod, History=dict(OK, history=[entry(detail=dict(batchId=odd))])) as (_, _terminal, conn):
            assert conn.get_previous_transaksi(rec, {"harga": None, "orderid": odd}) is None, odd
        rec = Record(paketid=odd)
        with rig(mod, History=dict(OK, history=[entry(productId=odd)])) as (_, _terminal, conn):
            assert conn.get_transaksi_history(rec, "081234", T.replace(minute=0), counter=5).status == "baru", odd


# Every other operation on malformed completed requests ------------------------------------------------

PRODUCT = shaped(CODE=either("P1", "X1.5-G 2", Text("P1")), DISPLAY_NAME=either("P1", "Pulsa"),
                 DESCRIPTION=either("<p>d</p>"), FINAL_PRICE=st.one_of(PRICE, WEIRD))
OFFER = shaped(offerId=either("P1", "O-1.2"), productType=either("DATA"), productPrice=st.one_of(PRICE, WEIRD),
               offerDescription=either("<div>x</div>"), offerShortDesc=either("x"), recommendationName=WEIRD,
               registrationKey=WEIRD, retailerIncentive=WEIRD)
FLAGS = shaped(True, conn=either(True, True, False), sukses=either(True, True, False),
               error_msg=either("ditolak", "invalid_token", Text("invalid_token")), msg=either("ok"))
RESULTS = {"Balance": shaped(True, balance=WEIRD), "History": shaped(True, history=HISTORY),
           "Produk": shaped(True, produk=rare(WEIRD, st.dictionaries(
               st.sampled_from(["DEKO_TOPUP", "FRC", "NEW_TYPE", Text("SPV_BLANK")]),
               rare(WEIRD, st.lists(PRODUCT, max_size=2)), max_size=3))),
           "ProdukTerbaik": shaped(True, produk=rare(WEIRD, st.lists(OFFER, max_size=2)))}
NEEDS = {"makerequest": ["Balance"], "history": ["History"], "cek_saldo": ["Balance"],
         "get_produk_terbaik": ["ProdukTerbaik"], "tarik_produk": ["Produk", "ProdukTerbaik"],
         "cek": ["Produk", "ProdukTerbaik"], "menu_cek": ["CheckKPK", "CheckSPV"],
         "transaksi": ["ProdukTerbaik", "TransaksiSPV", "TransaksiKPK", "TransaksiTerbaik", "Transaksi", "History"]}
RECORD_OPS = {  # operation -> (fields it may write, statuses it may write)
    "cek": (("status", "pesan", "inq", "nama"), {"sukses", "gagal"}),
    "transaksi": (("status", "pesan", "serialnumber"), TABLE | {"pending", "gagal"}),
    "menu_cek": (("status", "pesan"), {"sukses", "gagal"}),
}
RECORD_ARGS = shaped(True, tipe=either("PULSA", "CRP", "KPK", "spv"), paketid=either("P1", "KPK", "spv"),
                     kategori=either("DEKOTOPUPALL"), nama=either("n"), tujuan=either("081234"), pin=either("1234"),
                     harga=either(5000))
NUMBER, NOMORS, FOUND = either("081234"), either("0811,,0812", "", Text("0811")), st.one_of(OFFER, PRODUCT, WEIRD)
TIPE = {"DEKO_TOPUP": "PULSA", "DEKO_TOPUPALL": "PULSA", "DEKO_PACKAGE": "PAKET", "VAS_PRODUCTS": "PAKET",
        "FRC": "KPK", "SPV_BLANK": "SPV"}
KEYS = ["kodeproduk", "tipe", "paketid", "harga", "kategori", "nama", "keterangan"]


def answers(draw, name):
    """A completed request: flags mostly plausible, its results malformed now and then; or an error."""
    if draw(st.integers(0, 15)) == 0:
        return draw(st.sampled_from([Boom("exchange"), KeyError("x")]))
    attrs = draw(FLAGS)
    if draw(st.integers(0, 7)):
        attrs.update(draw(RESULTS.get(name, shaped(True, data=WEIRD))))
    found = draw(FOUND) if name.startswith("Produk") else None
    return dict(attrs, get_produk=lambda *a: found, produkById=lambda *a: found)


def truth(value):
    try:
        return bool(value)
    except Exception:
        return "raises"


def payload(outcome):
    """What a lookup hands on: the payload of a successful answer (a missing one fails once used), else []."""
    ok = isinstance(outcome, dict) and truth(outcome["conn"]) is True and truth(outcome["sukses"]) is True
    return outcome.get("produk", Nasty()) if ok else []


def ref_tarik(catalogue, offers, nomors):
    def clean(text, *marks):
        for mark in marks:
            text = text.replace(mark, "")
        return text
    products, records = {}, []
    for _ in "013":
        for key in catalogue:
            products[key] = catalogue[key]
    for key, items in products.items():
        for p in items:
            records.append([clean(p["CODE"], ".", " ", "-"), TIPE[key] if key in TIPE else key, p["CODE"],
                            p["FINAL_PRICE"], key.replace("_", ""),
                            p["DESCRIPTION"] if p["CODE"] == p["DISPLAY_NAME"] else p["DISPLAY_NAME"], ""])
    for number in nomors.split(","):
        for o in (offers if number != "" else ()):
            records.append([clean(o["offerId"], ".", " ", "-"), "CRP", o["offerId"], o["productPrice"],
                            o["productType"], clean(o["offerDescription"], "<div>", "</div>", "<p>", "</p>"), ""])
    return records


@FAST
@pytest.mark.parametrize("op", list(NEEDS))
@given(data=st.data())
def test_every_operation_survives_malformed_answers(mod, op, data):
    draw = data.draw
    with rig(mod, **{name: answers(draw, name) for name in NEEDS[op]}) as (provider, terminal, conn):
        outcome = provider.defaults[NEEDS[op][0]]
        raised = isinstance(outcome, BaseException)
        if op in RECORD_OPS:
            rec, (writes, statuses) = Record(**draw(RECORD_ARGS)), RECORD_OPS[op]
            before = fields(rec, *writes)
            got, error = run(lambda: getattr(conn, op)(rec))
            assert error is not None or got is rec or (op == "transaksi" and got is None)
            assert unchanged(before, fields(rec, *writes)) and rec.status in statuses | ({"baru"} if error else set())
        elif op == "makerequest":
            x = draw(WEIRD)
            got, error = run(lambda: conn.makerequest(mod.dekorequest.Balance, auth="mine", x=x))
            assert error is None and (got is None or got.fields["x"] is x)
            c, s = (None, None) if raised else (truth(outcome["conn"]), truth(outcome["sukses"]))
            if raised or c == "raises":  # logged, and no answer
                assert got is None and len(terminal.errors) == 1 and (not raised or terminal.errors[0] is outcome)
            elif c is False:
                assert got is None and terminal.lines == []
            elif s != "raises" and type(outcome["error_msg"]) in (str, Text):
                expired = s is False and outcome["error_msg"] == "invalid_token"
                assert got.name == "Balance" and got.fields["auth"] == ("T1" if expired else "T0")
                assert provider.count("Balance") == 1 + expired
        elif op == "history":
            got, error = run(conn.history)
            assert (error is None or "history" not in outcome) and (got is None or got is outcome.get("history"))
        elif op == "cek_saldo":
            got, error = run(lambda: conn.cek_saldo(draw(WEIRD)))
            assert error is not None or got is (None if raised else outcome.get("balance")) or got == {"Total": "0"}
        elif op == "get_produk_terbaik":
            got, error = run(lambda: conn.get_produk_terbaik(draw(NUMBER), draw(WEIRD)))
            assert error is not None or (len(got) == 2 and got[0] in (True, False))
            assert error is not None or not got[0] or got[1] is outcome["produkById"]()
        else:
            nomors = draw(NOMORS)
            got, error = run(lambda: conn.tarik_produk(nomors))
            expected, ref_error = run(lambda: ref_tarik(payload(outcome), payload(provider.defaults["ProdukTerbaik"]),
                                                        nomors))
            assert error is None
            if ref_error is not None:
                assert (got.status, got.pesan) == (False, "Gagal Mengambil Produk")
            else:
                assert got.status is True and [list(r) for r in got.pesan] == [KEYS] * len(expected)
                assert all(alike(a, b) for r, e in zip(got.pesan, expected) for a, b in zip(r.values(), e))
