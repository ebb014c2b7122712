"""The loop benchmarks of the module, side by side with the plain-Python versions in reference.py
(the end-to-end load is bench/e2e.py).

Run: bash scripts/bench.sh   (or /usr/bin/python3 bench/run.py after a build)
Request stand-ins answer instantly and `sleep` is patched out, so the figures are the module's
own work. Each figure is the best of several rounds, taken in turns with the other version.

With --instructions, each figure is instead counted in machine instructions under valgrind's
callgrind: the same for the same build and inputs whatever else the machine is doing, where
times on a shared machine move with its memory and scheduling.
"""
import datetime
import os
import re
import resource
import subprocess
import sys
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, HERE)

from apps.deko.libs.connections import dekoconnection as mod  # noqa: E402
from apps.deko.constants.transaksi import DEKO_STATUS  # noqa: E402
from apps.deko.libs.utils.tools import normalizemsisdn  # noqa: E402
import reference  # noqa: E402

N = 20000


class Figure:
    """One benchmark: the two versions of the same work, and what the work is made of."""

    def __init__(self, name, module, python, units, unit, rounds=5):
        self.name, self.module, self.python = name, module, python
        self.units, self.unit, self.rounds = units, unit, rounds


def page_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def settle(*fns):
    """Calls the versions in turn until a turn runs without the process taking page faults.
    Until the heap has grown to the work's size, the allocator gives memory back to the system
    and takes it again on every call, which would cost whichever version is measured on a
    fresh heap; both are measured on the same settled heap instead."""
    for _ in range(40):
        before = page_faults()
        for fn in fns:
            result = fn()
            del result
        if page_faults() == before:
            return


def side_by_side(module, python, rounds=5, budget=1.5, blocks=3):
    """Best times of the two versions, (module, python). They take turns in blocks of rounds,
    so that both meet the various moments of a busy machine, while within a block each runs on
    the caches its own work leaves. A block starts with an untimed call and has at least
    `rounds` timed rounds, more while it takes less than its share of `budget` seconds. What a
    call returns is freed outside the timing: the figure is the work of producing it."""
    times = ([], [])
    for _ in range(blocks):
        for fn, kept in zip((module, python), times):
            fn()
            block = []
            while len(block) < rounds or (sum(block) < budget / (2 * blocks) and len(block) < 300):
                start = time.perf_counter()
                result = fn()
                block.append(time.perf_counter() - start)
                del result
            kept.extend(block)
    return min(times[0]), min(times[1])


def report(name, module, python, per, what="ms", scale=1e3, per_what="us", per_scale=1e6):
    print("%-34s module %11.3f %s   python %11.3f %s   ratio %6.1fx   (%.3f %s/%s module, %.3f %s/%s python)" % (
        name, module * scale, what, python * scale, what, python / module,
        module / per[0] * per_scale, per_what, per[1], python / per[0] * per_scale, per_what, per[1]),
        flush=True)
    return python / module


class Terminal:
    auth_token = "T"
    logging = None
    config = types.SimpleNamespace(deko={})

    def console(self, text, level):
        pass

    def logException(self, error):
        return repr(error)


def catalogue(n):
    keys = ["DEKO_TOPUP", "DEKO_TOPUPALL", "DEKO_PACKAGE", "VAS_PRODUCTS", "FRC", "SPV_BLANK", "NEW_TYPE"]
    cats = {"0": {}, "1": {}, "3": {}}
    for i in range(n):
        key = keys[i % len(keys)]
        code = "P%d.%d-G %d" % (i, i % 7, i % 3)
        cats["013"[i % 3]].setdefault(key + str(i % 3), []).append({
            "CODE": code, "DISPLAY_NAME": code if i % 5 == 0 else "Paket %d" % i,
            "DESCRIPTION": "<p>Produk %d</p>" % i, "FINAL_PRICE": 1000 + i})
    offers = [{"offerId": "OF-%d.%d" % (i, i), "productType": "DATA_PACK", "productPrice": 5000 + i,
               "offerDescription": "<p>Kuota <div>%dGB</div></p>" % i} for i in range(20)]
    return cats, offers


def catalogue_figure():
    cats, offers = catalogue(N)
    numbers = ",".join("08120000%04d" % i for i in range(10))
    conn = mod.DekoConnection(None, Terminal())
    conn.get_produk = lambda code: cats[code]
    conn.get_terbaik = lambda msisdn: offers
    plain = types.SimpleNamespace(get_produk=conn.get_produk, get_terbaik=conn.get_terbaik)
    got = conn.tarik_produk(numbers).pesan
    assert got == reference.tarik_produk(plain, numbers), "the two pulls differ"
    return Figure("catalogue pull (%d records)" % len(got), lambda: conn.tarik_produk(numbers),
                  lambda: reference.tarik_produk(plain, numbers), len(got), "record", rounds=9)


class Record:
    def __init__(self, paketid, tujuan, tipe="PULSA"):
        self.produk = types.SimpleNamespace(paketid=paketid, tipe=tipe, nama="Pulsa 10rb")
        self.tujuan = tujuan
        self.status = "pending"
        self.pesan = ""
        self.serialnumber = ""

    @property
    def sukses(self):
        return self.status == "sukses"


