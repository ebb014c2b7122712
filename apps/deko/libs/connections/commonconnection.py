class CommonConnection:
    def __init__(self, conn):
        self.conn = conn
