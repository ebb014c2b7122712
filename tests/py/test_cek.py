"""Product check of a terminal's transaction record."""
from decimal import Decimal
from types import SimpleNamespace as NS

import pytest

from fakes import NO_ANSWER, OK, refused

UNSET = object()
NO_OFFER = "Produk Tidak Ditemukan, Pastikan PAKETID dan MSISDN Produk Sudah Benar"
NO_PRODUCT = "Produk Tidak Ditemukan, Pastikan PAKETID dan KATEGORI Produk Sudah Benar"


def record(tipe="PULSA", kategori="DEKO_TOPUP", paketid="T5", tujuan="08123"):
    return NS(produk=NS(tipe=tipe, kategori=kategori, paketid=paketid, nama="lama"), tujuan=tujuan,
              inq=UNSET, status=None, pesan=None)


def offer_answer(found, asked=None):
    """A completed best-offer request whose selection by offer identifier gives `found`."""
    asked = [] if asked is None else asked
    return dict(OK, produk=[], produkById=lambda oid: asked.append(oid) or found)


def product_answer(found, asked=None):
    """A completed product request whose selection by package and category gives `found`."""
    asked = [] if asked is None else asked
    return dict(OK, produk={}, get_produk=lambda *a, **k: asked.append((a, k)) or found)


@pytest.fixture
def seen(mod, monkeypatch):
    """Records the inquiry details built and the texts cleaned of mark-up."""
    calls = NS(inq=[], tags=[], made=[])
    real = mod.InqueryDetail

    def inquery(*args, **kwargs):
        calls.inq.append((args, kwargs))
        calls.made.append(real(*args, **kwargs))
        return calls.made[-1]

    monkeypatch.setattr(mod, "InqueryDetail", inquery)
    monkeypatch.setattr(mod, "remove_html_tags", lambda *a: calls.tags.append(a) or "clean:%s" % a)
    return calls


@pytest.mark.parametrize("tipe", ["CRP", "crp", "Crp"])
@pytest.mark.parametrize("kwargs, shown", [({}, True), ({"console": False}, False),
                                           ({"console": 0}, False), ({"console": "y"}, True)])
def test_best_offer_check_fills_the_record(conn, provider, terminal, seen, tipe, kwargs, shown):
    price, asked = Decimal("25000.50"), []
    offer = {"offerId": "O-7", "offerShortDesc": "Kuota 10GB", "productPrice": price,
             "offerDescription": "<p>Kuota</p>"}
    provider.answer("ProdukTerbaik", offer_answer(offer, asked))
    trx = record(tipe=tipe, kategori="DATA", paketid="O-7")
    assert conn.cek(trx, **kwargs) is trx
    assert provider.sent == [("ProdukTerbaik", {"msisdn": "08123", "auth": "T0"})] and asked == ["O-7"]
    assert seen.tags == [("<p>Kuota</p>",)]
    assert seen.inq == [((price, {"desc": "clean:<p>Kuota</p>", "nama": "Kuota 10GB"}), {})]
    assert seen.made == [trx.inq] and trx.inq is seen.made[0] and trx.inq.harga is price
    assert (trx.status, trx.pesan, trx.produk.nama) == ("sukses", trx.inq.data, "Kuota 10GB")
    line = ("Cek Produk Kuota 10GB dengan harga 25000.50 Berhasil", "sukses")
    assert terminal.lines == ([line] if shown else [])


@pytest.mark.parametrize("outcome, pesan, lines", [
    (NO_ANSWER, "Koneksi Terputus", [("Cek Paket Gagal", "gagal")]),
    (refused("Nomor bukan target"), "Nomor bukan target", [("Nomor bukan target", "gagal")]),
    (offer_answer(None), NO_OFFER, []),
])
def test_best_offer_check_failure_sets_only_status_and_message(conn, provider, terminal, seen,
                                                               outcome, pesan, lines):
    provider.answer("ProdukTerbaik", outcome)
    trx = record(tipe="crp", paketid="O-9")
    assert conn.cek(trx, console=False) is trx
    assert (trx.status, trx.pesan, trx.inq, trx.produk.nama) == ("gagal", pesan, UNSET, "lama")
    assert terminal.lines == lines and [name for name, _ in provider.sent] == ["ProdukTerbaik"]
    assert seen.inq == seen.tags == []


