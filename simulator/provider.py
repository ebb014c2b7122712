"""Simulated Deko retailer service over HTTP on loopback: the server.

Wire protocol: every endpoint takes a JSON body and answers
``{"success": bool, "message": text, "error": text, "data": ...}`` with HTTP 200,
also for refusals. Sessions: ``/auth/login`` sends an OTP to the chip's inbox,
``/auth/otp`` exchanges it for a token; every other provider endpoint needs that
token in the ``X-Gateway-Token`` header, else it refuses with "invalid_token".

Endpoints: POST /auth/login, /auth/otp, /balance, /products, /offers, /purchase,
/purchase/spv, /purchase/kpk, /purchase/offer, /check/kpk, /check/spv, /history.
Control: GET /_sim/inbox?msisdn=&since=, POST /_sim/expire, /_sim/fault, /_sim/clear.
Reports, for a gateway that runs the provider in another process: GET /_sim/ledger answers
``{"ledger": [...]}``, every purchase request the provider saw, oldest first, accepted or
refused (its endpoint, fields, "accepted", "outcome", "batchId", "error", "fault", "time");
GET /_sim/stats answers ``{"otp_logins": n, "requests": {path: n}, "purchases": n,
"balance": n}``: the OTP logins so far, the requests by path (control ones included), the
ledger's length and the retailer's balance.

This file holds the server: its sessions (tokens and the OTP inbox), the faults' place in a
request, the hand-over of each request to its endpoint or control endpoint, and the HTTP
handler. The rest is in files of its own: the endpoints in routes.py, the catalogue and the
number helpers in catalogue.py, the faults in faults.py, the ledger and the history in ledger.py.
"""
import datetime
import itertools
import json
import random
import secrets
import socket
import threading
import time
from http.server import ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

from simulator.catalogue import build_catalogue, msisdn62
from simulator.faults import Faults
from simulator.ledger import Ledger
from simulator.loopback import LoopbackServer, PromptHandler
from simulator.routes import PUBLIC_PATHS, PURCHASE_PATHS, ProviderRoutes, _refusal, _success


class _Server(ThreadingHTTPServer):
    request_queue_size = 128  # many gateway threads may connect at once


