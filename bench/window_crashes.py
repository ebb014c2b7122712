"""The desktop window as a hurried operator drives it, many times over: each run is the window's
--auto scenario with short time-outs, a quick history and more purchases, in a process of its own
(off screen), and a run that dies of a signal counts as a crash.

Run: /usr/bin/python3 bench/window_crashes.py [--runs N] [--jobs J]   (after a build)
Prints one line per crash and, at the end, the runs, the crashes (by signal), the failed
scenarios and the wall time of a run (median and slowest).
"""
import argparse
import os
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

CHILD = r"""
import os, sys
sys.path.insert(0, %(root)r)
from PySide2.QtWidgets import QApplication
from demo import scenario
app = QApplication(sys.argv[:1])
o = scenario.OFFERS
plan = scenario.Plan(scenario.Settings(provider_timeout=1.0, fault_rate=0.15, fault_delay=1.5, history_delay=0.3,
                                       seed=%(seed)d), (
    [("TP10", "081300000101", 3), ("X1.5-G 2", "081300000199", 1), ("FRC-KPK1", "081300000102", 2),
     (o[0], scenario.OFFER_NUMBER, 1), ("SPV5", "081300000103", 1), ("TP5", "081300000104", 3)],
    [("TP25", "081300000105", 3), ("DP 10GB", "081300000106", 1), (o[1], scenario.OFFER_NUMBER, 1),
     ("TPA100", "081300000299", 1), ("FRC 7D", "081300000107", 2), ("NT1", "081300000108", 3)]), wait=40,
    otp_answer_ms=50)
with open(os.devnull, "w") as quiet:
    run = scenario.run(app, plan, out=quiet)
sys.exit(3 if run.failed() else 0)
"""


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--jobs", type=int, default=1, help="runs at a time (default 1)")
    parser.add_argument("--python", default="/usr/bin/python3")
    parser.add_argument("--first-seed", type=int, default=1, help="the first run's seed of the faults (default 1)")
    args = parser.parse_args(argv)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    env.pop("DISPLAY", None)
    crashes, failed, times, seed, running = {}, 0, [], args.first_seed - 1, []
    started = time.monotonic()
    last = args.first_seed - 1 + args.runs
    while seed < last or running:
        while seed < last and len(running) < args.jobs:
            seed += 1
            child = subprocess.Popen([args.python, "-c", CHILD % dict(root=ROOT, seed=seed)], env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            running.append((child, seed, time.monotonic()))
        time.sleep(0.05)
        for entry in list(running):
            child, which, began = entry
            if child.poll() is None:
                continue
            running.remove(entry)
            times.append(time.monotonic() - began)
            err = child.stderr.read().decode("utf-8", "replace")
            child.stderr.close()
            if child.returncode < 0:
                name = signal.Signals(-child.returncode).name
                crashes[name] = crashes.get(name, 0) + 1
                print("run %d (seed %d): %s; %s" % (len(times), which, name, err.strip().splitlines()[-1:]), flush=True)
            elif child.returncode != 0:
                failed += 1
                print("run %d (seed %d): exit %d %s" % (len(times), which, child.returncode, err[-300:]), flush=True)
    times.sort()
    print("%d runs in %.0f s: %d crashes (%s), %d scenarios not as expected; a run %.1f s (median), %.1f s (slowest)"
          % (len(times), time.monotonic() - started, sum(crashes.values()),
             ", ".join("%s %d" % kv for kv in sorted(crashes.items())) or "none", failed,
             times[len(times) // 2], times[-1]), flush=True)
    return 1 if crashes else 0


if __name__ == "__main__":
    sys.exit(main())
