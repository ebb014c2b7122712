#!/usr/bin/env bash
# Every test: the C++ unit tests (ctest) and the Python suite (pytest) against the built module,
# the Python suite again under CPython's debug build, then both again against a build with
# AddressSanitizer and UndefinedBehaviorSanitizer. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

for arg in "$@"; do
    case "$arg" in
        -h|--help)
            cat <<'USAGE'
usage: bash scripts/test.sh [-h] [PYTEST-ARGUMENTS...]

Builds what is missing (scripts/setup.sh), then runs every test: the C++ unit tests (ctest), the
Python suite (pytest, given the arguments; it also checks the type stubs against the module with
mypy's stubtest), the Python suite again under CPython's debug build (/usr/bin/python3-dbg, whose
C-API checks catch misuse that the release interpreter lets pass), then both again against a build
with AddressSanitizer and UndefinedBehaviorSanitizer (scripts/sanitize.sh). Exits non-zero on any
failure.

environment:
  DEKO_SKIP_DEBUG=1     leave the debug-interpreter round out
  DEKO_SKIP_SANITIZE=1  leave the sanitizer round out
  DEKO_BUILD_DIR        build directory (default: build)
  DEKO_SANITIZE_DIR     where the sanitizer round builds its copy (default: /tmp/deko-sanitize)
USAGE
            exit 0 ;;
    esac
done

bash scripts/setup.sh

BUILD_DIR=${DEKO_BUILD_DIR:-build}
ctest --test-dir "$BUILD_DIR" --output-on-failure

export QT_QPA_PLATFORM=offscreen
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/py "$@"

# The debug interpreter loads the release build's extensions (PySide2's and this one) unchanged.
if [ "${DEKO_SKIP_DEBUG:-0}" != "1" ]; then
    echo "test: the Python suite again under the debug interpreter"
    /usr/bin/python3-dbg -m pytest -q -p no:cacheprovider tests/py "$@"
fi

if [ "${DEKO_SKIP_SANITIZE:-0}" != "1" ]; then
    bash scripts/sanitize.sh "$@"
fi
