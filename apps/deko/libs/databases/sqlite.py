"""SQLite store of the gateway's transactions."""
import sqlite3
import threading

_COLUMNS = ("idtrx", "kodeproduk", "tujuan", "harga", "orderid", "status", "pesan", "serialnumber")


class SqliteTransaksi(object):
    """Transactions by their id: product code, destination, price, provider order id, outcome.

    ``simpan`` takes a transaction record object (``idtrx``, ``produk.paketid``,
    ``tujuan``, ``inq.harga``, ``status``, ``pesan``, ``serialnumber``; the provider
    order id is its ``orderid`` attribute or else its serial number) or a mapping with
    the column names. Safe to share between threads.
    """

    def __init__(self, path=":memory:"):
        self._lock = threading.Lock()
        self._db = sqlite3.connect(path, check_same_thread=False)
        self._db.row_factory = sqlite3.Row
        with self._lock, self._db:
            self._db.execute(
                "CREATE TABLE IF NOT EXISTS transaksi ("
                "idtrx TEXT PRIMARY KEY, kodeproduk TEXT, tujuan TEXT, harga INTEGER,"
                " orderid TEXT, status TEXT, pesan TEXT, serialnumber TEXT)")

    @staticmethod
    def _row(record):
        if isinstance(record, dict):
            return dict((c, record.get(c)) for c in _COLUMNS)
        produk = getattr(record, "produk", None)
        inq = getattr(record, "inq", None)
        serial = getattr(record, "serialnumber", None) or None
        return {
            "idtrx": record.idtrx,
            "kodeproduk": getattr(produk, "paketid", None),
            "tujuan": getattr(record, "tujuan", None),
            "harga": getattr(inq, "harga", getattr(record, "harga", None)),
            "orderid": getattr(record, "orderid", None) or serial,
            "status": getattr(record, "status", None),
            "pesan": getattr(record, "pesan", None),
            "serialnumber": serial,
        }

    def simpan(self, record):
        """Insert or replace the transaction; returns its id."""
        row = self._row(record)
        if not row["idtrx"]:
            raise ValueError("transaksi tanpa idtrx")
        sql = "INSERT OR REPLACE INTO transaksi (%s) VALUES (%s)" % (
            ", ".join(_COLUMNS), ", ".join("?" * len(_COLUMNS)))
        with self._lock, self._db:
            self._db.execute(sql, [row[c] for c in _COLUMNS])
        return row["idtrx"]

    def ambil(self, idtrx):
        """The stored row as a dict (keys include "harga" and "orderid"), or None."""
        with self._lock:
            row = self._db.execute("SELECT * FROM transaksi WHERE idtrx = ?", (idtrx,)).fetchone()
        return dict(row) if row is not None else None

    def close(self):
        with self._lock:
            self._db.close()
