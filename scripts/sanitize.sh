#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer: builds a copy of the work tree with both, then
# runs the C++ unit tests and the whole Python suite against that build. Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh >/dev/null

work=${DEKO_SANITIZE_DIR:-/tmp/deko-sanitize}
rm -rf "$work"
mkdir -p "$work"
git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$work"
cd "$work"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDEKO_SANITIZE=ON >/dev/null
cmake --build build -j"$(nproc)" >/dev/null
echo "sanitize: built in $work"

export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --test-dir build --output-on-failure

# The interpreter itself is not instrumented: the sanitizer runtimes are preloaded into it.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export QT_QPA_PLATFORM=offscreen
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/py "$@"
