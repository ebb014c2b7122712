#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer: builds a copy of the work tree with both, then
# runs the C++ unit tests and the whole Python suite against that build. Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

for arg in "$@"; do
    case "$arg" in
        -h|--help)
            cat <<'USAGE'
usage: bash scripts/sanitize.sh [-h] [PYTEST-ARGUMENTS...]

Builds a copy of the work tree with AddressSanitizer and UndefinedBehaviorSanitizer (in
DEKO_SANITIZE_DIR, default build-sanitize/ in this work tree, emptied first, so that
checkouts on one machine never share it), then runs the C++ unit tests
(ctest) and the Python suite (pytest, given the arguments) against that build. Any sanitizer
report fails the run. The build's output goes to <that directory>/build/build.log; a failed
build shows it. scripts/test.sh runs this after its own round unless DEKO_SKIP_SANITIZE=1.
USAGE
            exit 0 ;;
    esac
done

bash scripts/setup.sh        # the Debian packages (and the normal build)
export DEKO_BUILD_DIR=build  # the tests below read the build of this copy

work=${DEKO_SANITIZE_DIR:-$PWD/build-sanitize}  # this checkout's own: another checkout empties its own
rm -rf "$work"
mkdir -p "$work"
git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$work"
cd "$work"
mkdir -p build
log="$work/build/build.log"
echo "sanitize: building the extension and the C++ unit tests with the sanitizers in $work" \
     "(about 2 minutes on 2 cores; output in $log)"
if ! { cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDEKO_SANITIZE=ON &&
       cmake --build build -j"$(nproc)"; } >"$log" 2>&1; then
    echo "sanitize: the build failed; its output ($log):" >&2
    cat "$log" >&2
    exit 1
fi

export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
ctest --test-dir build --output-on-failure

# The interpreter itself is not instrumented: the sanitizer runtimes are preloaded into it.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export QT_QPA_PLATFORM=offscreen
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/py "$@"
