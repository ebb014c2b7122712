"""usage: bash scripts/mutants.sh [--list] [NAME ...]

Seeds faults into the module's C++, one at a time, and records which tests catch each: the test
suite's power to find faults, measured. --list names the faults.

Works on a copy of the work tree (DEKO_MUTANTS_DIR, default /tmp/deko-mutants). For each fault
(all, or those named) it changes one place of the source, rebuilds, runs the C++ unit tests and
the Python suite, and prints the tests that failed; then it puts the source back. A fault that no
test catches is reported as NOT CAUGHT and the script exits 1. A suite that hangs or crashes counts
as a catch. A fault that only the host's CPython 3.7 can reach (3.11 itself refuses what it would
let through) is run against the 3.7 suite, with the extension built for it (DEKO_PY37, else pyenv's
newest 3.7). About a minute a fault on two cores.
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = "/usr/bin/python3"
PY37 = os.environ.get("DEKO_PY37") or (sorted(glob.glob("/root/.pyenv/versions/3.7.*/bin/python3.7")) or [None])[-1]
SUITE_LIMIT = 300  # seconds; a suite that takes longer is taken to hang

# name: (file, text, replacement[, "3.7" when only 3.7 reaches it]). Each text occurs exactly once in its file.
FAULTS = {
    "attempt too many": ("src/transactions.cpp", "kAttempts = 4;", "kAttempts = 5;"),
    "attempt too few": ("src/transactions.cpp", "kAttempts = 4;", "kAttempts = 3;"),
    "a pass fewer": ("src/matching.h", "kLastPass = 5;", "kLastPass = 4;"),
    "strict time bound": ("src/matching.cpp", "return !(t < bound_);", "return bound_ < t;"),
    "wrong request kind": ("src/transactions.cpp", "buy(kTransaksiKPK,", "buy(kTransaksiSPV,"),
    "resend lost after re-login": ("src/session.cpp", "|| !renew_session(self, token.get())) return completed;",
                                   "|| true) return completed;"),
    "price test skipped": ("src/matching.cpp", "if (!(whole_via_decimal(price.get()) == *expected)) return true;", ""),
    "wrong status text": ("src/names.h", 'kPending{"pending"}', 'kPending{"sukses"}'),
    "GIL held while waiting": (
        "src/runtime.h", "PyThreadState* state = PyEval_SaveThread();\n        auto outcome = ready(slice);\n"
        "        // At interpreter exit this ends the thread with a forced unwind (refs.h).\n"
        "        PyEval_RestoreThread(state);", "auto outcome = ready(slice);"),
    "Qt events held up while waiting": ("src/session.cpp", "kWaitSlice,\n                                process_qt_events);",
                                        "kWaitSlice, [] {});"),
    "C function freed with its class attribute": ("src/binder.cpp", "    Py_XDECREF(m->function);\n",
                                                  "    g_c_functions.erase(m->def);\n    Py_XDECREF(m->function);\n"),
    "keywords taken for texts": ("src/binder.h", "if (!PyUnicode_Check(keyword)) Mistake::keyword_not_text(def);", "",
                                 "3.7"),
    "borrowed list item kept across a call": (
        "src/objects.h", "Ref held = Ref::borrow(PyList_GET_ITEM(iterable, i));\n            if (!fn(held.get())) return;",
        "if (!fn(PyList_GET_ITEM(iterable, i))) return;"),
    "reference dropped without the GIL": ("src/refs.h", "if (p_ && holds_gil()) Py_DECREF(p_);",
                                          "if (p_) Py_DECREF(p_);"),
    "error leaves run()": (
        "src/threads.cpp",
        "attempt([&] { call_method(attr(attr(self, kConn), kTerminal), kLogException, {failed->value}); });",
        "restore_error(std::move(*failed));\n        throw PyError();"),
    "re-login nests in its own console": ("src/session.cpp", "LoginScope scope;\n        error = attempt(",
                                          "error = attempt("),
    "fork keeps logins in flight": ("src/module.cpp", "platform::reset_after_fork(&forget_logins_in_flight);", ""),
    "lost answer sent again unasked": (
        "src/transactions.cpp", "if (lookup == Lookup::Settled) return {Ref::borrow(record), Ref()};", ""),
    "best offer looked up at the wrong price": (
        "src/transactions.cpp", "{kRetailerIncentive, incentive}}),\n                price};",
        "{kRetailerIncentive, incentive}}),\n                inq_price()};"),
    "no amount charged for '-'": ("src/matching.cpp",
                                  "return equals(price, kNoPrice) ? item(entry, kFinalSuccessPrice) : price;",
                                  "return price;"),
    "zeros of a bare time dropped": ("src/core/datetime_parse.cpp", "if (text.size() > 14 &&", "if (text.size() >= 14 &&"),
    "identity taken for equality": ("src/objects.cpp", "bool compare(Obj a, Obj b, int op) {",
                                    "bool compare(Obj a, Obj b, int op) {\n    if (a.get() == b.get()) return op == Py_EQ;"),
    "19 digits decided in 64 bits": ("src/core/number_parse.cpp", "text.size() > 18", "text.size() > 19"),
    "references leaked": ("src/refs.h", "if (p_ && holds_gil()) Py_DECREF(p_);", "if (p_ && !holds_gil()) Py_DECREF(p_);"),
    "wrong catalogue type code": ("src/catalogue.cpp", '{"FRC", kKpk.text()}', '{"FRC", "PAKET"}'),
    "offer tag left in the name": ("src/core/text.cpp", "for (std::string_view tag : kOfferTags) s = remove_all(s, tag);",
                                   'for (std::string_view tag : kOfferTags) if (tag != "</p>") s = remove_all(s, tag);'),
    "success line shown when told not to": (
        "src/transactions.cpp", "if (truthy(console)) show_checked(self, shown.get(),",
        "if (true) show_checked(self, shown.get(),"),
    "login keeps no token": ("src/session.cpp",
                             "set_attr(attr(self, kTerminal), kAuthToken, item(attr(login_otp.completed, kResponse), "
                             "kGatewayToken));", "item(attr(login_otp.completed, kResponse), kGatewayToken);"),
    "balance fallback a number": ("src/session.cpp", "set_item(fallback, kTotal, kZero);",
                                  "set_item(fallback, kTotal, integer(0));"),
    "worker skips its event loop": ("src/threads.cpp", "call_method(self, kExec);", ""),
    "reply to the record's own number": ("src/threads.cpp", "set_item(response, kTujuan, attr(record, kTujuanReply));",
                                         "set_item(response, kTujuan, attr(record, kTujuan));"),
    "first order-id match taken": (
        "src/history.cpp", "if (equals(item(first_detail(entry), kBatchId), orderid)) taken = Ref::borrow(entry);\n"
        "            return true;", "if (equals(item(first_detail(entry), kBatchId), orderid)) {\n"
        "                taken = Ref::borrow(entry);\n                return false;\n            }\n            return true;"),
    "one entry settles two purchases": ("src/matching.cpp",
                                        "if (found.claim == BatchClaims::Outcome::PassedOver) return true;", ""),
    "claim kept when the record cannot be written": ("src/matching.cpp",
                                                     "if (taken.batch && !shown) claims.undo(*taken.batch, taken.claim, taken.serial);", ""),
    "claim given back after the record showed it": ("src/matching.cpp", "if (taken.batch && !shown) claims.undo(",
                                                    "if (taken.batch) claims.undo("),
    "whole-number batch ids not remembered": ("src/matching.cpp", "if (PyLong_Check(id) && !PyBool_Check(id)) {",
                                              "if (false) {"),
    "server error taken for a refusal": ("src/transactions.cpp", "if (!server_error(answer.completed.get())) {",
                                         "if (true) {"),
    "server error sent again": ("src/transactions.cpp", "if (refusal) {  // not in the history",
                                "if (false) {  // not in the history"),
    "a later attempt looked up from its own time": ("src/transactions.cpp",
                                                    "attr(record, kTujuan).get(), purchase.first_time.get(),",
                                                    "attr(record, kTujuan).get(), transaksitime.get(),"),
    "unreadable history sends again": ("src/transactions.cpp", "if (lookup == Lookup::Unreadable) {", "if (false) {"),
    "no stack check before a retry": ("src/transactions.cpp", "        ensure_stack_room(level);\n", ""),
    "what a level took left out of the stack check": ("src/core/stack_room.cpp",
                                                      "if (*left < *took + stride + kMargin) return false;",
                                                      "if (*left < stride + kMargin) return false;"),
    # This round's.
    "a number written another way never matches": ("src/matching.cpp",
                                                   "if (!as_written && !subscriber.is(number.get())) return true;",
                                                   "if (!as_written) return true;"),
    "a voucher compared in the 08 form": ("src/matching.cpp",
                                          "if (!as_written && (by_voucher || !subscriber.may_be(number.get()))) return true;",
                                          "if (!as_written && !subscriber.may_be(number.get())) return true;"),
    "a purchase that raises keeps the check's verdict": ("src/transactions.cpp", "if (!state.status_written)\n",
                                                         "if (false)\n"),
    "a purchase that raises after sending called failed": ("src/transactions.cpp",
                                                           "state.sent ? kPending : kGagal", "kGagal"),
    "claims kept per connection": ("src/matching.cpp", "Ref terminal = attr(self, kTerminal);\n    PyObject* key = terminal.get();",
                                   "Ref terminal = Ref::borrow(self);\n    PyObject* key = terminal.get();"),
    "open purchases closed last in, first out": ("src/outcome.cpp",
                                                 "auto mine = std::find(t_open.begin(), t_open.end(), state_);\n"
                                                 "    if (mine != t_open.end()) t_open.erase(mine);",
                                                 "t_open.pop_back();"),
    "dates Python reads refused": ("src/matching.cpp", "    // The trailing \"000\" counted in characters, as Python counts them.\n",
                                   "    PyErr_SetString(PyExc_ValueError, \"no match\");\n    throw PyError();\n"),
    "a waiter in a nested event loop waits": ("src/session.cpp", "    return loops > 1;", "    return false;"),
    "a waiter in its own wait's events waits again": ("src/session.cpp", "    if (t_waiting > 0) return true;", ""),
    "one module's globals for every import": ("src/runtime.cpp", "    PyObject* globals = current().globals.get();",
                                              "    static PyObject* first = current().globals.get();\n"
                                              "    PyObject* globals = first;"),
    "reload binds nothing": ("src/module.cpp", "        allow_reload(m);\n", ""),
    "the module's own retry nests the stack": ("src/transactions.cpp", "if (runs_body(again.get(), self, own)) {",
                                               "if (false) {"),
    "no recursion depth for retries run in their frame": ("src/transactions.cpp", "            depth.enter();\n", ""),
}


def run(args, cwd, limit=None, **env):
    return subprocess.run(args, cwd=cwd, capture_output=True, text=True, timeout=limit, env=dict(os.environ, **env))


def copy_tree(work):
    files = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=ROOT,
                           capture_output=True, check=True).stdout.decode().split("\0")
    shutil.rmtree(work, ignore_errors=True)
    for name in filter(None, files):
        if os.path.exists(os.path.join(ROOT, name)):
            os.makedirs(os.path.dirname(os.path.join(work, name)), exist_ok=True)
            shutil.copy2(os.path.join(ROOT, name), os.path.join(work, name))


def build(work, build_dir="build"):
    done = run(["cmake", "--build", build_dir, "-j%d" % os.cpu_count()], work)
    if done.returncode:
        raise SystemExit("mutants: the build failed:\n" + done.stdout[-3000:] + done.stderr[-3000:])


def configure(work, build_dir, python):
    done = run(["cmake", "-S", ".", "-B", build_dir, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                "-DPYTHON_EXECUTABLE=" + python], work)
    if done.returncode:
        raise SystemExit("mutants: configure failed:\n" + done.stdout + done.stderr)


def catchers(work, python=PYTHON, build_dir="build"):
    """The tests that fail against the current build (a hang names the test it hung in)."""
    found = []
    ctest = run(["ctest", "--test-dir", "build", "--output-on-failure"], work)
    found += ["cpp:" + m for m in re.findall(r"\d+ - (\S+) \(Failed\)", ctest.stdout)]
    try:
        suite = run([python, "-m", "pytest", "-v", "-p", "no:cacheprovider", "--tb=no", "tests/py"], work,
                    SUITE_LIMIT, QT_QPA_PLATFORM="offscreen", DEKO_BUILD_DIR=build_dir)
        out = suite.stdout
        if suite.returncode < 0:  # the suite's own process crashed: the test it ran last caught the fault
            found.append("CRASH in " + (re.findall(r"^(tests/\S*) ", out, re.M) or ["start"])[-1])
    except subprocess.TimeoutExpired as hung:
        out = (hung.stdout or b"").decode() if isinstance(hung.stdout, bytes) else (hung.stdout or "")
        found.append("HANG after " + (re.findall(r"^(tests/.*?) (?:PASSED|FAILED|ERROR) ", out, re.M) or ["start"])[-1])
    found += re.findall(r"^(tests/.*?) (?:FAILED|ERROR) ", out, re.M)
    return found


def short(test):
    return test.replace("tests/py/", "").replace(".py::", "::")


def main(argv):
    if "-h" in argv or "--help" in argv:
        print(__doc__.strip())
        return 0
    if "--list" in argv:
        print("\n".join(FAULTS))
        return 0
    names = argv or list(FAULTS)
    unknown = [n for n in names if n not in FAULTS]
    if unknown:
        print("mutants: no such fault: %s (see --list)" % ", ".join(unknown), file=sys.stderr)
        return 2
    work = os.environ.get("DEKO_MUTANTS_DIR", "/tmp/deko-mutants")
    print("mutants: copying the work tree to %s and building it" % work, flush=True)
    copy_tree(work)
    configure(work, "build", PYTHON)
    build(work)
    if any(FAULTS[name][3:] for name in names):
        if not PY37:
            raise SystemExit("mutants: no CPython 3.7 for the faults only it reaches (DEKO_PY37)")
        configure(work, "build-py37", PY37)
    missed = []
    for name in names:
        path, text, replacement = FAULTS[name][:3]
        python, build_dir = (PY37, "build-py37") if FAULTS[name][3:] else (PYTHON, "build")
        source = open(os.path.join(work, path)).read()
        if source.count(text) != 1:
            raise SystemExit("mutants: %r no longer fits %s (the text occurs %d times)" % (name, path, source.count(text)))
        started = time.monotonic()
        try:
            with open(os.path.join(work, path), "w") as f:
                f.write(source.replace(text, replacement))
            build(work)
            if build_dir != "build":
                build(work, build_dir)
            caught = catchers(work, python, build_dir)
        finally:
            with open(os.path.join(work, path), "w") as f:
                f.write(source)
        if not caught:
            missed.append(name)
        print("%-40s %3d  %s  (%.0f s)" % (name, len(caught), ", ".join(map(short, caught)) or "NOT CAUGHT",
                                             time.monotonic() - started), flush=True)
    build(work)
    print("mutants: %d of %d faults caught" % (len(names) - len(missed), len(names)))
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