@pytest.mark.parametrize("pair, status", [((0, "dari lookup"), "gagal"), (("", "x"), "gagal"),
                                          ((1, {"offerShortDesc": "N", "productPrice": 5,
                                                "offerDescription": "d"}), "sukses")])
def test_best_offer_check_uses_the_connections_lookup(conn, provider, terminal, monkeypatch, pair, status):
    calls = []
    monkeypatch.setattr(conn, "get_produk_terbaik", lambda *a, **k: calls.append((a, k)) or pair)
    trx = record(tipe="CRP", paketid="O-1")
    conn.cek(trx)
    assert calls == [(("08123", "O-1"), {})] and provider.sent == []
    assert trx.status == status and (status == "sukses" or trx.pesan == pair[1])


@pytest.mark.parametrize("tipe, code, name, shown", [
    ("PULSA", "T5", "T5", "T5"),
    ("pulsa", "T5", "Pulsa 5rb", "(T5) Pulsa 5rb"),
    ("KPK", 5, 5.0, "5"),  # equal values, shown as the code
    (" crp", 5, "Lima", "(5) Lima"),
])
def test_product_check_fills_the_record(conn, provider, terminal, seen, tipe, code, name, shown):
    price, asked = Decimal("5100.00"), []
    item = {"CODE": code, "DISPLAY_NAME": name, "FINAL_PRICE": price, "DESCRIPTION": "<b>Pulsa</b>"}
    provider.answer("Produk", product_answer(item, asked))
    trx = record(tipe=tipe)
    assert conn.cek(trx) is trx
    assert provider.sent == [("Produk", {"kategori": "DEKO_TOPUP", "auth": "T0"})]
    assert asked == [(("T5", "DEKO_TOPUP"), {})]
    assert terminal.lines == [("Cek Produk %s dengan harga 5100.00 Berhasil" % shown, "sukses")]
    assert seen.tags == [("<b>Pulsa</b>",)]
    assert seen.inq == [((price, {"desc": "clean:<b>Pulsa</b>", "nama": name}), {})]
    assert seen.inq[0][0][0] is price and trx.inq is seen.made[0] and trx.inq.harga is price
    assert (trx.status, trx.pesan) == ("sukses", trx.inq.data)
    assert trx.produk.nama == name and type(trx.produk.nama) is type(name)


@pytest.mark.parametrize("outcome, line, pesan", [
    (NO_ANSWER, "Cek Paket Gagal", "Koneksi Terputus"),
    (refused("Stok habis"), "Stok habis", "Stok habis"),
    (product_answer(None), NO_PRODUCT, "Produk Tidak Ditemukan"),
])
def test_product_check_failures_always_show_a_line(conn, provider, terminal, seen, outcome, line, pesan):
    provider.answer("Produk", outcome)
    trx = record()
    assert conn.cek(trx, console=False) is trx
    assert terminal.lines == [(line, "gagal")]
    assert (trx.status, trx.pesan, trx.inq, trx.produk.nama) == ("gagal", pesan, UNSET, "lama")
    assert provider.count("Produk") == 1 and provider.count("ProdukTerbaik") == 0 and seen.inq == []


GOOD = {"CODE": "T5", "DISPLAY_NAME": "T5", "FINAL_PRICE": 1, "DESCRIPTION": "d"}


@pytest.mark.parametrize("trx, cls, outcome, error", [
    (NS(tujuan="08123"), None, None, AttributeError),
    (NS(tujuan="08123", produk=NS(tipe="PULSA", paketid="T5")), None, None, AttributeError),
    (record(tipe=None), None, None, Exception),
    (record(), "Produk", product_answer({k: v for k, v in GOOD.items() if k != "FINAL_PRICE"}), KeyError),
    (record(), "Produk", product_answer({}), KeyError),
    (record(), "Produk", dict(OK, produk={}), AttributeError),
    (record(tipe="CRP"), "ProdukTerbaik", offer_answer({"productPrice": 1, "offerDescription": "d"}), KeyError),
    (record(tipe="CRP"), "ProdukTerbaik", offer_answer({"offerShortDesc": "n", "productPrice": 1}), KeyError),
])
def test_check_errors_reach_the_caller(conn, provider, terminal, trx, cls, outcome, error):
    if cls:
        provider.answer(cls, outcome)
    with pytest.raises(error):
        conn.cek(trx)
    assert terminal.errors == [] and provider.count("Produk") + provider.count("ProdukTerbaik") <= 1
