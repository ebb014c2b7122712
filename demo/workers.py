"""The host's long-lived worker threads: a few threads, started once with the window, run the
connection's operations one after another from a shared queue, and each result comes back to the
GUI thread as a queued Qt signal. A busy window that started a QThread for every operation crashed
in about 1 sitting in 60, inside PySide2 as a new thread started (QThreadPrivate::start, where Qt
asks PySide2 for the class name of a thread that has no objectName)."""
import queue
import threading

from PySide2.QtCore import QObject, Signal, Slot

STOP = object()


class Results(QObject):
    """Lives on the GUI thread: a job's result reaches it queued and goes to the job's ``done``."""

    arrived = Signal(object)

    def __init__(self, parent=None):
        QObject.__init__(self, parent)
        self.pending = 0  # submitted, not yet delivered
        self.arrived.connect(self.deliver)

    @Slot(object)
    def deliver(self, job):
        done, result = job
        self.pending -= 1
        done(result)


class Workers(object):
    """``count`` threads that run ``submit``-ted calls in order of submission."""

    def __init__(self, count=4, name="deko-worker"):
        self.jobs = queue.Queue()
        self.results = Results()
        self.threads = [threading.Thread(target=self.serve, name="%s-%d" % (name, n + 1), daemon=True)
                        for n in range(count)]
        for thread in self.threads:
            thread.start()

    def submit(self, call, done):
        """Runs ``call()`` on a worker; ``done(result)`` on the GUI thread afterwards. A call that
        raises gives ``done`` the exception."""
        self.results.pending += 1
        self.jobs.put((call, done))

    @property
    def pending(self):
        """Calls submitted whose result has not reached the GUI thread yet."""
        return self.results.pending

    def serve(self):
        while True:
            job = self.jobs.get()
            if job is STOP:
                return
            call, done = job
            try:
                result = call()
            except Exception as error:  # the window shows it; the thread serves on
                result = error
            self.results.arrived.emit((done, result))

    def stop(self, timeout=10.0):
        """Ends the threads once the calls already submitted have run."""
        for _ in self.threads:
            self.jobs.put(STOP)
        for thread in self.threads:
            thread.join(timeout)
