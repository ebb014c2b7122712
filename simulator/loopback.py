"""An HTTP server on 127.0.0.1 served from a daemon thread."""
import threading
from http.server import ThreadingHTTPServer


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
