"""The simulated provider's books: its ledger of purchase requests and its transaction history.

The ledger keeps every purchase request the provider saw, oldest first, accepted or refused:
its endpoint, fields, "accepted", "outcome" ("SUKSES", "GAGAL", "PENDING"; None when refused),
"batchId", "error", "fault" (the fault that hit it, "kind:when") and "time". The history keeps
an entry for each accepted purchase, in the provider's own words (what /history answers), each
visible from a moment on: a late history shows a purchase only a while after it was carried out.
"""
import datetime
import time

from simulator.catalogue import msisdn08, whole

UTC7 = datetime.timezone(datetime.timedelta(hours=7))


class Ledger(object):
    """The ledger (``records``) and the history. ``lock`` is the simulator's: a purchase checks and
    charges the balance and books itself in one hold of it."""

    def __init__(self, lock):
        self.records = []
        self._history = []  # (visible from, on time.monotonic(); entry)
        self._lock = lock

    def record(self, path, body, accepted, outcome=None, batch=None, error="", fault=None):
        """Enters a purchase request to ``path`` with JSON body ``body`` in the ledger; returns its record."""
        entry = {"endpoint": path, "fields": dict(body) if isinstance(body, dict) else body,
                 "accepted": accepted, "outcome": outcome, "batchId": batch, "error": error,
                 "fault": fault, "time": time.time()}
        with self._lock:
            self.records.append(entry)
        return entry

    def mark_fault(self, record, fault):
        """Notes on a ledger record the fault ("kind:when") that hit its request."""
        with self._lock:
            record["fault"] = fault

    def add_purchase(self, visible, path, code, price, charge, destination, outcome, batch):
        """Enters an accepted purchase in the history, visible from ``visible`` (time.monotonic()) on."""
        with self._lock:
            self._history.append((visible, history_entry(path, code, price, charge, destination, outcome, batch)))

    def history(self):
        """The entries visible now, oldest first."""
        now = time.monotonic()
        with self._lock:
            return [entry for visible, entry in self._history if visible <= now]

    def clear_history(self):
        with self._lock:
            del self._history[:]

    def complete_pending(self):
        """Every pending purchase succeeds, in the history and in the ledger. Returns what each of
        them costs, for the simulator to charge."""
        charges = []
        with self._lock:
            for _, entry in self._history:
                if str(entry.get("statusDesc")).upper() == "PENDING":
                    entry["statusDesc"] = "Sukses" if entry["statusDesc"] == "Pending" else "SUKSES"
                    for detail in entry.get("trxDetail") or ():
                        detail["statusDesc"] = "Transaksi Sukses"
                    charges.append(whole(entry["finalSuccessPrice"]))
            for record in self.records:
                if record["outcome"] == "PENDING":
                    record["outcome"] = "SUKSES"
        return charges

    def report(self):
        """What GET /_sim/ledger answers: copies of the ledger's records."""
        with self._lock:
            return {"ledger": [dict(entry) for entry in self.records]}


def history_entry(path, code, price, charge, destination, outcome, batch):
    """The history entry of a purchase accepted at ``path``: each purchase endpoint writes its prices,
    status and details in a way of its own."""
    submitted = datetime.datetime.now(UTC7).strftime("%Y%m%d%H%M%S") + "000"
    detail_status = {"SUKSES": "Transaksi Sukses", "GAGAL": "Saldo operator gagal",
                     "PENDING": "Transaksi sedang diproses"}[outcome]
    status = outcome.capitalize() if path == "/purchase" else outcome
    product_price, final_price = price, charge
    if path == "/purchase/kpk":
        product_price, final_price = "-", str(charge)
    elif path == "/purchase/spv":
        product_price = "%d.0" % charge
    detail = {"batchId": batch, "statusDesc": detail_status}
    if path == "/purchase/spv":
        detail["qrvoucher"] = str(destination)
    else:
        detail["msisdn"] = msisdn08(destination)
    return {"submittedDate": submitted, "productId": code, "productPrice": product_price,
            "finalSuccessPrice": final_price, "statusDesc": status, "trxDetail": [detail]}
