"""The main job, run as a user runs it."""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_main_job_walks_the_whole_road():
    done = subprocess.run([sys.executable, os.path.join(ROOT, "demo", "main.py")],
                          capture_output=True, text=True, timeout=90)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "10 langkah sesuai, 0 tidak sesuai" in done.stdout
    assert '"tipe": "CRP"' in done.stdout


def test_main_job_stops_at_once_without_a_provider():
    done = subprocess.run([sys.executable, os.path.join(ROOT, "demo", "main.py"), "--provider", "http://127.0.0.1:9"],
                          capture_output=True, text=True, timeout=90)
    assert (done.returncode, done.stdout, done.stderr) == (
        1, "", "Provider http://127.0.0.1:9 tidak dapat dihubungi: koneksi ditolak\n")
