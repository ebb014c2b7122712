"""A terminal that receives the gateway's replies: HTTP POST /reply on 127.0.0.1."""
import threading
import time
from simulator.loopback import LoopbackServer, PromptHandler


class TerminalListener(LoopbackServer):
    """Keeps every reply body (text) in ``received``; answers HTTP ``status`` (200).
    ``on_reply(text)``, when given, is called with each reply as it arrives, on the listener's thread."""

    owner_name = "listener"
    thread_name = "terminal-listener"

    def __init__(self, port=0, status=200, on_reply=None):
        self.port = port
        self.status = status
        self.on_reply = on_reply
        self.received = []
        self._cond = threading.Condition()

    def handler_class(self):
        return _ReplyHandler

    def _add(self, text):
        with self._cond:
            self.received.append(text)
            self._cond.notify_all()
        if self.on_reply is not None:
            self.on_reply(text)

    def wait_for(self, n, timeout=5.0):
        """Wait until at least ``n`` replies arrived (at most ``timeout`` s); True if they did."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while len(self.received) < n:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    return False
                self._cond.wait(remaining)
            return True


class _ReplyHandler(PromptHandler):
    timeout = 30

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length).decode("utf-8") if length > 0 else ""
        listener = self.server.listener
        status = listener.status if self.path.split("?")[0] == "/reply" else 404
        if 200 <= status < 300:
            listener._add(body)
        self.reply(status, "text/plain; charset=utf-8", b"ok" if 200 <= status < 300 else b"error")
