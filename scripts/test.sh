#!/usr/bin/env bash
# Every test: the C++ unit tests (ctest), a compile check with two more compilers, and the Python
# suite (pytest) against the built module,
# the Python suite again under the host's CPython 3.7 (with a PySide2 built for it) and under
# CPython's debug build, then both again against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

for arg in "$@"; do
    case "$arg" in
        -h|--help)
            cat <<'USAGE'
usage: bash scripts/test.sh [-h] [PYTEST-ARGUMENTS...]

Builds what is missing (scripts/setup.sh), then runs every test: the C++ unit tests (ctest), a
compile check of the module with Debian's g++-11 and clang++ (warnings as errors), the Python suite (pytest, given the arguments; it also checks the type stubs against the module with
mypy's stubtest, type-checks them and the README's host examples with mypy --python-version 3.7,
and runs those examples), the Python suite again under CPython 3.7, the host's interpreter (with the
extension built for it in build-py37/ and the PySide2 that scripts/pyside2.sh builds for it once
per machine, about 6 minutes the first time), then under CPython's debug build
(/usr/bin/python3-dbg, whose C-API checks catch misuse that the release interpreter lets pass),
then both again against a build with AddressSanitizer and UndefinedBehaviorSanitizer
(scripts/sanitize.sh). Exits non-zero on any failure.

environment:
  DEKO_PY37=PATH        the CPython 3.7 (default: pyenv's newest 3.7 under $PYENV_ROOT or
                        /root/.pyenv, else python3.7 on PATH; without one the round is left out)
  DEKO_SKIP_PY37=1      leave the CPython 3.7 round out
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

# The host's own interpreter: CPython 3.7, with PySide2 built for it from Debian's sources.
if [ "${DEKO_SKIP_PY37:-0}" != "1" ]; then
    py37=${DEKO_PY37:-}
    if [ -z "$py37" ]; then  # the first that runs as a 3.7 (a pyenv shim of python3.7 may not)
        py37=$( { ls -d "${PYENV_ROOT:-/root/.pyenv}"/versions/3.7.*/bin/python3.7 2>/dev/null | sort -rV
                  command -v python3.7; } | while read -r candidate; do
                    if "$candidate" -c "import sys; sys.exit(sys.version_info[:2] != (3, 7))" </dev/null 2>/dev/null; then
                        echo "$candidate"
                        break
                    fi
                done || true)
    fi
    if [ -z "$py37" ]; then
        echo "test: no CPython 3.7 (DEKO_PY37, pyenv's versions, python3.7 on PATH): the 3.7 round left out"
    else
        echo "test: the Python suite again under CPython 3.7 ($py37)"
        bash scripts/pyside2.sh "$py37" >/dev/null  # what it does shows; the folder it prints is on 3.7's path
        DEKO_BUILD_DIR=build-py37 bash scripts/setup.sh --python "$py37"
        DEKO_BUILD_DIR=build-py37 "$py37" -m pytest -q -p no:cacheprovider tests/py "$@"
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
