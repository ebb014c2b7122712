#!/usr/bin/env bash
# Every test: the C++ unit tests (ctest), then the Python suite (pytest) against the built module.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

BUILD_DIR=${DEKO_BUILD_DIR:-build}
ctest --test-dir "$BUILD_DIR" --output-on-failure

export QT_QPA_PLATFORM=offscreen
status=0
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/py "$@" || status=$?
# pytest's 5 means no test ran: a failure here too.
exit $status
