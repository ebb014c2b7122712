"""The desktop host put together: the simulated provider and the terminal's reply listener (both in
this process), the terminal, the connection, the worker threads, the purchase flow and the window."""
import json
import os
import sys

import shiboken2
from PySide2.QtCore import QObject, Signal, Slot
from PySide2.QtGui import QFont
from PySide2.QtWidgets import QApplication

from apps.deko.libs.connections.hostconnection import HostDekoConnection
from demo.common import deko_settings
from demo.dialogs import GuiTerminal
from demo.purchases import PurchaseFlow
from demo.window import HostWindow
from demo.workers import Workers
from simulator.listener import TerminalListener
from simulator.provider import ProviderSimulator

OFFER_NUMBER = "081234567801"  # the best offers (CRP) of the catalogue are this number's


class Settings(object):
    """Timings of the provider and of its faults, in seconds.

    A purchase request is hit by each fault that is on with probability ``fault_rate``; a slow
    answer takes ``fault_delay``, past the connection's time-out ``provider_timeout``, so it counts
    as lost. A late history shows a purchase ``history_delay`` after it was carried out: within
    the history lookup's six passes, one second apart, so that a lost answer is still found there."""

    def __init__(self, provider_timeout=3.0, fault_rate=0.2, fault_delay=4.0, history_delay=2.0, seed=None):
        self.provider_timeout = provider_timeout
        self.fault_rate = fault_rate
        self.fault_delay = fault_delay
        self.history_delay = history_delay
        self.seed = seed


class Replies(QObject):
    """Lives on the GUI thread: what the terminal received comes to it from the listener's thread."""

    received = Signal(str)

    def __init__(self, window):
        QObject.__init__(self)
        self.window = window
        self.received.connect(self.show)

    @Slot(str)
    def show(self, text):
        try:
            reply = json.loads(text)
        except ValueError:
            return
        self.window.show_reply(reply.get("idtrx"), "%s: %s" % (reply.get("status"), reply.get("pesan")))


class Host(object):
    """Everything the window runs with. ``stream`` gets the console lines too."""

    offer_number = OFFER_NUMBER

    def __init__(self, settings=None, stream=None, workers=8):
        self.settings = settings or Settings()
        self.sim = ProviderSimulator(port=0).start()
        self.listener = TerminalListener(on_reply=lambda text: self.replies.received.emit(text)).start()
        os.environ["DEKO_PROVIDER_URL"] = self.sim.url
        os.environ["DEKO_PROVIDER_TIMEOUT"] = str(self.settings.provider_timeout)
        QApplication.setFont(QFont("DejaVu Sans", 9))
        self.terminal = GuiTerminal(deko_settings(self.listener.port), self.sim.url, self.ask_otp,
                                    stream if stream is not None else sys.stdout)
        self.conn = HostDekoConnection(None, self.terminal)
        self.workers = Workers(workers)
        self.flow = PurchaseFlow(self.conn, self.workers)
        self.window = HostWindow(self)
        self.replies = Replies(self.window)

    def ask_otp(self, question):
        return self.window.ask_otp(question)

    def stop(self):
        """Ends the workers, the listener and the provider, and deletes the Qt objects made here, now and
        on this thread: left to Python's garbage collector, a window could be deleted on whichever
        thread happens to collect it, which Qt does not survive."""
        self.workers.stop()
        self.listener.stop()
        self.sim.stop()
        for made in (self.window, self.flow, self.replies, self.terminal.signals, self.workers.results):
            if shiboken2.isValid(made):
                shiboken2.delete(made)
