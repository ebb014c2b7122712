"""Product lookups, best offers and the product pull into catalogue records."""
from decimal import Decimal

import pytest

from fakes import NO_ANSWER, OK, refused

KEYS = ["kodeproduk", "tipe", "paketid", "harga", "kategori", "nama", "keterangan"]
NOT_FOUND = "Produk Tidak Ditemukan, Pastikan PAKETID dan MSISDN Produk Sudah Benar"


def product(code, name="Nama", desc="Desc", price=1000):
    return {"CODE": code, "DISPLAY_NAME": name, "DESCRIPTION": desc, "FINAL_PRICE": price}


def offer(oid, ptype="DATA", desc="Paket", price=2000):
    return {"offerId": oid, "productType": ptype, "offerDescription": desc, "productPrice": price}


def record(*values):  # kodeproduk, tipe, paketid, harga, kategori, nama
    return dict(zip(KEYS, values + ("",)))


# Lookups ---------------------------------------------------------------------------------------

PAYLOAD, FOUND = [offer("O-1")], offer("O-2", price=Decimal("1.50"))


@pytest.mark.parametrize("method, cls, field, arg", [("get_produk", "Produk", "kategori", "3"),
                                                     ("get_terbaik", "ProdukTerbaik", "msisdn", "0811")])
@pytest.mark.parametrize("outcome, result, lines", [
    (dict(OK, produk=PAYLOAD), PAYLOAD, []),
    (NO_ANSWER, [], [("Cek Paket Terbaik Gagal", "gagal")]),
    (dict(OK, sukses=0, error_msg="Nomor ditolak", produk=PAYLOAD), [], [("Nomor ditolak", "gagal")]),
])
def test_lookup_gives_the_payload_or_shows_why_not(conn, provider, terminal, method, cls, field, arg, outcome, result,
                                                   lines):
    provider.answer(cls, outcome)
    got = getattr(conn, method)(arg)
    assert got == result and type(got) is list and terminal.lines == lines
    assert provider.sent == [(cls, {field: arg, "auth": "T0"})]


@pytest.mark.parametrize("outcome, result, lines", [
    (dict(OK, produk=PAYLOAD, produkById={"O-2": FOUND}.get), (True, FOUND), []),
    (dict(OK, produk=PAYLOAD, produkById={"O-2": {}}.get), (True, {}), []),
    (dict(OK, produk=PAYLOAD, produkById={}.get), (False, NOT_FOUND), []),
    (NO_ANSWER, (False, "Koneksi Terputus"), [("Cek Paket Gagal", "gagal")]),
    (refused("MSISDN tidak valid"), (False, "MSISDN tidak valid"), [("MSISDN tidak valid", "gagal")]),
])
def test_best_offer_of_a_number(conn, provider, terminal, outcome, result, lines):
    provider.answer("ProdukTerbaik", outcome)
    assert conn.get_produk_terbaik("0811", "O-2") == result and terminal.lines == lines
    assert provider.sent == [("ProdukTerbaik", {"msisdn": "0811", "auth": "T0"})]


# Product pull ----------------------------------------------------------------------------------

def test_pull_builds_records_for_products_then_offers(conn, provider, terminal, mod):
    p = {name: product(*args) for name, args in {
        "dropped": ("A1", "Alpha", "x", 1),
        "same": ("X1.5-G 2", "X1.5-G 2", "Deskripsi X", Decimal("10500.00")),
        "t5": ("T5", "Pulsa 5rb", "d", 5000), "frc": ("F.1", "Freedom", "d", "7000"),
        "spv": ("S-1", "Spv", "d", 10 ** 30), "new": ("N 1", 10 ** 31, "d", 1.5),
        "vas": ("V1", "Vas", "d", object()), "all": ("TA", "All", "d", 11), "pkg": ("PK", "Pkg", "d", 12),
    }.items()}
    o1 = offer("O-1.2 3", "DATA_PACK", "<p>Kuota <div>10GB</div></p>", Decimal("25000"))
    o2 = offer("O2", None, "<P>Big</P><br><d<p>iv>", 9)
    provider.answer("Produk", dict(OK, produk={"DEKO_TOPUP": [p["dropped"]], "FRC": [p["frc"]]}),
                    dict(OK, produk={"SPV_BLANK": [p["spv"]], "DEKO_TOPUP": [p["same"], p["t5"]]}),
                    dict(OK, produk={"NEW_TYPE": [p["new"]], "VAS_PRODUCTS": [p["vas"]],
                                     "DEKO_TOPUPALL": [p["all"]], "DEKO_PACKAGE": [p["pkg"]]}))
    provider.answer("ProdukTerbaik", dict(OK, produk=[o1, o2]), dict(OK, produk=[o1]))
    result = conn.tarik_produk("0811,, 0812,")  # empty numbers skipped
    assert isinstance(result, mod.FuncResponse) and result.status is True
    expected = [
        record("X15G2", "PULSA", "X1.5-G 2", p["same"]["FINAL_PRICE"], "DEKOTOPUP", "Deskripsi X"),
        record("T5", "PULSA", "T5", p["t5"]["FINAL_PRICE"], "DEKOTOPUP", "Pulsa 5rb"),
        record("F1", "KPK", "F.1", "7000", "FRC", "Freedom"),
        record("S1", "SPV", "S-1", p["spv"]["FINAL_PRICE"], "SPVBLANK", "Spv"),
        record("N1", "NEW_TYPE", "N 1", p["new"]["FINAL_PRICE"], "NEWTYPE", 10 ** 31),
        record("V1", "PAKET", "V1", p["vas"]["FINAL_PRICE"], "VASPRODUCTS", "Vas"),
        record("TA", "PULSA", "TA", 11, "DEKOTOPUPALL", "All"),
        record("PK", "PAKET", "PK", 12, "DEKOPACKAGE", "Pkg"),
        record("O123", "CRP", "O-1.2 3", o1["productPrice"], "DATA_PACK", "Kuota 10GB"),
        record("O2", "CRP", "O2", 9, None, "<P>Big</P><br><div>"),
        record("O123", "CRP", "O-1.2 3", o1["productPrice"], "DATA_PACK", "Kuota 10GB"),
    ]
    records = list(result.pesan)
    assert [list(r.items()) for r in records] == [list(e.items()) for e in expected]  # in this order
    assert all(r["harga"] is e["harga"] for r, e in zip(records, expected))
    assert provider.sent == [("Produk", {"kategori": c, "auth": "T0"}) for c in "013"] + [
        ("ProdukTerbaik", {"msisdn": n, "auth": "T0"}) for n in ("0811", " 0812")]
    assert terminal.lines == [] and terminal.errors == []


def test_pull_error_gives_failed_result(conn, provider, terminal, mod, capsys, monkeypatch):
    """A product without a price: the error logged (and what the log gives printed), the pull failed."""
    monkeypatch.setattr(mod, "FuncResponse", lambda *a, **k: (a, k))
    provider.default("Produk", dict(OK, produk={}))
    provider.answer("Produk", dict(OK, produk={"FRC": [product("F1"), {"CODE": "F2", "DISPLAY_NAME": "n"}]}))
    assert conn.tarik_produk("0811") == ((False, "Gagal Mengambil Produk"), {})
    assert [type(e) for e in terminal.errors] == [KeyError] and terminal.lines == []
    assert capsys.readouterr().out == "logged: %r\n" % (terminal.errors[0],)
