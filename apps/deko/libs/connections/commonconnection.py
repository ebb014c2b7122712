"""Base-connection helper shared by the gateway's provider connections."""
import http.client

REPLY_TIMEOUT = 5.0


class CommonConnection(object):
    """What every provider connection needs besides its provider: replying to terminals."""

    def __init__(self, conn):
        self.conn = conn

    def terminal_h2h(self, ip, port, text):
        """Deliver a reply text to the terminal at ``ip``:``port``.

        The reply goes as an HTTP POST to ``http://<ip>:<port>/reply`` with the text as
        the body (``application/json; charset=utf-8``), with a 5-second time-out.
        Returns the HTTP status; raises when the terminal cannot be reached or answers
        with a status other than 2xx.
        """
        body = str(text).encode("utf-8")
        connection = http.client.HTTPConnection(str(ip), int(port), timeout=REPLY_TIMEOUT)
        try:
            connection.request("POST", "/reply", body=body, headers={
                "Content-Type": "application/json; charset=utf-8",
                "Content-Length": str(len(body)),
            })
            answer = connection.getresponse()
            answer.read()
        finally:
            connection.close()
        if not 200 <= answer.status < 300:
            raise RuntimeError("Terminal %s:%s menjawab HTTP %d" % (ip, port, answer.status))
        return answer.status
