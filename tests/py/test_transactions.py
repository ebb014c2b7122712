"""Purchase transaction and menu check on a terminal's transaction record."""
import datetime as real_datetime
import types

import pytest

from fakes import NO_ANSWER, OK, Record, entry, refused

FRESH = Record().outcome()
INSTANT = real_datetime.datetime(2024, 12, 1, 5, 30, 0, 250000, tzinfo=real_datetime.timezone.utc)
WALL_UTC7 = real_datetime.datetime(2024, 12, 1, 12, 30, 0, 250000)
SENDING = ("Mengirim Transaksi...", "default")
TO_HISTORY = ("Mengambil Transaksi Dari History...", "warning")
OFFER = {"productPrice": 7000, "productType": "DATA", "recommendationName": "Rekom",
         "registrationKey": "RK1", "retailerIncentive": 150, "offerId": "not-sent"}


@pytest.fixture
def clock(monkeypatch, mod):
    """Fixed instant; records the zone asked for on every reading."""
    zones = []

    class Frozen(real_datetime.datetime):
        @classmethod
        def now(cls, tz=None):
            zones.append(tz)
            return INSTANT.astimezone(tz) if tz else INSTANT.replace(tzinfo=None)

    monkeypatch.setattr(mod, "datetime", types.SimpleNamespace(
        datetime=Frozen, timezone=real_datetime.timezone, timedelta=real_datetime.timedelta))
    return zones


@pytest.fixture
def matcher(conn):
    """Replaces the history matcher; records its calls and what the record held at that moment."""
    fake = types.SimpleNamespace(calls=[], result="SETTLED")

    def settle(*args, **kwargs):
        fake.calls.append((args, kwargs, args[0].status, args[0].pesan))
        return fake.result
    conn.get_transaksi_history = settle
    return fake


def sent_fields(provider):
    """(class, fields without auth) of every request; checks each carried the token."""
    out = []
    for name, fields in provider.sent:
        fields = dict(fields)
        assert fields.pop("auth") == "T0"
        out.append((name, list(fields.items())))
    return out


# Purchase ------------------------------------------------------------------------------------

BASE = [("msisdn", "081234"), ("pin", "1234"), ("kodeproduk", "P1")]
PRICE = [("harga", 5000), ("trx", "TRX9")]


@pytest.mark.parametrize("tipe, kategori, cls, fields", [
    ("spv", "DEKOTOPUPALL", "TransaksiSPV", [("kategori", "DEKOTOPUPALL")] + BASE + PRICE),
    ("Kpk", "DEKOTOPUPALL", "TransaksiKPK", BASE + PRICE),
    ("PULSA", "DEKOTOPUPALL", "Transaksi", BASE + [("kategori", "DEKOTOPUP"), ("nama", "Pulsa 5")] + PRICE),
    ("paket", "dekotopupall", "Transaksi", BASE + [("kategori", "dekotopupall"), ("nama", "Pulsa 5")] + PRICE),
    ("", "REGULER", "Transaksi", BASE + [("kategori", "REGULER"), ("nama", "Pulsa 5")] + PRICE),
])
def test_accepted_purchase_is_sent_by_type_and_handed_to_the_matcher(
        conn, provider, terminal, clock, matcher, tipe, kategori, cls, fields):
    rec = Record(tipe=tipe, kategori=kategori)
    provider.default(cls, dict(OK, msg="Diproses"))
    assert conn.transaksi(rec) == "SETTLED"
    assert sent_fields(provider) == [(cls, fields)]
    # The matcher sees the record already pending, and the UTC+7 wall clock without zone.
    assert matcher.calls == [((rec, "081234", WALL_UTC7), {"harga": 5000}, "pending", "Diproses")]
    assert matcher.calls[0][0][2].tzinfo is None
    assert [tz.utcoffset(None) for tz in clock] == [real_datetime.timedelta(hours=7)]
    assert terminal.lines == [SENDING, ("Diproses", "sukses"), TO_HISTORY]


