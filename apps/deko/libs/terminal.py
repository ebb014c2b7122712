"""A provider terminal of the gateway: settings, session token, console, error log, OTP."""
import datetime
import json
import logging
import os
import sys
import threading
import time

import urllib3

from apps.deko.libs.utils.tools import normalizemsisdn

_PRINT_LOCK = threading.Lock()
_COLOURS = {"sukses": "\033[32m", "warning": "\033[33m", "gagal": "\033[31m"}
_RESET = "\033[0m"


class TerminalConfig(object):
    """Settings of a terminal; ``deko`` holds the provider settings mapping."""

    def __init__(self, deko):
        self.deko = deko


class Terminal(object):
    """One provider terminal.

    ``deko_config`` keys: "nomor" (retailer chip number), "idretail",
    "nomor_transaksi", "reply_ip", "reply_port". ``stream`` is where console lines go
    (standard output when None); ``color`` forces ANSI colours on or off (None: only
    when the stream is a tty). ``getOtp`` reads the chip's inbox at
    ``<provider_url>/_sim/inbox`` (``DEKO_PROVIDER_URL`` when ``provider_url`` is None),
    waiting up to ``otp_wait`` seconds.
    """

    def __init__(self, deko_config, provider_url=None, stream=None, color=None, otp_wait=3.0):
        self.auth_token = ""
        self.config = TerminalConfig(deko_config)
        self.provider_url = provider_url
        self.stream = stream
        self.color = color
        self.otp_wait = otp_wait
        self.lines = []
        self.errors = []
        self.logging = logging.getLogger("deko.terminal")
        if not self.logging.handlers:
            self.logging.addHandler(logging.NullHandler())
        self._http = urllib3.PoolManager()

    def console(self, text, level="default"):
        """Show one progress line, e.g. "[07:12:03] SUKSES  Cek Saldo Berhasil"."""
        text = " ".join(str(text).splitlines())
        level = str(level)
        stream = self.stream if self.stream is not None else sys.stdout
        line = "[%s] %-7s %s" % (datetime.datetime.now().strftime("%H:%M:%S"), level.upper(), text)
        colour = self.color
        if colour is None:
            isatty = getattr(stream, "isatty", None)
            colour = bool(isatty and isatty())
        if colour and level in _COLOURS:
            line = _COLOURS[level] + line + _RESET
        with _PRINT_LOCK:
            self.lines.append((text, level))
            stream.write(line + "\n")
            stream.flush()

    def logException(self, error):
        """Record a caught error; returns "Error: <type>: <message>"."""
        with _PRINT_LOCK:
            self.errors.append(error)
        self.logging.debug("Error tercatat", exc_info=error)
        return "Error: %s: %s" % (type(error).__name__, error)

    def getOtp(self, jam, tanggal):
        """The OTP that reached the chip at or after ``tanggal jam`` (local time), or None."""
        try:
            base = (self.provider_url or os.environ.get("DEKO_PROVIDER_URL")
                    or "http://127.0.0.1:18765").rstrip("/")
            fields = {"msisdn": normalizemsisdn(self.config.deko["nomor"]),
                      "since": "%s %s" % (tanggal, jam)}
            deadline = time.monotonic() + max(0.0, float(self.otp_wait))
            while True:
                remaining = max(0.2, min(2.0, deadline - time.monotonic()))
                answer = self._http.request("GET", base + "/_sim/inbox", fields=fields,
                                            timeout=urllib3.Timeout(total=remaining), retries=False)
                if answer.status == 200:
                    messages = json.loads(answer.data.decode("utf-8")).get("messages") or []
                    if messages:
                        return str(messages[-1]["otp"])
                if time.monotonic() >= deadline:
                    return None
                time.sleep(min(0.1, max(0.0, deadline - time.monotonic())))
        except Exception as error:  # any failure means no OTP
            self.logging.info("OTP tidak dapat diambil: %s", error)
            return None
