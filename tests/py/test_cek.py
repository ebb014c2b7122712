"""Product check of a terminal's transaction record."""
from decimal import Decimal
from types import SimpleNamespace as NS

import pytest

from fakes import NO_ANSWER, OK, refused

UNSET, PRICE = object(), Decimal("5100.00")
NO_PRODUCT = "Produk Tidak Ditemukan, Pastikan PAKETID dan KATEGORI Produk Sudah Benar"
# The request sent, and what the completed request is asked to select.
BY_PRODUCT = ("Produk", {"kategori": "DEKO_TOPUP", "auth": "T0"}), (("T5", "DEKO_TOPUP"), {})
BY_OFFER = ("ProdukTerbaik", {"msisdn": "08123", "auth": "T0"}), (("T5",), {})
OFFER = {"offerShortDesc": "Kuota 10GB", "productPrice": PRICE, "offerDescription": "<p>Kuota</p>"}


def product(code, name):
    return {"CODE": code, "DISPLAY_NAME": name, "FINAL_PRICE": PRICE, "DESCRIPTION": "<p>Kuota</p>"}


def record(tipe):
    return NS(produk=NS(tipe=tipe, kategori="DEKO_TOPUP", paketid="T5", nama="lama"), tujuan="08123", inq=UNSET,
              status=None, pesan=None)


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


@pytest.mark.parametrize("tipe, by, found, kwargs, shown, nama", [
    ("PULSA", BY_PRODUCT, product("T5", "T5"), {"console": "y"}, "T5", "T5"),
    ("pulsa", BY_PRODUCT, product("T5", "Pulsa 5rb"), {}, "(T5) Pulsa 5rb", "Pulsa 5rb"),
    ("KPK", BY_PRODUCT, product(5, 5.0), {}, "5", 5.0),  # equal values, shown as the code
    (" crp", BY_PRODUCT, product(5, "Lima"), {"console": False}, None, "Lima"),
    ("CRP", BY_OFFER, OFFER, {}, "Kuota 10GB", "Kuota 10GB"),
    ("crp", BY_OFFER, OFFER, {"console": 0}, None, "Kuota 10GB"),
], ids=['code shown', 'code and name shown', 'equal values shown as the code', 'type with a blank', 'best offer', 'best offer, told not to show'])
def test_check_fills_the_record(conn, provider, terminal, seen, tipe, by, found, kwargs, shown, nama):
    (request, selection), asked, trx = by, [], record(tipe)
    provider.answer(request[0], answer(found, asked))
    assert conn.cek(trx, **kwargs) is trx and provider.sent == [request] and asked == [selection]
    assert terminal.lines == ([("Cek Produk %s dengan harga 5100.00 Berhasil" % shown, "sukses")] if shown else [])
    assert seen.tags == [("<p>Kuota</p>",)]
    assert seen.inq == [((PRICE, {"desc": "clean:<p>Kuota</p>", "nama": nama}), {})]
    assert trx.inq.harga is PRICE and (trx.status, trx.pesan, trx.produk.nama) == ("sukses", trx.inq.data, nama)
    assert type(trx.produk.nama) is type(nama)


@pytest.mark.parametrize("tipe, cls, outcome, line, pesan", [
    ("PULSA", "Produk", NO_ANSWER, "Cek Paket Gagal", "Koneksi Terputus"),
    ("PULSA", "Produk", refused("Stok habis"), "Stok habis", "Stok habis"),
    ("PULSA", "Produk", answer(None), NO_PRODUCT, "Produk Tidak Ditemukan"),
    ("CRP", "ProdukTerbaik", refused("Nomor salah"), "Nomor salah", "Nomor salah"),  # shown by the offer's lookup
])
def test_failed_check_shows_why_and_writes_only_status_and_message(conn, provider, terminal, seen, tipe, cls, outcome,
                                                                  line, pesan):
    provider.answer(cls, outcome)
    trx = record(tipe)
    assert conn.cek(trx, console=False) is trx and terminal.lines == [(line, "gagal")]
    assert (trx.status, trx.pesan, trx.inq, trx.produk.nama) == ("gagal", pesan, UNSET, "lama")
    assert [name for name, _ in provider.sent] == [cls] and seen.inq == []
