#!/usr/bin/env bash
# Every test: the C++ unit tests (ctest), a compile check with two more compilers, and the Python
# suite (pytest) against the built module, the Python suite again under the host's CPython 3.7
# (with a PySide2 built for it), the Windows files with their unit tests under Wine, the portable
# Linux files with the suite on them, the suite under CPython's debug build, then the unit tests
# and the suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer. Exits
# non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

for arg in "$@"; do
    case "$arg" in
        -h|--help)
            cat <<'USAGE'
usage: bash scripts/test.sh [-h] [PYTEST-ARGUMENTS...]

Builds what is missing (scripts/setup.sh), then runs every test: the C++ unit tests (ctest), a
compile check of the module with Debian's g++-11 and clang++ (warnings as errors), the Python
suite (pytest, given the arguments; it also checks the type stubs against the module with mypy's
stubtest, type-checks them and the README's host examples with mypy --python-version 3.7, runs
those examples, and runs purchases on the main thread under valgrind), the instructions a unit of each
benchmark case against bench/instructions.json (bench/run.py --guard), the Python suite again
under CPython 3.7, the host's interpreter (with the extension built for it in build-py37/ and the
PySide2 that scripts/pyside2.sh builds for it once per machine, about 6 minutes the first time),
then the Windows files for CPython 3.7, cross-built and checked, with the C++ unit tests run under
Wine (scripts/windows.sh --tests), then the portable Linux files, checked, with the whole Python
suite run on them under both interpreters (scripts/portable.sh --suite), then the suite under
CPython's debug build (/usr/bin/python3-dbg, whose C-API checks catch misuse that the release
interpreter lets pass), then the unit tests and the suite against a build with AddressSanitizer
and UndefinedBehaviorSanitizer
(scripts/sanitize.sh). Exits non-zero on any failure.

environment:
  DEKO_PY37=PATH        the CPython 3.7 (default: pyenv's newest 3.7 under $PYENV_ROOT or
                        /root/.pyenv, else python3.7 on PATH; without one the round is left out)
  DEKO_SKIP_PY37=1      leave the CPython 3.7 round out
  DEKO_SKIP_WINDOWS=1   leave the Windows round out
  DEKO_SKIP_PORTABLE=1  leave the portable Linux round out
  DEKO_SKIP_DEBUG=1     leave the debug-interpreter round out
  DEKO_SKIP_SANITIZE=1  leave the sanitizer round out
  DEKO_BUILD_DIR        build directory of /usr/bin/python3's build (default: build)
  DEKO_SANITIZE_DIR     where the sanitizer round builds its copy (default: build-sanitize/ in the work tree)
  DEKO_COMPILE_CHECK_DIR  prefix of the compile checks' build folders (default: build-check)
USAGE
            exit 0 ;;
    esac
done

bash scripts/setup.sh

BUILD_DIR=${DEKO_BUILD_DIR:-build}
ctest --test-dir "$BUILD_DIR" --output-on-failure

# The sources compile with Debian's GCC 11 and with clang, warnings as errors (each in a build
# folder of its own in the work tree, the extension kept there).
for cxx in g++-11 clang++; do
    check=${DEKO_COMPILE_CHECK_DIR:-build-check}-$cxx
    echo "test: compiling the module with $cxx, warnings as errors ($check)"
    mkdir -p "$check"
    if ! { cmake -S . -B "$check" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS=-Werror \
               -DDEKO_EXTENSION_DIR="$check/extension" &&
           cmake --build "$check" -j"$(nproc)" --target dekocore dekoconnection; } >"$check/check.log" 2>&1; then
        echo "test: the module does not compile cleanly with $cxx:" >&2
        cat "$check/check.log" >&2
        exit 1
    fi
done

export QT_QPA_PLATFORM=offscreen
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/py "$@"

# What each benchmark case costs the module, in instructions a unit under callgrind, against the
# figures committed in bench/instructions.json: more than 10% over fails (bench/README.md says how
# to record a change that moves one on purpose).
echo "test: instructions a unit of each benchmark case against bench/instructions.json"
/usr/bin/python3 bench/run.py --guard

# The host's own interpreter: CPython 3.7, with PySide2 built for it from Debian's sources.
py37=$(bash scripts/py37.sh)
if [ "${DEKO_SKIP_PY37:-0}" != "1" ]; then
    if [ -z "$py37" ]; then
        echo "test: no CPython 3.7 (DEKO_PY37, pyenv's versions, python3.7 on PATH): the 3.7 round left out"
    else
        echo "test: the Python suite again under CPython 3.7 ($py37)"
        bash scripts/pyside2.sh "$py37" >/dev/null  # what it does shows; the folder it prints is on 3.7's path
        DEKO_BUILD_DIR=build-py37 bash scripts/setup.sh --python "$py37"
        DEKO_BUILD_DIR=build-py37 "$py37" -m pytest -q -p no:cacheprovider tests/py "$@"
    fi
fi

# The Windows files for CPython 3.7: cross-built and checked; their C++ unit tests run under Wine.
if [ "${DEKO_SKIP_WINDOWS:-0}" != "1" ]; then
    if [ -z "$py37" ]; then
        echo "test: no CPython 3.7, whose headers the Windows files are built against: the Windows round left out"
    else
        echo "test: the Windows files, and the C++ unit tests under Wine (scripts/windows.sh)"
        bash scripts/windows.sh --tests
    fi
fi

# The portable Linux files: checked, and the whole Python suite run on them under both interpreters.
if [ "${DEKO_SKIP_PORTABLE:-0}" != "1" ]; then
    if [ -z "$py37" ]; then
        echo "test: no CPython 3.7 to build a portable file for: the portable round left out"
    else
        echo "test: the portable Linux files, and the Python suite on them (scripts/portable.sh)"
        bash scripts/portable.sh --suite "$@"
    fi
fi

# The debug interpreter loads the release build's extensions (PySide2's and this one) unchanged.
if [ "${DEKO_SKIP_DEBUG:-0}" != "1" ]; then
    echo "test: the Python suite again under the debug interpreter"
    /usr/bin/python3-dbg -m pytest -q -p no:cacheprovider tests/py "$@"
fi

if [ "${DEKO_SKIP_SANITIZE:-0}" != "1" ]; then
    bash scripts/sanitize.sh "$@"
fi
