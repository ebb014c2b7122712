"""End-to-end load: purchases through one connection against the simulated provider in its own
process on loopback, measured from outside as an operator of a gateway sees them.

Run: bash scripts/bench.sh e2e   (or /usr/bin/python3 bench/e2e.py after a build)
Each case starts a fresh provider (`python3 -m simulator`) on a free port, logs one
`HostDekoConnection` in with the real request models and terminal, then has its threads buy a
regular product (TP10) for destinations of their own. The provider shows a purchase in its
history at once, so the first matcher pass settles it; that pass fetches the whole history,
which holds every purchase of the run so far. A case's line gives the purchases a second over
the whole run, the wall time of a purchase (`transaksi`: the purchase request and the history
pass), the client process's own CPU time (user + system, every thread) a purchase and the OTP
logins during the run. Where `perf` can sample this process, the case runs a second time under
`perf record -e cpu-clock` for the share of the client's CPU spent in the module's own code (the
`dekoconnection*.so` DSO); sampling slows the client, so the other figures come from the first
run. Every record of both runs is checked against the provider's ledger: settled "sukses", with
the batch identifier of its own purchase, and no purchase carried out twice.
"""
import json
import os
import resource
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

import urllib3  # noqa: E402

from apps.deko.libs.connections.hostconnection import HostDekoConnection  # noqa: E402
from apps.deko.libs.terminal import Terminal  # noqa: E402
from apps.deko.models.objects.inquery import InqueryDetail  # noqa: E402
from apps.deko.models.objects.transaksi import Produk, Transaksi  # noqa: E402

# (name, threads, purchases a thread, token lifetime in seconds)
CASES = [("1 thread x 200", 1, 200, 3600.0),
         ("16 threads x 50", 16, 50, 3600.0),
         ("16 threads x 50, sessions expiring every 0.5 s", 16, 50, 0.5)]
PRODUCT, PRICE = ("PULSA", "DEKOTOPUP", "TP10"), 10500
CONFIG = {"nomor": "081200000001", "idretail": "RTL001", "nomor_transaksi": "TRX-BENCH"}


class Provider:
    """The simulated provider as a separate process on a free loopback port."""

    def __init__(self, token_lifetime):
        for _ in range(5):  # the free port found may be taken before the provider binds it
            with socket.socket() as probe:
                probe.bind(("127.0.0.1", 0))
                port = probe.getsockname()[1]
            process = subprocess.Popen(
                [sys.executable, "-m", "simulator", "--port", str(port), "--token-lifetime", str(token_lifetime),
                 "--balance", str(10 ** 12)], cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                text=True)
            line = process.stdout.readline().strip()  # the provider prints its address once it serves
            if line.startswith("http://"):
                self.process, self.url = process, line
                self.http = urllib3.PoolManager()
                return
            process.wait(5)
            process.stdout.close()
        raise RuntimeError("the simulated provider did not start")

    def report(self, what):
        answer = self.http.request("GET", self.url + "/_sim/" + what, timeout=30, retries=False)
        return json.loads(answer.data.decode("utf-8"))

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()


