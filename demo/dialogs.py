"""The desktop host's terminal, whose console lines and OTP questions reach the GUI thread from any
thread, and the OTP dialog in which the operator confirms or types the code."""
import threading

from PySide2.QtCore import QCoreApplication, QObject, Qt, Signal, Slot
from PySide2.QtWidgets import QDialog, QDialogButtonBox, QLabel, QLineEdit, QVBoxLayout

from apps.deko.libs.terminal import Terminal
from demo.common import CHIP


def on_gui_thread(obj):
    """Whether this is the thread ``obj`` lives on, the GUI (main) thread; asked of Python, not of Qt,
    which would adopt a Python worker thread that asks, and PySide2 fails as such a thread ends."""
    return threading.current_thread() is threading.main_thread() and obj.thread() is QCoreApplication.instance().thread()


class TerminalSignals(QObject):
    """Lives on the GUI thread: console lines come to it from any thread, queued; a worker's OTP
    question comes through a blocking queued call, so that the worker waits for the answer."""

    line = Signal(str, str)
    otp_asked = Signal(object)

    def __init__(self, ask_otp):
        QObject.__init__(self)
        self.ask_otp = ask_otp
        self.otp_asked.connect(self.answer_otp, Qt.BlockingQueuedConnection)

    @Slot(object)
    def answer_otp(self, question):
        question["answer"] = self.ask_otp(question)


class GuiTerminal(Terminal):
    """The terminal of a desktop host: its console lines go to the window, and the OTP is the one
    the operator confirms in a dialog on the GUI thread, whichever thread logs in."""

    def __init__(self, deko_config, provider_url, ask_otp, stream):
        Terminal.__init__(self, deko_config, provider_url=provider_url, stream=stream, otp_wait=1.0)
        self.signals = TerminalSignals(ask_otp)

    def console(self, text, level="default"):
        Terminal.console(self, text, level)
        self.signals.line.emit(" ".join(str(text).splitlines()), str(level))

    def getOtp(self, jam, tanggal):
        question = {"jam": jam, "tanggal": tanggal, "received": Terminal.getOtp(self, jam, tanggal),
                    "asked_from_gui": on_gui_thread(self.signals)}
        if question["asked_from_gui"]:
            # A blocking queued call to one's own thread would wait for ever: the dialog runs here.
            self.signals.answer_otp(question)
        else:
            self.signals.otp_asked.emit(question)
        return question.get("answer")


class OtpDialog(QDialog):
    """Shows the code the chip received (when it did) for the operator to confirm, or to type."""

    def __init__(self, question, parent):
        QDialog.__init__(self, parent)
        self.setWindowTitle("Kode OTP")
        self.code = QLineEdit(question["received"] or "")
        self.code.setPlaceholderText("6 angka dari SMS")
        buttons = QDialogButtonBox(QDialogButtonBox.Ok | QDialogButtonBox.Cancel)
        buttons.button(QDialogButtonBox.Ok).setText("Login")
        buttons.button(QDialogButtonBox.Cancel).setText("Batal")
        buttons.accepted.connect(self.accept)
        buttons.rejected.connect(self.reject)
        self.code.textChanged.connect(
            lambda text: buttons.button(QDialogButtonBox.Ok).setEnabled(bool(text.strip())))
        buttons.button(QDialogButtonBox.Ok).setEnabled(bool(self.code.text().strip()))
        layout = QVBoxLayout(self)
        received = ("Chip %s menerima kode ini (SMS sejak %s %s). Konfirmasi, atau ketik kodenya:"
                    % (CHIP, question["tanggal"], question["jam"]) if question["received"] else
                    "Chip %s belum menerima SMS OTP. Ketik kodenya:" % CHIP)
        layout.addWidget(QLabel(received))
        layout.addWidget(self.code)
        layout.addWidget(buttons)
