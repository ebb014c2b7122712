class SqliteTransaksi:
    pass
