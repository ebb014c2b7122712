"""Product check of a terminal's transaction record."""
from decimal import Decimal
from types import SimpleNamespace as NS

import pytest

from fakes import NO_ANSWER, OK, refused

UNSET = object()
NO_PRODUCT = "Produk Tidak Ditemukan, Pastikan PAKETID dan KATEGORI Produk Sudah Benar"


def record(tipe="PULSA", kategori="DEKO_TOPUP", paketid="T5", tujuan="08123"):
    return NS(produk=NS(tipe=tipe, kategori=kategori, paketid=paketid, nama="lama"), tujuan=tujuan,
              inq=UNSET, status=None, pesan=None)


def answer(found, asked=None):
    """A completed lookup whose selection (of a product, or of an offer by its identifier) gives `found`."""
    def select(*args, **kwargs):
        return (asked if asked is not None else []).append((args, kwargs)) or found
    return dict(OK, produk={}, get_produk=select, produkById=select)


@pytest.fixture
def seen(mod, monkeypatch):
    """Records the inquiry details built (the real ones) and the texts cleaned of mark-up."""
    calls, real = NS(inq=[], tags=[]), mod.InqueryDetail
    monkeypatch.setattr(mod, "InqueryDetail", lambda *a, **k: calls.inq.append((a, k)) or real(*a, **k))
    monkeypatch.setattr(mod, "remove_html_tags", lambda *a: calls.tags.append(a) or "clean:%s" % a)
    return calls


@pytest.mark.parametrize("tipe, kwargs, shown", [("CRP", {}, 1), ("crp", {"console": False}, 0),
                                                ("Crp", {"console": 0}, 0), ("CRP", {"console": "y"}, 1)])
def test_best_offer_check_fills_the_record(conn, provider, terminal, seen, tipe, kwargs, shown):
    price, asked = Decimal("25000.50"), []
    offer = dict(offerId="O-7", offerShortDesc="Kuota 10GB", productPrice=price, offerDescription="<p>Kuota</p>")
    provider.answer("ProdukTerbaik", answer(offer, asked))
    trx = record(tipe=tipe, kategori="DATA", paketid="O-7")
    assert conn.cek(trx, **kwargs) is trx
    assert provider.sent == [("ProdukTerbaik", {"msisdn": "08123", "auth": "T0"})] and asked == [(("O-7",), {})]
    assert seen.inq == [((price, {"desc": "clean:<p>Kuota</p>", "nama": "Kuota 10GB"}), {})]
    assert trx.inq.harga is price and trx.inq.data == "Kuota 10GB, harga 25000.50. clean:<p>Kuota</p>"
    assert (trx.status, trx.pesan, trx.produk.nama) == ("sukses", trx.inq.data, "Kuota 10GB")
    assert terminal.lines == [("Cek Produk Kuota 10GB dengan harga 25000.50 Berhasil", "sukses")] * shown


def test_best_offer_check_takes_the_connections_lookup(conn, provider, terminal, monkeypatch):
    """Its failures (no answer, refusal, no such offer) set only status and message."""
    calls = []
    monkeypatch.setattr(conn, "get_produk_terbaik", lambda *a, **k: calls.append((a, k)) or (0, "dari lookup"))
    trx = conn.cek(record(tipe="CRP", paketid="O-1"))
    assert calls == [(("08123", "O-1"), {})] and provider.sent == [] and terminal.lines == []
    assert (trx.status, trx.pesan, trx.inq, trx.produk.nama) == ("gagal", "dari lookup", UNSET, "lama")


@pytest.mark.parametrize("tipe, code, name, kwargs, lines", [
    ("PULSA", "T5", "T5", {}, [("Cek Produk T5 dengan harga 5100.00 Berhasil", "sukses")]),
    ("pulsa", "T5", "Pulsa 5rb", {}, [("Cek Produk (T5) Pulsa 5rb dengan harga 5100.00 Berhasil", "sukses")]),
    ("KPK", 5, 5.0, {}, [("Cek Produk 5 dengan harga 5100.00 Berhasil", "sukses")]),  # equal: shown as the code
    (" crp", 5, "Lima", {"console": False}, []),
])
def test_product_check_fills_the_record(conn, provider, terminal, seen, tipe, code, name, kwargs, lines):
    price, asked = Decimal("5100.00"), []
    item = {"CODE": code, "DISPLAY_NAME": name, "FINAL_PRICE": price, "DESCRIPTION": "<b>Pulsa</b>"}
    provider.answer("Produk", answer(item, asked))
    trx = record(tipe=tipe)
    assert conn.cek(trx, **kwargs) is trx and terminal.lines == lines
    assert provider.sent == [("Produk", {"kategori": "DEKO_TOPUP", "auth": "T0"})]
    assert asked == [(("T5", "DEKO_TOPUP"), {})] and seen.tags == [("<b>Pulsa</b>",)]
    assert seen.inq == [((price, {"desc": "clean:<b>Pulsa</b>", "nama": name}), {})]
    assert trx.inq.harga is price and trx.inq.desc == "clean:<b>Pulsa</b>"
    assert (trx.status, trx.pesan, trx.produk.nama, type(trx.produk.nama)) == ("sukses", trx.inq.data, name, type(name))


@pytest.mark.parametrize("outcome, line, pesan", [
    (NO_ANSWER, "Cek Paket Gagal", "Koneksi Terputus"),
    (refused("Stok habis"), "Stok habis", "Stok habis"),
    (answer(None), NO_PRODUCT, "Produk Tidak Ditemukan"),
])
def test_product_check_failures_always_show_a_line(conn, provider, terminal, seen, outcome, line, pesan):
    provider.answer("Produk", outcome)
    trx = record()
    assert conn.cek(trx, console=False) is trx and terminal.lines == [(line, "gagal")]
    assert (trx.status, trx.pesan, trx.inq, trx.produk.nama) == ("gagal", pesan, UNSET, "lama")
    assert provider.count("Produk") == 1 and provider.count("ProdukTerbaik") == 0 and seen.inq == []