@pytest.mark.parametrize("tipe", ["CRP", "crp"])
def test_best_offer_purchase_uses_the_offer_and_skips_the_matcher(
        conn, provider, terminal, clock, matcher, tipe):
    lookups = []
    conn.get_produk_terbaik = lambda *a, **kw: lookups.append((a, kw)) or (True, OFFER)
    rec = Record(tipe=tipe, paketid="OF1")
    provider.answer("TransaksiTerbaik", NO_ANSWER, dict(OK, msg="Diterima"))
    assert conn.transaksi(rec) is rec
    assert lookups == [(("081234", "OF1"), {})] * 2  # looked up again on the retry
    assert sent_fields(provider)[1] == ("TransaksiTerbaik", [
        ("msisdn", "081234"), ("pin", "1234"), ("harga", 7000), ("trx", "TRX9"), ("idretail", "RTL001"),
        ("productType", "DATA"), ("offerId", "OF1"), ("recommendationName", "Rekom"),
        ("registrationKey", "RK1"), ("retailerIncentive", 150)])
    assert matcher.calls == [] and rec.outcome() == ("pending", "Diterima", "sn awal")
    assert terminal.lines == [SENDING, SENDING, ("Diterima", "sukses"), TO_HISTORY]


def test_best_offer_not_found_fails_without_a_purchase(conn, provider, terminal, clock, matcher):
    conn.get_produk_terbaik = lambda msisdn, offerid: (False, "Paket tidak ditemukan")
    rec = Record(tipe="CRP")
    assert conn.transaksi(rec) is rec
    assert provider.sent == [] and matcher.calls == []
    assert rec.outcome() == ("gagal", "Paket tidak ditemukan", "sn awal")
    assert terminal.lines == [SENDING]


@pytest.mark.parametrize("error, pesan", [("Saldo tidak cukup", "[Deko]: Saldo tidak cukup"),
                                          (500, "[Deko]: 500")])
def test_refused_purchase_fails_with_the_providers_error(
        conn, provider, terminal, clock, matcher, error, pesan):
    provider.answer("TransaksiKPK", refused(error))
    rec = Record(tipe="KPK")
    assert conn.transaksi(rec) is rec
    assert rec.outcome() == ("gagal", pesan, "sn awal") and matcher.calls == []
    assert terminal.lines == [SENDING, (error, "gagal")]


@pytest.mark.parametrize("counter, answers, sends, accepted", [
    (0, [], 4, False),
    (3, [], 1, False),
    (9, [], 1, False),
    (0, [NO_ANSWER] * 3 + [dict(OK, msg="ok")], 4, True),
])
def test_purchase_without_answer_is_retried_up_to_four_sends(
        conn, provider, terminal, clock, matcher, counter, answers, sends, accepted):
    provider.default("Transaksi", NO_ANSWER).answer("Transaksi", *answers)
    rec = Record()
    result = conn.transaksi(rec, counter=counter)
    assert provider.count("Transaksi") == sends == len(clock)  # the time is taken again each try
    if accepted:
        assert result == "SETTLED" and len(matcher.calls) == 1
        assert terminal.lines == [SENDING] * sends + [("ok", "sukses"), TO_HISTORY]
    else:
        assert result is rec and rec.outcome() == ("gagal", "Koneksi Terputus", "sn awal")
        assert terminal.lines == [SENDING] * sends + [("Pembelian Gagal", "gagal")]


def test_failed_matcher_request_gives_none_and_leaves_the_record_pending(
        conn, provider, clock, matcher):
    matcher.result = None
    provider.answer("Transaksi", dict(OK, msg="Diproses"))
    rec = Record()
    assert conn.transaksi(rec) is None
    assert rec.outcome() == ("pending", "Diproses", "sn awal")


@pytest.mark.parametrize("tipe, spoil, error", [
    ("PULSA", lambda rec, t, c: t.config.deko.pop("nomor_transaksi"), KeyError),
    ("CRP", lambda rec, t, c: t.config.deko.pop("idretail"), KeyError),
    ("CRP", lambda rec, t, c: setattr(c, "get_produk_terbaik", lambda m, o: (True, {"productPrice": 1})),
     KeyError),
    ("SPV", lambda rec, t, c: setattr(rec, "inq", None), AttributeError),
])
def test_missing_inputs_reach_the_caller_before_any_purchase(
        conn, provider, terminal, clock, matcher, tipe, spoil, error):
    conn.get_produk_terbaik = lambda msisdn, offerid: (True, OFFER)
    rec = Record(tipe=tipe)
    spoil(rec, terminal, conn)
    with pytest.raises(error):
        conn.transaksi(rec)
    assert provider.sent == [] and rec.outcome() == FRESH and matcher.calls == []


