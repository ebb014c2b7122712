"""Transaction record of one terminal request, as the gateway keeps it."""
from apps.deko.libs.utils.generator import uuidGenerator


class Produk(object):
    """The product of a transaction record (same field names as a catalogue record)."""

    def __init__(self, tipe, kategori, paketid, nama=""):
        self.tipe = tipe
        self.kategori = kategori
        self.paketid = paketid
        self.nama = nama

    @classmethod
    def dari_katalog(cls, record):
        """Build from a catalogue record mapping (keys tipe, kategori, paketid, nama)."""
        return cls(record["tipe"], record["kategori"], record["paketid"], record.get("nama", ""))

    def __repr__(self):
        return "Produk(tipe=%r, kategori=%r, paketid=%r, nama=%r)" % (
            self.tipe, self.kategori, self.paketid, self.nama)


class Transaksi(object):
    """One terminal request: a purchase ("beli") or a check, and its outcome."""

    def __init__(self, produk, tujuan, pin="", jenis="beli", idtrx=None, tujuan_reply=None,
                 inq=None, status="", pesan="", serialnumber=""):
        self.produk = produk
        self.tujuan = tujuan
        self.pin = pin
        self.jenis = jenis
        self.idtrx = idtrx if idtrx is not None else uuidGenerator()
        self.tujuan_reply = tujuan if tujuan_reply is None else tujuan_reply
        self.inq = inq
        self.status = status
        self.pesan = pesan
        self.serialnumber = serialnumber

    @property
    def sukses(self):
        """True exactly when the current status is "sukses"."""
        return self.status == "sukses"

    def __repr__(self):
        return "Transaksi(idtrx=%r, produk=%r, tujuan=%r, status=%r, pesan=%r, serialnumber=%r)" % (
            self.idtrx, self.produk, self.tujuan, self.status, self.pesan, self.serialnumber)
