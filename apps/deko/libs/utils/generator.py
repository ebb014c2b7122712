def uuidGenerator(): return "x"
