"""Transaction constants of the Deko application."""

# Product type of "cuan" (retailer incentive) offers.
TIPE_CUAN = "CUAN"

# Products every Deko terminal knows without a catalogue pull: the two check menus.
DEFAULT_PRODUKS = [
    {"kodeproduk": "KPK", "tipe": "CEK", "paketid": "KPK", "harga": 0, "kategori": "CEK",
     "nama": "Cek Paket Ketengan", "keterangan": ""},
    {"kodeproduk": "SPV", "tipe": "CEK", "paketid": "SPV", "harga": 0, "kategori": "CEK",
     "nama": "Cek Voucher SPV", "keterangan": ""},
]

# Provider status text (lower case) -> status stored in a transaction record.
DEKO_STATUS = {
    "sukses": "sukses",
    "success": "sukses",
    "berhasil": "sukses",
    "gagal": "gagal",
    "failed": "gagal",
    "pending": "pending",
    "diproses": "pending",
    "process": "pending",
}