def test_purchase_is_settled_from_history_entries_at_or_after_its_utc7_time(
        conn, provider, terminal, clock, monkeypatch, mod):
    naps = []
    monkeypatch.setattr(mod, "sleep", naps.append)
    monkeypatch.setattr(mod, "TRANSAKSI_TYPES", types.SimpleNamespace(DEKO_STATUS={"sukses": "sukses"}))
    early = entry(submittedDate="20241201122959000", detail=dict(batchId="OLD"))
    provider.answer("Transaksi", dict(OK, msg="Diproses"))
    provider.answer("History", dict(OK, history=[early]),
                    dict(OK, history=[early, entry(detail=dict(batchId="NEW"))]))
    rec = Record()
    assert conn.transaksi(rec) is rec
    assert rec.outcome() == (
        "sukses", "Transaksi berhasil utk pembelian produk Pulsa 5 ke 081234 sebesar 5000 .", "NEW")
    assert naps == [1] and provider.count("History") == 2
    assert terminal.lines[-1] == ("Belum menemukan transaksi di history...", "warning")


# Menu check ----------------------------------------------------------------------------------

@pytest.mark.parametrize("paketid, cls", [("KPK", "CheckKPK"), ("spv", "CheckSPV"), ("Kpk", "CheckKPK")])
def test_menu_check_copies_the_answer_then_reports(conn, provider, terminal, paketid, cls):
    data = ["Sisa kuota 2GB"]
    rec = Record(tipe="CEK", paketid=paketid)
    seen = []
    terminal.console = lambda text, level: seen.append((text, level, rec.status, rec.pesan))
    provider.answer(cls, dict(OK, data=data))
    assert conn.menu_cek(rec) is rec
    assert provider.sent == [(cls, {"msisdn": "081234", "auth": "T0"})]
    assert rec.pesan is data and rec.outcome() == ("sukses", data, "sn awal")
    assert seen == [("Cek %s Berhasil" % paketid, "sukses", "sukses", data)]


@pytest.mark.parametrize("tipe, paketid", [("KPK", "PULSA5"), ("CEK", "KPKX"), ("SPV", "")])
def test_unknown_menu_is_refused_without_a_request(conn, provider, terminal, tipe, paketid):
    rec = Record(tipe=tipe, paketid=paketid)
    assert conn.menu_cek(rec) is rec
    assert rec.outcome() == ("gagal", "Menu CEK Tidak Ditemukan", "sn awal")
    assert provider.sent == [] and terminal.lines == []


@pytest.mark.parametrize("error, pesan", [("Nomor tidak valid", "[Deko]: Nomor tidak valid"),
                                          (404, "[Deko]: 404")])
def test_refused_menu_check_fails_with_the_providers_error(conn, provider, terminal, error, pesan):
    provider.answer("CheckSPV", refused(error))
    rec = Record(paketid="SPV")
    assert conn.menu_cek(rec) is rec
    assert rec.outcome() == ("gagal", pesan, "sn awal")
    assert terminal.lines == [(error, "gagal")]


@pytest.mark.parametrize("counter, answers, sends, outcome, lines", [
    (0, [], 4, ("gagal", "Koneksi Terputus"), [("Cek Gagal", "gagal")]),
    (3, [], 1, ("gagal", "Koneksi Terputus"), [("Cek Gagal", "gagal")]),
    (0, [NO_ANSWER, NO_ANSWER, dict(OK, data="isi")], 3, ("sukses", "isi"), [("Cek KPK Berhasil", "sukses")]),
])
def test_menu_check_without_answer_is_retried_silently(
        conn, provider, terminal, counter, answers, sends, outcome, lines):
    provider.default("CheckKPK", NO_ANSWER).answer("CheckKPK", *answers)
    rec = Record(paketid="KPK")
    assert conn.menu_cek(rec, counter=counter) is rec
    assert provider.count("CheckKPK") == sends
    assert rec.outcome()[:2] == outcome and terminal.lines == lines
