"""In-process fakes for precise control over what the provider answers."""
import threading
import types
from collections import defaultdict

REQUEST_CLASSES = ("LoginNomor", "LoginOtp", "Balance", "Produk", "ProdukTerbaik", "TransaksiSPV", "TransaksiKPK",
                   "TransaksiTerbaik", "Transaksi", "CheckKPK", "CheckSPV", "History")

OK = {"conn": True, "sukses": True, "error_msg": ""}
NO_ANSWER = {"conn": False, "sukses": False}
EXPIRED = {"conn": True, "sukses": False, "error_msg": "invalid_token"}


def refused(error="ditolak"):
    return {"conn": True, "sukses": False, "error_msg": error}


class FakeProvider:
    """Answers each request class from a queue of outcomes, then its default (a plain success): attributes of the
    completed request, a callable of the request's fields giving them, or an exception makerequest raises."""

    def __init__(self):
        self.sent = []
        self.queues = defaultdict(list)
        self.defaults = {}
        self.lock = threading.Lock()

    def answer(self, name, *outcomes):
        self.queues[name].extend(outcomes)
        return self

    def default(self, name, outcome):
        self.defaults[name] = outcome
        return self

    def count(self, name):
        return sum(1 for n, _ in self.sent if n == name)

    def fields(self, name):
        return [f for n, f in self.sent if n == name]

    def _next(self, name, fields):
        with self.lock:
            self.sent.append((name, fields))
            queue = self.queues[name]
            outcome = queue.pop(0) if queue else self.defaults.get(name, OK)
        if callable(outcome) and not isinstance(outcome, type):
            outcome = outcome(fields)
        return outcome

    def module(self):
        """The request models: one class per request, answered by this provider."""
        return types.SimpleNamespace(**{name: type(name, (Request,), {"provider": self}) for name in REQUEST_CLASSES})


class Request:
    def __init__(self, **fields):
        self.fields = fields

    def makerequest(self, http, logging):
        self.http_seen, self.logging_seen = http, logging
        outcome = self.provider._next(type(self).__name__, self.fields)
        if isinstance(outcome, BaseException):
            raise outcome
        self.__dict__.update(dict(OK, **outcome))
        return "ignored"


class FakeTerminal:
    """The host's terminal: settings, token, console lines, logged errors, and the OTP (a callable gives it)."""

    def __init__(self):
        self.auth_token, self.logging, self.otp = "T0", object(), "123456"
        self.lines, self.errors, self.otp_calls = [], [], []
        self.config = types.SimpleNamespace(deko={"nomor": "081200000001", "idretail": "RTL001",
                                                  "nomor_transaksi": "TRX9"})

    def console(self, text, level):
        self.lines.append((text, level))

    def logException(self, error):
        self.errors.append(error)
        return "logged: %r" % (error,)

    def getOtp(self, jam, tanggal):
        self.otp_calls.append((jam, tanggal))
        return self.otp(jam, tanggal) if callable(self.otp) else self.otp


class Record:
    """Transaction record with only the fields the module may touch; `sukses` follows `status`."""
    __slots__ = ("produk", "tujuan", "pin", "inq", "status", "pesan", "serialnumber")

    def __init__(self, tipe="PULSA", paketid="P1", kategori="REGULER", nama="Pulsa 5",
                 tujuan="081234", pin="1234", harga=5000):
        self.produk = types.SimpleNamespace(tipe=tipe, kategori=kategori, paketid=paketid, nama=nama)
        self.tujuan, self.pin = tujuan, pin
        self.inq = types.SimpleNamespace(harga=harga)
        self.status, self.pesan, self.serialnumber = "baru", "pesan awal", "sn awal"

    @property
    def sukses(self):
        return self.status == "sukses"

    def outcome(self):
        return (self.status, self.pesan, self.serialnumber)


DROP = object()  # marks a key to leave out of a history entry


def entry(detail=(), **keys):
    """One provider history entry (product P1 to 081234 at 2024-12-01 12:30:00, price 5000)."""
    first = dict(dict(msisdn="081234", batchId="B1", statusDesc="Detail"), **dict(detail))
    found = dict(submittedDate="20241201123000000", productId="P1", productPrice="5000",
                 finalSuccessPrice="5000", statusDesc="Sukses",
                 trxDetail=[{k: v for k, v in first.items() if v is not DROP}])
    found.update(keys)
    return {k: v for k, v in found.items() if v is not DROP}
