"""The module as a host and a new user meet it: installed into a host tree, its stub, its commands."""
import ast
import os
import re
import shutil
import subprocess
import sys

import pytest

from simulator.provider import ProviderSimulator

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PLACE = os.path.join("apps", "deko", "libs", "connections")
SALDO = ("import sys; sys.path.remove(''); import apps.deko.libs.connections.dekoconnection as m, "
         "apps.deko.libs.terminal as t; print(m.DekoConnection(None, t.Terminal({'nomor': '081200000001', "
         "'idretail': 'RTL001'})).cek_saldo(), m.__file__)")


def run(command, tmp, **env):
    return subprocess.run(command, cwd=ROOT, capture_output=True, text=True, timeout=300, env=dict(
        os.environ, DEKO_BUILD_DIR=str(tmp / "build"), DEKO_SANITIZE_DIR=str(tmp / "san"), LC_ALL="C", **env))


def sections(path):
    return set(re.findall(r"\] (\.\S+)", subprocess.run(["readelf", "-S", "-W", path], capture_output=True,
                                                         text=True).stdout))


def test_installs_into_a_host_tree(mod, tmp_path):
    shutil.copytree(ROOT + "/apps", tmp_path / "apps", ignore=shutil.ignore_patterns("dekoconn*"))  # the host's own
    build = os.path.join(ROOT, os.environ.get("DEKO_BUILD_DIR", "build"))
    name = os.path.basename(mod.__file__)
    installed = [str(tmp_path / PLACE / n) for n in (name, "dekoconnection.pyi", ".debug/%s.debug" % name)]
    for component, files in ("", installed[:2]), ("debug", installed[2:]):
        option = ["--component", component] if component else []
        assert run(["cmake", "--install", build, "--prefix", str(tmp_path)] + option, tmp_path).returncode == 0
        with open(os.path.join(build, "install_manifest%s.txt" % ("_" + component if component else ""))) as manifest:
            assert sorted(manifest.read().split()) == files
    # The host gets the extension stripped, tied to its debug information, which comes on request only.
    assert ".debug_info" not in sections(installed[0]) and ".debug_info" in sections(installed[2])
    link = subprocess.run(["readelf", "-p", ".gnu_debuglink", installed[0]], capture_output=True).stdout
    assert (name + ".debug").encode() in link
    with ProviderSimulator() as sim:  # the host tree alone on the path (SALDO drops the work tree, the current folder)
        done = run([sys.executable, "-c", SALDO], tmp_path, DEKO_PROVIDER_URL=sim.url, PYTHONPATH=str(tmp_path))
    assert done.stdout.splitlines()[-1] == "{'Total': '5000000', 'Bonus': '0', 'Currency': 'IDR'} %s" % (
        tmp_path / PLACE / os.path.basename(mod.__file__)), done.stderr


@pytest.mark.skipif(sys.version_info < (3, 8), reason="no mypy for CPython 3.7: the round on /usr/bin/python3 runs it")
def test_stub_lists_every_public_name_and_matches_the_module(mod, tmp_path):
    for check in (["mypy.stubtest", "--mypy-config-file", "mypy.ini", "--allowlist", "scripts/stubtest-allowlist.txt",
                   mod.__name__],  # and for the field's interpreter, 3.7 (no typing.Final, ...)
                  ["mypy", "--config-file", "mypy.ini", "--python-version", "3.7", os.path.join(PLACE, "dekoconnection.pyi")]):
        done = run([sys.executable, "-m"] + check, tmp_path)
        assert done.returncode == 0, done.stdout + done.stderr
    stub = ast.parse(open(os.path.join(ROOT, PLACE, "dekoconnection.pyi")).read()).body
    names = {a.asname for s in stub if isinstance(s, (ast.Import, ast.ImportFrom)) for a in s.names if a.asname}
    values = {s.target.id: s.value.value for s in stub if isinstance(s, ast.AnnAssign)}
    names |= {s.name for s in stub if isinstance(s, ast.ClassDef)} | set(values)
    assert names == {"__version__"} | {name for name in dir(mod) if not name.startswith("_")}
    assert values["__version__"] == mod.__version__ == "1.0.0"


