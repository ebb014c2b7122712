import os
import sys

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
