"""The main job, run as a user runs it."""
import os
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_main_job_walks_the_whole_road():
    done = subprocess.run([sys.executable, os.path.join(ROOT, "demo", "main.py")],
                          capture_output=True, text=True, timeout=90)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "10 langkah sesuai, 0 tidak sesuai" in done.stdout
    assert '"tipe": "CRP"' in done.stdout


@pytest.mark.parametrize("provider,status,error", [
    ("ftp://x", 2, "main.py: error: argument --provider: 'ftp://x' bukan alamat http:// atau https:// "
                   "(contoh: http://127.0.0.1:18765)"),
    ("http://127.0.0.1:9", 1, "Provider http://127.0.0.1:9 tidak dapat dihubungi: koneksi ditolak")])
def test_main_job_stops_at_once_on_a_wrong_provider(provider, status, error):
    done = subprocess.run([sys.executable, os.path.join(ROOT, "demo", "main.py"), "--provider", provider],
                          capture_output=True, text=True, timeout=90)
    assert (done.returncode, done.stdout, done.stderr.splitlines()[-1]) == (status, "", error)
