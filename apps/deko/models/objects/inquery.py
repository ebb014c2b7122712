"""Inquiry detail: what a product check learnt about a product."""


class InqueryDetail(object):
    """Price and description of a checked product.

    ``harga`` is the price exactly as the provider gave it (it is sent back with the
    purchase); ``data`` is the readable text shown to the terminal, built from the
    price and the mapping's "nama" and "desc".
    """

    def __init__(self, harga, data):
        self.harga = harga
        self.nama = "" if data.get("nama") is None else str(data.get("nama"))
        self.desc = "" if data.get("desc") is None else str(data.get("desc")).strip()
        text = "%s, harga %s." % (self.nama, harga)
        self.data = "%s %s" % (text, self.desc) if self.desc else text

    def __repr__(self):
        return "InqueryDetail(harga=%r, data=%r)" % (self.harga, self.data)
