"""An HTTP server on 127.0.0.1 served from a daemon thread, and a request handler that answers promptly."""
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class PromptHandler(BaseHTTPRequestHandler):
    """HTTP/1.1 keep-alive handler whose answers leave the moment they are made.

    With Nagle's algorithm on, a response written as headers then body sends the headers and
    holds the body until the client acknowledges them, and a client delays that acknowledgement
    (about 40 ms on Linux): every request would wait that long. So the connection runs without
    Nagle's algorithm (TCP_NODELAY), and ``reply`` writes the status line, headers and body in one
    write when they fit the 64 KiB output buffer (larger bodies follow in further writes, still
    at once)."""

    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True
    wbufsize = 1 << 16

    def log_message(self, format, *args):
        pass

    def reply(self, status, content_type, data):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)
        self.wfile.flush()  # here, where the caller sees a client that has gone


class LoopbackServer(object):
    """start(), stop(), ``url`` and use as a context manager. Subclasses set ``port`` (0: any free
    one) and name their request handler; the handler reaches its owner as ``self.server.<owner_name>``."""

    server_class = ThreadingHTTPServer
    owner_name = "owner"
    thread_name = "loopback-server"
    port = 0
    _server = None
    _thread = None

    def handler_class(self):
        raise NotImplementedError

    def start(self):
        server = self.server_class(("127.0.0.1", self.port), self.handler_class())
        server.daemon_threads = True
        setattr(server, self.owner_name, self)
        self._server = server
        self.port = server.server_address[1]
        self._thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1},
                                        name=self.thread_name, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        server, self._server = self._server, None
        if server is None:
            return
        server.shutdown()
        server.server_close()
        self.close_connections()
        self._thread.join(5)

    def close_connections(self):
        """Ends connections still open after the server stopped accepting new ones."""

    def __enter__(self):
        return self.start() if self._server is None else self

    def __exit__(self, *exc):
        self.stop()

    @property
    def url(self):
        return "http://127.0.0.1:%d" % self.port
