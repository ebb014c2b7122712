"""How many attempts of a purchase whose answers are lost complete on small stacks: the module
against the plain-Python version of reference.py, each with its own methods and with a host's
methods that call them (a subclass), over real HTTP against the simulated provider.

Run: /usr/bin/python3 bench/stacks.py [PYTHON]   (PYTHON: the interpreter to measure, default this one;
its build of the module must be in place). Each case runs in a process of its own, which a stack
overflow ends with SIGSEGV: the table then shows the attempts it had started.
"""
import os
import subprocess
import sys
import types

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STACKS = [("thread", 32), ("thread", 64), ("thread", 1024), ("thread", 8192), ("QThread", 32), ("QThread", 44),
          ("QThread", 64), ("QThread", 128)]
CASES = [("purchase, 3 answers lost", 0, 3), ("990 retries", -990, None)]


def child(kind, size, who, counter, drops):
    """Runs in the measured process: one purchase, the attempts it started written to stderr as dots."""
    sys.path[:0] = [ROOT, os.path.join(ROOT, "bench"), os.path.join(ROOT, "tests", "py")]
    from apps.deko.libs.connections import dekoconnection as mod
    from apps.deko.models import requests
    from apps.deko.models.objects.inquery import InqueryDetail
    from apps.deko.models.objects.transaksi import Produk, Transaksi
    from fakes import FakeTerminal
    from simulator.provider import ProviderSimulator
    import reference
    import threading

    sim = ProviderSimulator(port=0).start()
    os.environ["DEKO_PROVIDER_URL"], mod.dekorequest = sim.url, requests
    terminal = FakeTerminal()
    terminal.otp = lambda jam, tanggal: sim.inbox(terminal.config.deko["nomor"])[-1]["otp"]
    conn = mod.DekoConnection(None, terminal)
    assert conn.login().status
    mod.sleep = lambda seconds: None
    if who.startswith("plain"):
        env = types.SimpleNamespace(requests=requests, sleep=mod.sleep, InqueryDetail=mod.InqueryDetail,
                                    normalizemsisdn=mod.normalizemsisdn, remove_html_tags=mod.remove_html_tags,
                                    DEKO_STATUS=mod.TRANSAKSI_TYPES.DEKO_STATUS)
        buyer = reference.PlainConnection(terminal, conn.http, env)
    else:
        buyer = conn
    if who.endswith("host"):
        base = type(buyer)
        buyer.__class__ = type("Host", (base,), {
            "transaksi": lambda self, transaksi, counter=0: base.transaksi(self, transaksi, counter=counter)})
    terminal.console = lambda text, level: text == "Mengirim Transaksi..." and os.write(2, b".")
    sim.inject("/purchase", "drop", count=drops)

    def buy():
        rec = Transaksi(Produk("PULSA", "DEKOTOPUP", "TP10"), "081300000017", pin="1234",
                        inq=InqueryDetail(10500, {}))
        try:
            outcome = buyer.transaksi(rec, counter=counter).status
        except RecursionError:
            outcome = "RecursionError"
        os.write(1, outcome.encode())

    if kind == "thread":
        threading.stack_size(size << 10)
        worker = threading.Thread(target=buy)
        worker.start()
        worker.join()
    else:
        from PySide2.QtCore import QCoreApplication, QThread
        app = QCoreApplication([])  # noqa: F841
        worker = type("Worker", (QThread,), {"run": lambda self: buy()})()
        worker.setStackSize(size << 10)
        worker.start()
        worker.wait()
    os._exit(0)


def measure(python, kind, size, who, counter, drops):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    if python != "/usr/bin/python3":
        env.setdefault("DEKO_BUILD_DIR", "build-py%d%d" % tuple(map(int, subprocess.check_output(
            [python, "-c", "import sys; print(*sys.version_info[:2])"]).split())))
    done = subprocess.run([python, os.path.abspath(__file__), "--child", kind, str(size), who, str(counter),
                           str(drops)], capture_output=True, text=True, env=env, timeout=300)
    attempts = done.stderr.count(".")
    end = done.stdout.strip() if done.returncode == 0 else "signal %d" % -done.returncode
    return "%d, %s" % (attempts, end)


def main(argv):
    if argv[:1] == ["--child"]:
        kind, size, who, counter, drops = argv[1:]
        child(kind, int(size), who, int(counter), None if drops == "None" else int(drops))
    python = argv[0] if argv else sys.executable
    print("Attempts started, and how the purchase ended, under %s" % python)
    whos = ["plain", "module", "plain + host", "module + host"]
    for name, counter, drops in CASES:
        print("\n%s\n%-14s %s" % (name, "stack", "".join("%-24s" % w for w in whos)))
        for kind, size in STACKS:
            row = [measure(python, kind, size, w.replace(" + ", "-"), counter, drops) for w in whos]
            print("%-14s %s" % ("%s %d KiB" % (kind, size), "".join("%-24s" % r for r in row)), flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
