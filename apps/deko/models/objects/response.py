"""Result models shared by the gateway's connections."""


class FuncResponse(object):
    """Result of an operation: ``status`` (truth value) and ``pesan`` (message or payload)."""

    def __init__(self, status, pesan):
        self.status = status
        self.pesan = pesan

    def __repr__(self):
        return "FuncResponse(status=%r, pesan=%r)" % (self.status, self.pesan)


class DekoResponse(object):
    """A provider answer in plain form: success flag, message and data."""

    def __init__(self, sukses=False, pesan="", data=None):
        self.sukses = sukses
        self.pesan = pesan
        self.data = data

    def __repr__(self):
        return "DekoResponse(sukses=%r, pesan=%r, data=%r)" % (self.sukses, self.pesan, self.data)