def test_the_built_file_is_checked_for_where_it_runs(mod, tmp_path):
    """scripts/checks.py passes a portable build (glibc 2.17 at most, the C++ runtime linked in, the module's entry
    alone exported; scripts/portable.sh) and fails one that needs this machine's glibc and libstdc++."""
    build = os.path.join(ROOT, os.environ.get("DEKO_BUILD_DIR", "build"))
    with open(os.path.join(build, "CMakeCache.txt")) as cache:
        portable = "DEKO_PORTABLE:BOOL=ON" in cache.read().splitlines()
    done = run([sys.executable, "scripts/checks.py", mod.__file__], tmp_path)
    verdicts = {what: verdict for verdict, what in re.findall(r"^  (ok|FAIL) +([^:]+):", done.stdout, re.M)}
    assert (done.returncode, verdicts["machine"], verdicts["glibc"], verdicts["C++ runtime"]) == (
        (0, "ok", "ok", "ok") if portable else (1, "ok", "FAIL", "FAIL")), done.stdout + done.stderr
    if portable:
        assert set(verdicts.values()) == {"ok"}, done.stdout


@pytest.mark.parametrize("flag", ["-h", "--help"])
@pytest.mark.parametrize("command", [["bash", "scripts/%s.sh" % name] for name in (
    "setup", "pyside2", "test", "sanitize", "demo", "bench", "mutants", "windows", "portable", "release", "py37")] + [
    ["bash", ".ci/run"], ["bash", "scripts/demo.sh", "--gui"], [sys.executable, "demo/main.py"],
    [sys.executable, "demo/gui.py"], [sys.executable, "-m", "simulator"], [sys.executable, "scripts/checks.py"]])
def test_help_builds_and_runs_nothing(command, flag, tmp_path):
    done = run(command + [flag], tmp_path)
    assert (done.returncode, done.stdout.split(" ")[0], done.stderr, os.listdir(tmp_path)) == (0, "usage:", "", [])


@pytest.mark.parametrize("command,env,status,line", [
    (["cmake", "-S", ".", "-B", "{tmp}/build", "-DPYTHON_EXECUTABLE=/bin/false"], {}, 1,  # false: no PySide2
     "dekoconnection: the interpreter /bin/false cannot import PySide2.QtCore; the extension is built for the host's"
     " Python with PySide2: try -DPYTHON_EXECUTABLE=/usr/bin/python3, or build one for it with bash scripts/pyside2.sh"
     " /bin/false"),
    (["bash", "scripts/setup.sh"], {"DEKO_CMAKE_ARGS": "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-fdeko-no-such-option"}, 1,
     "c++: error: unrecognized command-line option '-fdeko-no-such-option'"),
    ([sys.executable, "demo/main.py", "--provider", "ftp://x"], {}, 2, "main.py: error: argument --provider: 'ftp://x'"
     " bukan alamat http:// atau https:// (contoh: http://127.0.0.1:18765)"),
    ([sys.executable, "-c", "import sys; sys.modules['apps.deko.libs.utils.generator'] = None; "
      "import apps.deko.libs.connections.dekoconnection"], {}, 1,  # a host module missing: named by the import error
     "ModuleNotFoundError: import of apps.deko.libs.utils.generator halted; None in sys.modules"),
    ([sys.executable, "-m", "simulator", "--port", "{port}"], {}, 2,
     "simulator: port {port} is already in use; choose another with --port (0 picks a free one)")])
def test_a_wrong_setup_is_told_at_once(command, env, status, line, tmp_path):
    with ProviderSimulator() as busy:
        fill = dict(tmp=tmp_path, port=busy.port)
        done = run([part.format(**fill) for part in command], tmp_path, **env)
    assert (done.returncode, line.format(**fill) in map(str.strip, done.stderr.splitlines())) == (status, True), done
