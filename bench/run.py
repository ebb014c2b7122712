"""The loop benchmarks of the module, side by side with the plain-Python versions in reference.py
(the end-to-end load is bench/e2e.py).

Run: bash scripts/bench.sh   (or /usr/bin/python3 bench/run.py after a build)
Request stand-ins answer instantly and `sleep` is patched out, so the figures are the module's
own work. Each figure is the best of several rounds, taken in turns with the other version.

With --instructions, each figure is instead counted in machine instructions under valgrind's
callgrind: the same for the same build and inputs whatever else the machine is doing, where
times on a shared machine move with its memory and scheduling. --guard counts the module's alone
and fails when a case's instructions per unit grew by more than 10% over bench/instructions.json
(the test command runs it); --record writes that file anew, for a change that moves a figure on
purpose.
"""
import datetime
import os
import re
import resource
import subprocess
import sys
import tempfile
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, HERE)

from apps.deko.libs.connections import dekoconnection as mod  # noqa: E402
from apps.deko.constants.transaksi import DEKO_STATUS  # noqa: E402
from apps.deko.libs.utils.tools import normalizemsisdn  # noqa: E402
import reference  # noqa: E402

# The guard (--guard, --record) counts a tenth of the work: what a unit costs does not change with it.
SCALE = 10 if os.environ.get("DEKO_BENCH_GUARD") else 1
N = 20000 // SCALE


class Figure:
    """One benchmark: the two versions of the same work, and what the work is made of."""

    def __init__(self, name, module, python, units, unit, rounds=5):
        self.name, self.module, self.python = name, module, python
        self.units, self.unit, self.rounds = units, unit, rounds
        self.key = re.sub(r" \(\d+( \w+)?\)$", "", name)  # the name without its count


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
        self.produk = types.SimpleNamespace(paketid=paketid, tipe=tipe, nama="Pulsa 10rb", kategori="DEKOTOPUP")
        self.tujuan = tujuan
        self.pin = "1234"
        self.inq = types.SimpleNamespace(harga=10000)
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


def pipeline_figure(calls=100000 // SCALE):
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


def instant(name, **answer):
    """A request class whose exchange answers at once with these attributes."""
    def makerequest(self, http, logging):
        self.__dict__.update(answer)
    return type(name, (), {"__init__": lambda self, **fields: None, "makerequest": makerequest,
                           "get_produk": lambda self, paketid, kategori: PRODUCT})


PRODUCT = {"CODE": "PULSA10", "DISPLAY_NAME": "Pulsa 10rb", "DESCRIPTION": "<p>Pulsa</p>", "FINAL_PRICE": 10000}
OK = dict(conn=True, sukses=True, error_msg="", http_status=200)


def operation_figures(calls=2000 // SCALE):
    """The operations a host calls for each terminal request, one after another with instant answers: a
    purchase accepted and settled by the matcher's first pass; a purchase whose answer was lost, settled from
    the history at once; the product check, the menu check and the balance."""
    entries = history_entries(10, "PULSA10")
    entries[-1]["submittedDate"] = "29991231235959000"  # after any purchase's time
    requests = types.SimpleNamespace(
        Transaksi=instant("Transaksi", msg="Diproses", **OK), History=instant("History", history=entries, **OK),
        Produk=instant("Produk", **OK), CheckKPK=instant("CheckKPK", data="Sisa kuota 2GB", **OK),
        Balance=instant("Balance", balance={"Total": "500000"}, **OK))
    lost = types.SimpleNamespace(**dict(vars(requests), Transaksi=instant("Transaksi", conn=False, sukses=False)))
    mod.sleep = lambda s: None
    env = types.SimpleNamespace(requests=requests, sleep=mod.sleep, InqueryDetail=mod.InqueryDetail,
                                normalizemsisdn=normalizemsisdn, remove_html_tags=mod.remove_html_tags,
                                DEKO_STATUS=DEKO_STATUS)
    terminal = Terminal()
    terminal.config = types.SimpleNamespace(deko={"nomor_transaksi": "TRX1"})
    conn = mod.DekoConnection(None, terminal)
    plain = reference.PlainConnection(terminal, conn.http, env)
    # One record a version, settled again and again from its own entry (one entry settles one purchase).
    records = {id(conn): Record("PULSA10", "081234567890"), id(plain): Record("PULSA10", "081234567890")}
    menus = {id(conn): Record("KPK", "081234567890"), id(plain): Record("KPK", "081234567890")}

    def loop(connection, requests_used, operation):
        def run():
            mod.dekorequest = env.requests = requests_used
            for _ in range(calls):
                operation(connection)
        return run

    for connection in (conn, plain):
        for used in (requests, lost):
            mod.dekorequest = env.requests = used
            got = connection.transaksi(records[id(connection)])
            assert (got.status, got.serialnumber) == ("sukses", "BMATCH"), (got.status, got.serialnumber, got.pesan)
    cases = [("purchase, accepted (%d)", requests, lambda c: c.transaksi(records[id(c)]), "purchase"),
             ("purchase, answer lost (%d)", lost, lambda c: c.transaksi(records[id(c)]), "purchase"),
             ("product check (%d)", requests, lambda c: c.cek(records[id(c)]), "check"),
             ("menu check (%d)", requests, lambda c: c.menu_cek(menus[id(c)]), "check"),
             ("balance (%d)", requests, lambda c: c.cek_saldo(), "check")]
    return [Figure(name % calls, loop(conn, used, operation), loop(plain, used, operation), calls, unit)
            for name, used, operation, unit in cases]


# Makers of figures, with how many figures each makes; --work makes only the one it runs.
MAKERS = [(1, lambda: [pipeline_figure()]), (1, lambda: [catalogue_figure()]), (2, history_figures),
          (5, operation_figures)]


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
    """Instructions callgrind counts for `rounds` rounds of one version of figure `index`, in a process
    of its own, after a round that warms it up: start-up, set-up and the first call's warming-up are
    left out (the work is marked off by two calls of getppid, before each of which callgrind dumps
    its counts)."""
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", "--dump-before=getppid", "--callgrind-out-file=" + out,
                        sys.executable, os.path.abspath(__file__), "--work", str(index), version, str(rounds)],
                       capture_output=True, text=True, check=True,
                       env=dict(os.environ, PYTHONHASHSEED="0",  # the same dict probes every run
                                DEKO_BENCH_GUARD="1" if SCALE > 1 else ""))
        with open(out + ".2") as f:
            return int(re.search(r"^summary: (\d+)", f.read(), re.M).group(1))