class Sampler:
    """`perf record` on this process (software cpu-clock samples); the module's share of them."""

    def __init__(self):
        handle, self.data = tempfile.mkstemp(prefix="deko-e2e-", suffix=".perf")
        os.close(handle)
        try:
            self.process = subprocess.Popen(
                ["perf", "record", "-q", "-e", "cpu-clock", "-F", "4000", "-p", str(os.getpid()), "-o", self.data],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except OSError:
            self.process = None
        else:
            time.sleep(1.0)  # attaching takes a moment; this process sleeps meanwhile, so adds no samples

    def share(self):
        """Percentage of this process's samples in the module's DSO, or None without perf."""
        try:
            if self.process is None:
                return None
            self.process.send_signal(signal.SIGINT)
            self.process.wait(60)
            done = subprocess.run(["perf", "report", "-i", self.data, "--stdio", "--sort", "dso", "-q"],
                                  capture_output=True, text=True, timeout=300)
            rows = [line.split() for line in done.stdout.splitlines()]
            rows = [(float(row[0].rstrip("%")), row[-1]) for row in rows if len(row) >= 2 and row[0].endswith("%")]
            if done.returncode != 0 or not rows:
                return None
            return sum(percent for percent, dso in rows if dso.startswith("dekoconnection"))
        except (OSError, ValueError, subprocess.SubprocessError):
            return None
        finally:
            try:
                os.unlink(self.data)
            except OSError:
                pass


def buyer(conn, tid, count, times, records, start):
    start.wait()
    for i in range(count):
        rec = Transaksi(Produk(*PRODUCT), "0813%02d%05d17" % (tid, i), pin="1234",
                        inq=InqueryDetail(PRICE, {"nama": "Pulsa 10.000"}))
        began = time.perf_counter()
        conn.transaksi(rec)
        times.append(time.perf_counter() - began)
        records.append(rec)


def wrong_records(records, ledger):
    """Records not settled as their own single purchase at the provider, with the reason."""
    accepted = {}
    for entry in ledger:
        if entry["accepted"]:
            accepted.setdefault(entry["fields"].get("msisdn"), []).append(entry["batchId"])
    wrong = []
    for rec in records:
        batches = accepted.get(rec.tujuan, [])
        if rec.status != "sukses" or batches != [rec.serialnumber]:
            wrong.append("%s: status %r, serial %r, provider carried out %r" % (
                rec.tujuan, rec.status, rec.serialnumber, batches))
    if sum(len(b) for b in accepted.values()) != len(records):
        wrong.append("%d purchases carried out for %d records" % (sum(len(b) for b in accepted.values()),
                                                                   len(records)))
    return wrong


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


def load(threads, each, token_lifetime, sampled):
    """One run of a case against a fresh provider: (purchase times, records, wall s, client CPU s,
    OTP logins, what is wrong, the module's share or None). Sampling slows the client (by about
    a third at 16 threads), so a sampled run gives only the share."""
    provider = Provider(token_lifetime)
    try:
        os.environ["DEKO_PROVIDER_URL"] = provider.url
        with open(os.devnull, "w") as sink:
            terminal = Terminal(dict(CONFIG), provider_url=provider.url, stream=sink)
            conn = HostDekoConnection(None, terminal)
            if not conn.login().status:
                raise RuntimeError("no session with the simulated provider")
            logins = provider.report("stats")["otp_logins"]
            times, records, start = [], [], threading.Event()
            workers = [threading.Thread(target=buyer, args=(conn, tid, each, times, records, start), daemon=True)
                       for tid in range(threads)]
            for worker in workers:
                worker.start()
            sampler = Sampler() if sampled else None
            cpu = resource.getrusage(resource.RUSAGE_SELF)
            began = time.perf_counter()
            start.set()
            for worker in workers:
                worker.join()
            wall = time.perf_counter() - began
            used = resource.getrusage(resource.RUSAGE_SELF)
            share = sampler.share() if sampler else None
        cpu_time = (used.ru_utime - cpu.ru_utime) + (used.ru_stime - cpu.ru_stime)
        logins = provider.report("stats")["otp_logins"] - logins
        wrong = wrong_records(records, provider.report("ledger")["ledger"])
        if len(records) != threads * each:
            wrong.append("%d purchases of %d finished" % (len(records), threads * each))
    finally:
        provider.stop()
    return times, records, wall, cpu_time, logins, wrong, share


def run_case(name, threads, each, token_lifetime):
    times, records, wall, cpu_time, logins, wrong, _ = load(threads, each, token_lifetime, False)
    line = "e2e %s: %.0f purchases/s, p50 %.1f ms, p99 %.1f ms, client CPU %.2f ms a purchase, OTP logins %d" % (
        name, len(records) / wall, percentile(times, 0.5) * 1e3, percentile(times, 0.99) * 1e3,
        cpu_time / max(1, len(records)) * 1e3, logins)
    if shutil.which("perf"):
        *_, more_wrong, share = load(threads, each, token_lifetime, True)
        wrong += more_wrong
        if share is not None:
            line += ", module %.1f%% of client CPU" % share
    print(line, flush=True)
    for text in wrong[:10]:
        print("   WRONG %s" % text, flush=True)
    return not wrong


def main():
    print("End-to-end load (the simulated provider in its own process; one connection; purchases of %s)"
          % PRODUCT[2], flush=True)
    ok = all([run_case(*case) for case in CASES])
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