class ProviderSimulator(ProviderRoutes, LoopbackServer):
    """The provider, in process. ``start()`` serves on 127.0.0.1 in a background thread."""

    server_class = _Server
    owner_name = "sim"
    thread_name = "deko-simulator"

    def __init__(self, port=0, token_lifetime=3600.0, history_delay=0.0, catalogue_size=None,
                 pin="1234", balance=5000000, retailers=None, numeric_batch_rate=0.0):
        self.port = port
        # That share of purchases gets a whole-number batch id (a JSON number), as some providers send.
        self.numeric_batch_rate = float(numeric_batch_rate)
        self._batch_draws = random.Random(1)
        self._numeric_batches = itertools.count(100000001)
        self.token_lifetime = float(token_lifetime)
        self.history_delay = float(history_delay)
        self.pin = str(pin)
        self.balance = int(balance)
        self.retailers = dict((msisdn62(k), v) for k, v in
                              (retailers or {"6281200000001": "RTL001"}).items())
        self.catalogue = build_catalogue(catalogue_size)
        self._codes = dict((p["CODE"], p) for cat in self.catalogue.values()
                           for products in cat.values() for p in products)
        self.requests = {}
        self.otp_logins = 0
        self._tokens = {}
        self._inbox = {}
        self._lock = threading.RLock()
        self._ledger = Ledger(self._lock)
        self._faults = Faults()
        self._sockets = set()

    @property
    def ledger(self):
        """Every purchase request the provider saw, oldest first (ledger.py tells its records)."""
        return self._ledger.records

    # ---- life cycle -------------------------------------------------------------

    def handler_class(self):
        return _ProviderHandler

    def close_connections(self):
        with self._lock:
            sockets = list(self._sockets)
        for sock in sockets:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    # ---- control ------------------------------------------------------------------

    def expire_all_tokens(self):
        with self._lock:
            self._tokens.clear()

    def inject(self, path, kind, count=1, delay=0.0, error=None, when="before", status=503):
        """Make the next ``count`` requests to ``path`` (None: all, until cleared) fail with a fault
        of ``kind`` (faults.py tells the kinds and the rest)."""
        self._faults.inject(path, kind, count, delay, error, when, status)

    def random_faults(self, rate=0.0, kinds=("drop", "delay", "http500"), seed=None, delay=0.5,
                      rates=None, paths=None):
        """Hit requests at random, with probability ``rate`` or ``rates`` kind by kind (faults.py tells how)."""
        self._faults.random_faults(rate, kinds, seed, delay, rates, paths)

    def clear_faults(self):
        self._faults.clear()

    def complete_pending(self):
        """The provider finishes the purchases it left pending: each succeeds and is charged, in its
        history and in its ledger. Returns how many it finished."""
        with self._lock:
            charges = self._ledger.complete_pending()
            self.balance -= sum(charges)
        return len(charges)

    def clear_history(self):
        self._ledger.clear_history()

    def history(self):
        """The entries visible now, oldest first."""
        return self._ledger.history()

    def inbox(self, msisdn, since=None):
        with self._lock:
            messages = list(self._inbox.get(msisdn62(msisdn), ()))
        return [dict(m) for m in messages if since is None or m["time"] >= since]

    # ---- sessions -------------------------------------------------------------------

    def _new_session(self):
        """A new session token, valid for ``token_lifetime`` seconds; counted as an OTP login."""
        with self._lock:
            token = secrets.token_hex(16)
            self._tokens[token] = time.monotonic() + self.token_lifetime
            self.otp_logins += 1
        return token

    def _token_valid(self, token):
        with self._lock:
            expires = self._tokens.get(token or "")
            if expires is None:
                return False
            if expires <= time.monotonic():
                del self._tokens[token]
                return False
            return True

    # ---- request handling -----------------------------------------------------------

    def _take_fault(self, path):
        """Counts the request to ``path``; the fault that hits it, or None (never for a control path)."""
        with self._lock:
            self.requests[path] = self.requests.get(path, 0) + 1
        if path.startswith("/_sim/"):
            return None
        return self._faults.take(path)

    def handle(self, method, path, query, body, token):
        """One request -> ("reply", status, payload) or ("drop",)."""
        fault = self._take_fault(path)
        if fault is not None and fault.when == "before":
            if fault.kind == "delay":
                time.sleep(fault.delay)
            else:
                if path in PURCHASE_PATHS:
                    self._ledger.record(path, body, False, error=fault.error, fault=fault.kind + ":before")
                return self._faulted(fault)
        result = self._process(method, path, query, body, token)
        if fault is not None and len(result) > 2:
            self._ledger.mark_fault(result[2], "%s:%s" % (fault.kind, fault.when))
        if fault is not None and fault.when == "after":
            if fault.kind == "delay":
                time.sleep(fault.delay)
            else:
                return self._faulted(fault)
        return ("reply",) + result[:2]

    @staticmethod
    def _faulted(fault):
        if fault.kind == "drop":
            return ("drop",)
        if fault.kind == "http500":
            return ("reply", fault.status, _refusal(fault.error))
        return ("reply", 200, _refusal(fault.error))

    def _process(self, method, path, query, body, token):
        if path == "/_sim/inbox" and method == "GET":
            since = (query.get("since") or [None])[0]
            if since is not None:
                try:
                    since = datetime.datetime.strptime(since, "%Y-%m-%d %H:%M:%S").strftime("%Y-%m-%d %H:%M:%S")
                except ValueError:
                    return 400, _refusal("since tidak valid")
            messages = self.inbox((query.get("msisdn") or [""])[0], since)
            return 200, {"messages": [dict((k, m[k]) for k in ("time", "otp", "text")) for m in messages]}
        reports = {"/_sim/ledger": self._ledger.report, "/_sim/stats": self._sim_stats}
        if path in reports and method == "GET":
            return 200, reports[path]()
        if method != "POST":
            return 405, _refusal("Metode tidak didukung")
        if not isinstance(body, dict):
            return 400, _refusal("Body harus objek JSON")
        control = {"/_sim/expire": self._sim_expire, "/_sim/fault": self._sim_fault, "/_sim/clear": self._sim_clear}
        if path in control:
            return control[path](body)
        route = self.route(path)
        if route is None:
            return 404, _refusal("Alamat tidak dikenal")
        if path not in PUBLIC_PATHS and not self._token_valid(token):
            if path in PURCHASE_PATHS:
                return (200, _refusal("invalid_token"),
                        self._ledger.record(path, body, False, error="invalid_token"))
            return 200, _refusal("invalid_token")
        return route(path, body)

    # ---- control endpoints --------------------------------------------------------

    def _sim_expire(self, body):
        self.expire_all_tokens()
        return 200, _success("Semua token kedaluwarsa")

    def _sim_fault(self, body):
        try:
            self.inject(body["path"], body["kind"], count=body.get("count", 1),
                        delay=body.get("delay", 0.0), error=body.get("error"),
                        when=body.get("when", "before"), status=body.get("status", 503))
        except (KeyError, ValueError, TypeError) as error:
            return 400, _refusal("fault tidak valid: %s" % error)
        return 200, _success("Gangguan dipasang")

    def _sim_clear(self, body):
        self.clear_faults()
        if body.get("history"):
            self.clear_history()
        return 200, _success("Gangguan dihapus")

    def _sim_stats(self):
        with self._lock:
            return {"otp_logins": self.otp_logins, "requests": dict(self.requests),
                    "purchases": len(self.ledger), "balance": self.balance}


class _ProviderHandler(PromptHandler):
    server_version = "DekoSimulator/1.0"
    timeout = 120

    def setup(self):
        PromptHandler.setup(self)
        with self.server.sim._lock:
            self.server.sim._sockets.add(self.connection)

    def finish(self):
        try:
            PromptHandler.finish(self)
        finally:
            with self.server.sim._lock:
                self.server.sim._sockets.discard(self.connection)

    def do_GET(self):
        self._serve("GET")

    def do_POST(self):
        self._serve("POST")

    def _serve(self, method):
        try:
            self._answer(method)
        except (ConnectionError, socket.timeout):
            self.close_connection = True  # the gateway gave up on this request

    def _answer(self, method):
        parts = urlsplit(self.path)
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length) if length > 0 else b""
        try:
            body = json.loads(raw.decode("utf-8")) if raw.strip() else {}
        except ValueError:
            body = None
        action = self.server.sim.handle(method, parts.path, parse_qs(parts.query), body,
                                        self.headers.get("X-Gateway-Token", ""))
        if action[0] == "drop":
            self.close_connection = True
            return
        self.reply(action[1], "application/json; charset=utf-8", json.dumps(action[2]).encode("utf-8"))
