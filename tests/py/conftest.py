import faulthandler
import os
import subprocess
import sys
import textwrap

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)
os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")

import pytest  # noqa: E402

from apps.deko.libs.connections import dekoconnection as dekomod  # noqa: E402
from fakes import FakeProvider, FakeTerminal  # noqa: E402

TEST_LIMIT = 90  # seconds; the slowest test takes about 5


@pytest.fixture(autouse=True)
def watchdog():
    """A test that hangs in this process (a thread keeping the GIL while it waits, say) ends the run with every
    thread's stack instead of hanging it: faulthandler's timer needs no GIL."""
    faulthandler.dump_traceback_later(TEST_LIMIT, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def mod():
    return dekomod


@pytest.fixture
def provider(monkeypatch):
    """Scripted in-process provider installed as the module's request models."""
    fake = FakeProvider()
    monkeypatch.setattr(dekomod, "dekorequest", fake.module())
    return fake


@pytest.fixture
def terminal():
    return FakeTerminal()


@pytest.fixture
def conn(provider, terminal):
    return dekomod.DekoConnection(None, terminal)


CHILD_PRELUDE = """
import os, signal, sys, threading, time, types
sys.path[:0] = [%r, %r]
from apps.deko.libs.connections import dekoconnection as mod
from fakes import *
provider, terminal = FakeProvider(), FakeTerminal()
mod.dekorequest = provider.module()
conn = mod.DekoConnection(None, terminal)
""" % (ROOT, os.path.dirname(os.path.abspath(__file__)))


@pytest.fixture
def child():
    """Runs code in a fresh interpreter (a fake provider, a terminal and `conn` ready) and returns its output;
    what could crash or hang this process fails the test instead: a crash as its exit status, a hang as a time-out."""
    def run(code, timeout=20, wrapper=()):
        # Freed objects are filled (and, under AddressSanitizer, seen freed): reading one fails at once.
        env = dict(os.environ, PYTHONMALLOC="malloc_debug", PYTHONFAULTHANDLER="1")
        done = subprocess.run(list(wrapper) + [sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(code)],
                              capture_output=True, text=True, timeout=timeout, env=env)
        assert done.returncode == 0, done.stdout + done.stderr
        return done.stdout
    return run
