"""Request models of the Deko retailer service.

Every provider request is one class here. The connection builds a request with
named fields only (``Cls(**fields)``, always including ``auth``, the session token
text, possibly empty) and lets it carry out its exchange with
``makerequest(http, logging)``. The exchange is a JSON POST to
``<DEKO_PROVIDER_URL><path>`` with the token in the ``X-Gateway-Token`` header and
the other fields as the JSON body.

The provider answers ``{"success": bool, "message": text, "error": text,
"data": ...}``. After the exchange a request carries:

* ``conn``: True when an HTTP answer arrived; False after any network failure,
  time-out or dropped connection (``makerequest`` never raises for those);
* ``sukses``: True when the provider reports success;
* ``http_status``: the HTTP status code, or None without an answer;
* ``error_msg``: the provider's error text ("invalid_token" for an unknown or
  expired token), or "HTTP <code>" when the answer was not a provider reply;
* ``msg``: the provider's message text;
* the class's own results (``response``, ``balance``, ``produk``, ``data``,
  ``history``), None until a successful reply fills them.

Settings are read at call time from the environment: ``DEKO_PROVIDER_URL``
(default ``http://127.0.0.1:18765``) and ``DEKO_PROVIDER_TIMEOUT`` (seconds, float,
default 10).
"""
import http.client
import json
import os
import socket

import urllib3

DEFAULT_PROVIDER_URL = "http://127.0.0.1:18765"
DEFAULT_TIMEOUT = 10.0
TOKEN_HEADER = "X-Gateway-Token"

_NETWORK_ERRORS = (urllib3.exceptions.HTTPError, http.client.HTTPException, socket.error, OSError)


def provider_url():
    """Base URL of the provider, without a trailing slash."""
    return (os.environ.get("DEKO_PROVIDER_URL") or DEFAULT_PROVIDER_URL).rstrip("/")


def provider_timeout():
    """Time-out of one provider exchange, in seconds."""
    try:
        value = float(os.environ.get("DEKO_PROVIDER_TIMEOUT", DEFAULT_TIMEOUT))
    except ValueError:
        return DEFAULT_TIMEOUT
    return value if value > 0 else DEFAULT_TIMEOUT


class DekoRequest(object):
    """One provider request: its path, the fields it sends and what it reads back."""

    path = ""
    fields = ()
    results = ()

    def __init__(self, **fields):
        name = type(self).__name__
        self.auth = fields.pop("auth", "")
        unknown = sorted(set(fields) - set(self.fields))
        if unknown:
            raise TypeError("%s() got unexpected field(s): %s" % (name, ", ".join(unknown)))
        missing = [f for f in self.fields if f not in fields]
        if missing:
            raise TypeError("%s() missing field(s): %s" % (name, ", ".join(missing)))
        self.body = dict((f, fields[f]) for f in self.fields)
        for key, value in self.body.items():
            setattr(self, key, value)
        self.conn = False
        self.sukses = False
        self.http_status = None
        self.error_msg = ""
        self.msg = ""
        for result in self.results:
            setattr(self, result, None)

    def __repr__(self):
        return "<%s %s conn=%r sukses=%r error_msg=%r>" % (
            type(self).__name__, self.path, self.conn, self.sukses, self.error_msg)

    def makerequest(self, http, logging=None):
        """POST the fields to the provider over ``http`` (a urllib3 PoolManager)."""
        url = provider_url() + self.path
        headers = {
            "Content-Type": "application/json; charset=utf-8",
            "Accept": "application/json",
            TOKEN_HEADER: "" if self.auth is None else str(self.auth),
        }
        body = json.dumps(self.body, default=str).encode("utf-8")
        try:
            answer = http.request("POST", url, body=body, headers=headers,
                                  timeout=urllib3.Timeout(total=provider_timeout()),
                                  retries=False)
        except _NETWORK_ERRORS as error:
            self.conn = False
            if logging is not None:
                logging.warning("Deko %s: tidak ada jawaban dari provider: %s: %s",
                                self.path, type(error).__name__, error)
            return self
        self.conn = True
        self.http_status = answer.status
        try:
            reply = json.loads(answer.data.decode("utf-8"))
        except ValueError:
            reply = None
        if not isinstance(reply, dict):
            self.error_msg = "HTTP %d" % answer.status
            return self
        self.msg = _text(reply.get("message"))
        if not 200 <= answer.status < 300:
            self.error_msg = _text(reply.get("error")) or "HTTP %d" % answer.status
            return self
        self.sukses = reply.get("success") is True
        if self.sukses:
            self.read_data(reply.get("data"))
        else:
            self.error_msg = _text(reply.get("error")) or self.msg or "Permintaan ditolak provider"
            if logging is not None:
                logging.info("Deko %s ditolak: %s", self.path, self.error_msg)
        return self

    def read_data(self, data):
        """Store the reply's data under the class's result names."""
        for result in self.results:
            setattr(self, result, data)


def _text(value):
    return "" if value is None else str(value)


class LoginNomor(DekoRequest):
    path = "/auth/login"
    fields = ("msisdn", "idretail")


class LoginOtp(DekoRequest):
    path = "/auth/otp"
    fields = ("msisdn", "otp", "idretail")
    results = ("response",)


class Balance(DekoRequest):
    path = "/balance"
    results = ("balance",)


class Produk(DekoRequest):
    """Catalogue of one category: product-type key -> list of product mappings."""

    path = "/products"
    fields = ("kategori",)
    results = ("produk",)

    def get_produk(self, paketid, kategori=None):
        """The product mapping whose "CODE" is ``paketid``, in any list; else None."""
        for products in (self.produk or {}).values():
            for product in products or ():
                if isinstance(product, dict) and product.get("CODE") == paketid:
                    return product
        return None


class ProdukTerbaik(DekoRequest):
    """Best offers that the provider proposes for one subscriber number."""

    path = "/offers"
    fields = ("msisdn",)
    results = ("produk",)

    def produkById(self, offerid):
        """The first offer whose "offerId" is ``offerid``; else None."""
        for offer in self.produk or ():
            if isinstance(offer, dict) and offer.get("offerId") == offerid:
                return offer
        return None


class TransaksiSPV(DekoRequest):
    path = "/purchase/spv"
    fields = ("kategori", "msisdn", "pin", "kodeproduk", "harga", "trx")


class TransaksiKPK(DekoRequest):
    path = "/purchase/kpk"
    fields = ("msisdn", "pin", "kodeproduk", "harga", "trx")


class TransaksiTerbaik(DekoRequest):
    path = "/purchase/offer"
    fields = ("msisdn", "pin", "harga", "trx", "idretail", "productType", "offerId",
              "recommendationName", "registrationKey", "retailerIncentive")


class Transaksi(DekoRequest):
    path = "/purchase"
    fields = ("msisdn", "pin", "kodeproduk", "kategori", "nama", "harga", "trx")


class CheckKPK(DekoRequest):
    path = "/check/kpk"
    fields = ("msisdn",)
    results = ("data",)


class CheckSPV(DekoRequest):
    path = "/check/spv"
    fields = ("msisdn",)
    results = ("data",)


class History(DekoRequest):
    """The retailer's transaction history, oldest entry first."""

    path = "/history"
    results = ("history",)
