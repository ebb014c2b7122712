#!/usr/bin/env bash
# Every test: the C++ unit tests (ctest) and the Python suite (pytest) against the built module,
# then both again against a build with AddressSanitizer and UndefinedBehaviorSanitizer
# (DEKO_SKIP_SANITIZE=1 leaves that second round out). Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

BUILD_DIR=${DEKO_BUILD_DIR:-build}
ctest --test-dir "$BUILD_DIR" --output-on-failure

export QT_QPA_PLATFORM=offscreen
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/py "$@"

if [ "${DEKO_SKIP_SANITIZE:-0}" != "1" ]; then
    bash scripts/sanitize.sh "$@"
fi