def instructions(rounds=2):
    """Each figure's instructions per round, both versions."""
    print("Instruction counts under callgrind (a round's work; ratio = python / module)")
    for index in range(sum(count for count, _ in MAKERS)):
        figure = figure_at(index)
        module, python = (counted(index, version, rounds) / rounds for version in ("module", "python"))
        report(figure.name, module, python, (figure.units, figure.unit), what="M instr", scale=1e-6,
               per_what="instr", per_scale=1)


GUARD = os.path.join(HERE, "instructions.json")
GUARD_LIMIT = 1.10  # a case whose instructions per unit grow by more than this fails the guard


def per_unit(index, rounds=2):
    """The module's instructions per unit of figure `index`."""
    figure = figure_at(index)
    return figure.key, counted(index, "module", rounds) / rounds / figure.units


def guard(record=False):
    """Each case's instructions per unit against the figures committed in instructions.json: fails when one
    grows by more than GUARD_LIMIT. With record, writes the figures measured now instead (a change that moves
    one on purpose commits them with it)."""
    import concurrent.futures
    import json
    indexes = range(sum(count for count, _ in MAKERS))
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        measured = dict(pool.map(per_unit, indexes))
    if record:
        with open(GUARD, "w") as f:
            json.dump({key: round(value, 1) for key, value in measured.items()}, f, indent=1, sort_keys=True)
            f.write("\n")
        print("instructions: recorded in %s" % GUARD)
        return 0
    with open(GUARD) as f:
        committed = json.load(f)
    grown = []
    for key, value in measured.items():
        limit = committed.get(key)
        ok = limit is not None and value <= limit * GUARD_LIMIT
        print("%-30s %12.1f instructions a unit (committed %s)%s" % (key, value, limit, "" if ok else "  TOO MANY"))
        grown += [] if ok else [key]
    if grown:
        print("instructions: %s grew by more than %d%% (bench/instructions.json; python3 bench/run.py --record "
              "after a change that moves them on purpose)" % (", ".join(grown), round(100 * (GUARD_LIMIT - 1))))
    return 1 if grown else 0


def work(index, version, rounds):
    """Runs one version of figure `index` once, then `rounds` times between two calls of getppid (see
    counted()). Results are kept and the process ends without tearing down, so that, as in the
    timings, freeing what a round made is not counted."""
    figure = figure_at(index)
    fn = figure.module if version == "module" else figure.python
    kept = [fn()]
    os.getppid()
    kept += [fn() for _ in range(rounds)]
    os.getppid()
    sys.stdout.flush()
    os._exit(0)


def main(argv):
    if argv[:1] == ["--work"]:
        work(int(argv[1]), argv[2], int(argv[3]))
    elif argv[:1] == ["--instructions"]:
        instructions()
    elif argv[:1] in (["--guard"], ["--record"]):
        os.environ["DEKO_BENCH_GUARD"] = "1"
        os.execv(sys.executable, [sys.executable, os.path.abspath(__file__), "--guard-scaled", argv[0]])
    elif argv[:1] == ["--guard-scaled"]:
        sys.exit(guard(record=argv[1] == "--record"))
    else:
        times()


if __name__ == "__main__":
    main(sys.argv[1:])
