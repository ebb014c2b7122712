"""The host's connection object: the compiled connection plus what the host adds to it."""
from apps.deko.libs.connections.dekoconnection import DekoConnection


class HostDekoConnection(DekoConnection):
    """Adds the settling step that the history wait thread asks of its connection."""

    def ambil_dari_history(self, request, transaksi, transaksitime, harga):
        """Settle a pending record from the history; the record itself when nothing came back."""
        hasil = self.get_transaksi_history(transaksi, transaksi.tujuan, transaksitime, harga=harga)
        return transaksi if hasil is None else hasil
