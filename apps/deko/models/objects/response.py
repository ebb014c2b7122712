class FuncResponse:
    def __init__(self, status, pesan):
        self.status = status
        self.pesan = pesan


class DekoResponse:
    pass
