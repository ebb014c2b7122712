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
    def run(code, timeout=30, status=0):
        # Freed objects are filled (and, under AddressSanitizer, seen freed): reading one fails at once.
        env = dict(os.environ, PYTHONMALLOC="malloc_debug", PYTHONFAULTHANDLER="1")
        done = subprocess.run([sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(code)], capture_output=True,
                              text=True, timeout=timeout, env=env)
        assert done.returncode == status, done.stdout + done.stderr
        return done.stdout
    return run
