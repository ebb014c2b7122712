TIPE_CUAN = "CUAN"
DEFAULT_PRODUKS = []
DEKO_STATUS = {"sukses": "sukses", "gagal": "gagal", "pending": "pending"}
