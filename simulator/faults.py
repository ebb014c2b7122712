"""The simulated provider's faults: the ones injected path by path and the random ones.

A fault hits one request. Its kinds: "drop" (the connection closes without an answer), "delay"
(the answer waits a while), "http500" (an HTTP error status with an error body) and "refuse" (the
provider refuses the request). It hits "before" the provider carries the request out, or
"after" it did so. The simulator takes a request's fault with ``Faults.take`` and carries it out.
"""
import random
import threading

from simulator.routes import PURCHASE_PATHS

FAULT_KINDS = ("drop", "delay", "http500", "refuse")


class _Fault(object):
    def __init__(self, kind, count, delay, error, when, status):
        if kind not in FAULT_KINDS:
            raise ValueError("unknown fault kind %r" % (kind,))
        if when not in ("before", "after"):
            raise ValueError("fault 'when' must be 'before' or 'after'")
        self.kind, self.count, self.delay, self.error, self.when, self.status = (
            kind, count, delay, error, when, status)


class Faults(object):
    """The faults waiting for requests, by path, and the random faults' draws."""

    def __init__(self):
        self._injected = {}
        self._random = None
        self._lock = threading.Lock()

    def inject(self, path, kind, count, delay, error, when, status):
        """Make the next ``count`` requests to ``path`` (None: all, until cleared) fail.

        kinds: "drop" (close without an answer), "delay" (wait ``delay`` seconds, then
        answer), "http500" (HTTP ``status`` with an error body), "refuse" (provider
        refusal with ``error``). ``when``="after" carries the request out first.
        """
        if error is None:
            error = "Service Unavailable" if kind == "http500" else "Layanan sedang gangguan"
        fault = _Fault(kind, count, float(delay), error, when, int(status))
        with self._lock:
            self._injected.setdefault(path, []).append(fault)

    def random_faults(self, rate, kinds, seed, delay, rates, paths):
        """Hit requests at random: each with probability ``rate`` by a fault chosen evenly from
        ``kinds``, or with ``rates`` ({kind: probability}, together at most 1) kind by kind.

        At most one fault a request. A purchase is hit before or after it is carried out, by
        chance; "delay" waits ``delay`` seconds, "http500" answers HTTP 503, "refuse" refuses
        with "Gangguan acak". ``seed`` makes the draws repeatable. ``paths`` limits the faults
        to requests to those paths (None: every provider path).
        """
        if rates is None:
            rates = [(kind, float(rate) / len(kinds)) for kind in kinds] if kinds else []
        else:
            rates = list(dict(rates).items())
        bounds, total = [], 0.0
        for kind, share in rates:
            _Fault(kind, None, 0.0, "", "before", 503)  # an unknown kind raises here
            if not 0.0 <= float(share) <= 1.0:
                raise ValueError("fault rate of %r must be between 0 and 1" % (kind,))
            total += float(share)
            bounds.append((total, kind))
        if total > 1.0 + 1e-9:
            raise ValueError("fault rates add up to %g, more than 1" % total)
        with self._lock:
            self._random = (tuple(bounds), random.Random(seed), float(delay),
                            None if paths is None else frozenset(paths))

    def clear(self):
        """No more faults: neither the injected ones nor the random ones."""
        with self._lock:
            self._injected.clear()
            self._random = None

    def take(self, path):
        """The fault that hits this request to ``path``, or None: the first injected one left for
        the path (one fewer of it left), else a random one if the draw says so."""
        with self._lock:
            for fault in self._injected.get(path, ()):
                if fault.count is None or fault.count > 0:
                    if fault.count is not None:
                        fault.count -= 1
                    return fault
            if self._random is not None and (self._random[3] is None or path in self._random[3]):
                bounds, rng, delay, _ = self._random
                draw = rng.random()
                for bound, kind in bounds:
                    if draw < bound:
                        when = rng.choice(("before", "after")) if path in PURCHASE_PATHS else "before"
                        return _Fault(kind, 1, delay, "Gangguan acak", when, 503)
        return None
