class InqueryDetail:
    def __init__(self, harga, data):
        self.harga = harga
        self.data = data
