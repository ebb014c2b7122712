"""The simulated provider's endpoints, and the replies they make.

Each endpoint takes the request's path and JSON body (an object) and answers (HTTP status, reply);
a purchase endpoint adds the request's ledger record. ``_success`` and ``_refusal`` make the
replies. The endpoints are methods of ``ProviderRoutes``, which the simulator (simulator/provider.py)
inherits: the simulator checks the session token and hands the request to ``route(path)``.
"""
import datetime
import re
import secrets
import time
import uuid

from simulator.catalogue import msisdn08, msisdn62, national, offers_for, whole

PUBLIC_PATHS = ("/auth/login", "/auth/otp")
PURCHASE_PATHS = ("/purchase", "/purchase/spv", "/purchase/kpk", "/purchase/offer")


def _success(message, data=None):
    return {"success": True, "message": message, "error": "", "data": data}


def _refusal(error):
    return {"success": False, "message": error, "error": error, "data": None}


class ProviderRoutes(object):
    """The provider's endpoints, on the simulator's state: its lock, ``retailers`` (number -> retailer
    id), ``_inbox`` (number -> OTP messages), ``_new_session()``, ``pin``, ``balance``, ``catalogue``
    and its products by code (``_codes``), ``history()``, the ledger (``_ledger``), and the purchase
    settings ``history_delay`` and ``numeric_batch_rate`` with their draws."""

    def route(self, path):
        """The endpoint that answers requests to ``path``; None for a path the provider does not know."""
        if path in PURCHASE_PATHS:
            return self._purchase
        return {
            "/auth/login": self._login, "/auth/otp": self._otp, "/balance": self._balance,
            "/products": self._products, "/offers": self._offers, "/history": self._history_list,
            "/check/kpk": self._check, "/check/spv": self._check,
        }.get(path)

    def _login(self, path, body):
        msisdn = msisdn62(body.get("msisdn"))
        if self.retailers.get(msisdn) != body.get("idretail"):
            return 200, _refusal("Nomor tidak terdaftar")
        otp = "%06d" % secrets.randbelow(1000000)
        now = datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S")
        with self._lock:
            self._inbox.setdefault(msisdn, []).append(
                {"time": now, "otp": otp, "text": "Kode OTP Deko Anda: %s. Jangan berikan ke siapa pun." % otp})
        return 200, _success("OTP telah dikirim ke %s" % msisdn)

    def _otp(self, path, body):
        msisdn = msisdn62(body.get("msisdn"))
        with self._lock:
            messages = self._inbox.get(msisdn) or []
            latest = messages[-1] if messages else None
            if (self.retailers.get(msisdn) != body.get("idretail") or latest is None
                    or latest.get("used") or str(body.get("otp")) != latest["otp"]):
                return 200, _refusal("OTP salah")
            latest["used"] = True
            token = self._new_session()
        return 200, _success("Login berhasil", {"gatewayToken": token})

    def _balance(self, path, body):
        with self._lock:
            balance = self.balance
        return 200, _success("Saldo", {"Total": str(balance), "Bonus": "0", "Currency": "IDR"})

    def _products(self, path, body):
        kategori = str(body.get("kategori"))
        if kategori in self.catalogue:
            return 200, _success("Daftar produk", self.catalogue[kategori])
        # A product-type category ("DEKOTOPUP", "DEKO_PACKAGE") gives that type's products.
        wanted = kategori.replace("_", "").upper()
        found = {}
        for code in sorted(self.catalogue):
            for key, products in self.catalogue[code].items():
                if key.replace("_", "") == wanted:
                    found.setdefault(key, []).extend(products)
        return 200, _success("Daftar produk", found)

    def _offers(self, path, body):
        if national(body.get("msisdn")).endswith("000"):
            return 200, _refusal("Nomor tidak valid")
        return 200, _success("Penawaran terbaik", offers_for(body.get("msisdn")))

    def _check(self, path, body):
        number = body.get("msisdn")
        if national(number).endswith("000"):
            return 200, _refusal("Nomor tidak valid")
        until = (datetime.datetime.now() + datetime.timedelta(days=30)).strftime("%d-%m-%Y")
        if path == "/check/kpk":
            return 200, _success("Cek KPK", "KPK %s: kuota 10GB, aktif s.d. %s" % (msisdn08(number), until))
        return 200, _success("Cek SPV", "SPV %s: voucher 5GB belum dipakai, berlaku s.d. %s" % (number, until))

    def _history_list(self, path, body):
        return 200, _success("Riwayat transaksi", self.history())

    def _purchase(self, path, body):
        def refuse(reason):
            return 200, _refusal(reason), self._ledger.record(path, body, False, error=reason)

        if str(body.get("pin")) != self.pin:
            return refuse("PIN salah")
        destination = body.get("msisdn")
        if path == "/purchase/offer":
            if national(destination).endswith("000"):
                return refuse("Nomor tidak valid")
            code = body.get("offerId")
            product = dict((o["offerId"], o) for o in offers_for(destination)).get(code)
            price = product and product["productPrice"]
        else:
            code = body.get("kodeproduk")
            product = self._codes.get(code) if isinstance(code, str) else None
            price = product and product["FINAL_PRICE"]
        if product is None:
            return refuse("Produk tidak ditemukan")
        charge = whole(price)
        if whole(body.get("harga")) is None or whole(body.get("harga")) != charge:
            return refuse("Harga tidak sesuai")
        digits = re.sub(r"\D", "", str(destination))
        outcome = "GAGAL" if digits.endswith("99") else "PENDING" if digits.endswith("98") else "SUKSES"
        with self._lock:
            if self._batch_draws.random() < self.numeric_batch_rate:
                batch = next(self._numeric_batches)
            else:
                batch = "B" + uuid.uuid4().hex[:15].upper()
            if charge > self.balance:
                return refuse("Saldo tidak cukup")
            if outcome == "SUKSES":
                self.balance -= charge
            self._ledger.add_purchase(time.monotonic() + self.history_delay,
                                      path, code, price, charge, destination, outcome, batch)
            entry = self._ledger.record(path, body, True, outcome, batch)
        message = "Transaksi %s ke %s sedang diproses" % (code, destination)
        return 200, _success(message, {"batchId": batch}), entry