def history_entries(n, match_product):
    entries = []
    for i in range(n - 1):
        entries.append({"submittedDate": "20261206%02d%02d%02d000" % (8 + i % 10, i % 60, (i * 7) % 60),
                        "productId": "OTHER%d" % (i % 50), "productPrice": "10000",
                        "finalSuccessPrice": 10000, "statusDesc": "SUKSES",
                        "trxDetail": [{"msisdn": "0812%08d" % i, "batchId": "B%d" % i,
                                       "statusDesc": "ok"}]})
    entries.append({"submittedDate": "20261206123000000", "productId": match_product,
                    "productPrice": "10000.0", "finalSuccessPrice": "10000", "statusDesc": "Sukses",
                    "trxDetail": [{"msisdn": "081234567890", "batchId": "BMATCH", "statusDesc": "ok"}]})
    return entries


def history_figures():
    entries = history_entries(N, "PULSA10")

    class History:
        def __init__(self, **fields):
            pass

        def makerequest(self, http, logging):
            self.conn, self.sukses, self.history = True, True, entries

    mod.dekorequest = types.SimpleNamespace(History=History)
    mod.sleep = lambda s: None
    conn = mod.DekoConnection(None, Terminal())
    when = datetime.datetime(2026, 12, 6, 12, 29, 59, 500000)

    # One record settled again and again from its own entry (one entry settles one purchase: a new
    # record would find it taken).
    settled = Record("PULSA10", "081234567890")

    def module_pass():
        r = conn.get_transaksi_history(settled, "081234567890", when, harga=10000)
        assert r.serialnumber == "BMATCH"

    def python_pass():
        r = reference.history_pass(Record("PULSA10", "081234567890"), "081234567890", when, 10000,
                                   entries, DEKO_STATUS)
        assert r.serialnumber == "BMATCH"


    def module_previous():
        r = conn.get_previous_transaksi(Record("PULSA10", "6281234567890"), {"harga": 10000, "orderid": None})
        assert r.serialnumber == "BMATCH"

    def python_previous():
        r = reference.previous_product_mode(Record("PULSA10", "6281234567890"), 10000, entries,
                                            normalizemsisdn, DEKO_STATUS)
        assert r.serialnumber == "BMATCH"

    return [Figure("history matcher pass (%d)" % N, module_pass, python_pass, N, "entry"),
            Figure("previous purchase, product (%d)" % N, module_previous, python_previous, N, "entry")]


def pipeline_figure(calls=100000):
    class Instant:
        def __init__(self, **fields):
            self.fields = fields

        def makerequest(self, http, logging):
            self.conn, self.sukses, self.error_msg = True, True, ""

    conn = mod.DekoConnection(None, Terminal())
    plain = reference.PipelineConnection(conn.terminal, conn.http)

    def run(c):
        for _ in range(calls):
            c.makerequest(Instant, kategori="0")

    return Figure("request pipeline (%d calls)" % calls, lambda: run(conn), lambda: run(plain), calls, "call",
                  rounds=3)


# Makers of figures, with how many figures each makes; --work makes only the one it runs.
MAKERS = [(1, lambda: [pipeline_figure()]), (1, lambda: [catalogue_figure()]), (2, history_figures)]


def figure_at(index):
    for count, make in MAKERS:
        if index < count:
            return make()[index]
        index -= count
    raise IndexError(index)


def times():
    print("Benchmarks (best of several rounds; ratio = python time / module time)")
    for _, make in MAKERS:
        for figure in make():
            settle(figure.module, figure.python)
            report(figure.name, *side_by_side(figure.module, figure.python, figure.rounds),
                   per=(figure.units, figure.unit))
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print("peak memory (max RSS of this process): %.1f MiB" % (peak / 1024.0))


def counted(index, version, rounds):
    """Instructions callgrind counts for a process that makes figure `index` and runs one
    version of it `rounds` times."""
    done = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
                           os.path.abspath(__file__), "--work", str(index), version, str(rounds)],
                          capture_output=True, text=True, check=True,
                          env=dict(os.environ, PYTHONHASHSEED="0"))  # the same dict probes every run
    return int(re.search(r"Collected : (\d+)", done.stderr).group(1))


def instructions(extra=2):
    """Each figure's instructions per round: a process running the work 1 + `extra` times less
    one running it once, so that start-up, set-up and the first call's warming-up drop out."""
    print("Instruction counts under callgrind (a round's work; ratio = python / module)")
    for index in range(sum(count for count, _ in MAKERS)):
        figure = figure_at(index)
        module, python = ((counted(index, version, 1 + extra) - counted(index, version, 1)) / extra
                          for version in ("module", "python"))
        report(figure.name, module, python, (figure.units, figure.unit), what="M instr", scale=1e-6,
               per_what="instr", per_scale=1)


def work(index, version, rounds):
    """Runs one version of figure `index` `rounds` times. Results are kept and the process ends
    without tearing down, so that, as in the timings, freeing what a round made is not counted."""
    figure = figure_at(index)
    fn = figure.module if version == "module" else figure.python
    kept = [fn() for _ in range(rounds)]  # noqa: F841 (never freed: the process ends here)
    sys.stdout.flush()
    os._exit(0)


def main(argv):
    if argv[:1] == ["--work"]:
        work(int(argv[1]), argv[2], int(argv[3]))
    elif argv[:1] == ["--instructions"]:
        instructions()
    else:
        times()


if __name__ == "__main__":
    main(sys.argv[1:])
