"""The host developer's guide (README, "Using it in a host") as a newcomer follows it: its examples run as they are
against the simulated provider and type-check for 3.7 against the stub, and the errors it lists are the ones the
module gives."""
import json
import os
import re
import subprocess
import sys

import pytest

from simulator.listener import TerminalListener
from simulator.provider import ProviderSimulator

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as readme:
    GUIDE = re.search(r"^## Using it in a host\n(.*?)^## ", readme.read(), re.S | re.M).group(1)
EXAMPLES = re.findall(r"^```python\n(.*?)^```", GUIDE, re.S | re.M)
PRINTED = re.search(r"they print (.*?), and the terminal", GUIDE, re.S).group(1)
CONSOLE = re.compile(r"\[\d\d:\d\d:\d\d\] ")  # the stand-in terminal's console lines
REPLY_PORT = '"reply_port": 9100'


def run(code, sim, **env):
    # The debug interpreter warns of the stand-ins' pooled sockets left open at exit.
    return subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, DEKO_PROVIDER_URL=sim.url, PYTHONPATH=ROOT,
                                   PYTHONWARNINGS="ignore::ResourceWarning", **env))


def test_the_examples_run_as_written_and_the_terminal_gets_its_reply():
    assert len(EXAMPLES) == 3 and all(REPLY_PORT in code for code in EXAMPLES[1:])
    with ProviderSimulator() as sim, TerminalListener() as terminal:
        done = [run(code.replace(REPLY_PORT, '"reply_port": %d' % terminal.port), sim) for code in EXAMPLES]
        replied = terminal.wait_for(1, 5)
    assert [(d.returncode, d.stderr) for d in done] == [(0, "")] * 3, done
    printed = [line for d in done for line in d.stdout.splitlines() if not CONSOLE.match(line)]
    assert printed == re.findall(r"`([^`]*)`", PRINTED.replace("\n", " "))
    assert replied and json.loads(terminal.received[0])["status"] == "sukses"
    assert json.loads(terminal.received[0])["tipe"] == "CRP"


@pytest.mark.skipif(sys.version_info < (3, 8), reason="no mypy for CPython 3.7: the round on /usr/bin/python3 runs it")
def test_the_examples_type_check_for_3_7_against_the_stub(tmp_path):
    files = []
    for number, code in enumerate(EXAMPLES):
        files.append(str(tmp_path / ("example%d.py" % number)))
        with open(files[-1], "w") as example:
            example.write(code)
    done = subprocess.run([sys.executable, "-m", "mypy", "--config-file", "mypy.ini", "--python-version", "3.7"] + files,
                          cwd=ROOT, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr


# Each mistake of the guide's table, made; what the module gives is found in the table's first column.
MISTAKES = """
import os, sys
from PySide2.QtCore import QCoreApplication
from apps.deko.libs.connections.dekoconnection import DekoConnection, WaitTransaksiHistoryThread
from apps.deko.libs.connections.hostconnection import HostDekoConnection
from apps.deko.libs.terminal import Terminal
from apps.deko.models.objects.transaksi import Produk, Transaksi
app = QCoreApplication([])
full = {"nomor": "081200000001", "idretail": "RTL001", "nomor_transaksi": "TRX001", "reply_ip": "127.0.0.1",
        "reply_port": 9}
def connection(*leave_out):
    conn = HostDekoConnection(None, Terminal(dict((k, v) for k, v in full.items() if k not in leave_out),
                                             stream=open(os.devnull, "w")))
    conn.login()
    return conn
def record(conn=None):
    made = Transaksi(Produk("PULSA", "0", "TP10", "Pulsa 10.000"), "081300000101", pin="1234")
    if conn is not None:
        conn.cek(made)
    return made
def said(call):
    try:
        call()
    except Exception as error:
        return "%s: %s" % (type(error).__name__, error)
kind = os.environ["DEKO_MISTAKE"]
if kind == "nomor_transaksi":
    conn = connection("nomor_transaksi")
    rec = record(conn)
    print(said(lambda: conn.transaksi(rec)), rec.status, rec.pesan)
elif kind == "no cek":
    print(said(lambda: connection().transaksi(record())))
elif kind in ("nomor", "idretail"):
    conn = HostDekoConnection(None, Terminal(dict((k, v) for k, v in full.items() if k != kind)))
    print(conn.login(), repr(conn.terminal.errors[0]))
else:  # the wait thread of a bare connection, or without the terminal's reply port
    conn = DekoConnection(None, Terminal(full)) if kind == "bare" else connection("reply_port")
    waiter = WaitTransaksiHistoryThread(conn, None, record(conn), None, 10500)
    waiter.start()
    waiter.wait()
    if kind == "bare":
        print("%s: %s" % (type(conn.terminal.errors[-1]).__name__, conn.terminal.errors[-1]))
"""


@pytest.mark.parametrize("kind,printed,listed", [
    ("nomor_transaksi", "KeyError: 'nomor_transaksi' gagal [Deko]: 'nomor_transaksi'",
     ["KeyError: 'nomor_transaksi'", "\"gagal\", \"[Deko]: 'nomor_transaksi'\""]),
    ("no cek", "AttributeError: 'NoneType' object has no attribute 'harga'",
     ["AttributeError: 'NoneType' object has no attribute 'harga'"]),
    ("nomor", "None KeyError('nomor')", ["KeyError('nomor')"]),
    ("idretail", "None KeyError('idretail')", ["KeyError('idretail')"]),
    ("bare", "AttributeError: 'DekoConnection' object has no attribute 'ambil_dari_history'",
     ["AttributeError: 'DekoConnection' object has no attribute 'ambil_dari_history'"]),
    ("reply_port", "Gagal mengirim balasan ke 2: 'reply_port' gagal", ["Gagal mengirim balasan ke 2: 'reply_port' gagal"])])
def test_the_errors_the_guide_lists_are_the_modules(kind, printed, listed):
    with ProviderSimulator() as sim:
        done = run(MISTAKES, sim, DEKO_MISTAKE=kind)
    assert done.stdout.strip().splitlines()[-1] == printed, done.stdout + done.stderr
    table = GUIDE[GUIDE.index("### When the host's data is wrong"):]
    assert [text for text in listed if text not in table] == []
