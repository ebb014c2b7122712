"""The gateway's store of transactions. The connection module binds SqliteTransaksi as it loads and
uses nothing of it: the store is the host's own."""


class SqliteTransaksi(object):
    """The host's SQLite store of transaction records."""
