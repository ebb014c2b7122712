#!/usr/bin/env bash
# Cross-builds the Windows files for CPython 3.7 (x64 and x86) with Debian's MinGW-w64 and checks
# them; with --tests, also the C++ unit tests, run under Debian's Wine (64 and 32 bits).
set -euo pipefail
cd "$(dirname "$0")/.."

tests=0
for arg in "$@"; do
    case "$arg" in
        -h|--help)
            cat <<'USAGE'
usage: bash scripts/windows.sh [-h] [--tests]

Cross-builds dekoconnection.cp37-win_amd64.pyd and dekoconnection.cp37-win32.pyd for CPython 3.7
on Windows with Debian's MinGW-w64 (cmake/windows.cmake says how), each in build-windows/<tag>/
(the file in its extension/ folder), against the headers of the CPython 3.7 that
scripts/py37.sh finds, then checks each without running it (scripts/checks.py: a DLL for its
machine that exports the module's entry alone and needs python37.dll and Windows' own DLLs alone).
With --tests it also cross-builds the C++ unit tests and runs them under Wine: wine64 for x64,
wine for x86, in the Wine prefix build-windows/wine/. No Windows CPython can be had here: the
files themselves are not run. A build's output goes to build-windows/<tag>/build.log; a failed
build shows it. Installs the Debian packages it needs with scripts/setup.sh first.

environment:
  DEKO_PY37   the CPython 3.7 whose headers are used (see bash scripts/py37.sh --help)
USAGE
            exit 0 ;;
        --tests) tests=1 ;;
        *) echo "windows: unknown argument $arg" >&2; exit 2 ;;
    esac
done

py37=$(bash scripts/py37.sh)
if [ -z "$py37" ]; then
    echo "windows: no CPython 3.7 (DEKO_PY37, pyenv's versions, python3.7 on PATH), whose headers the Windows files are built against" >&2
    exit 1
fi
headers=$("$py37" -c "import sysconfig; print(sysconfig.get_paths()['include'])")
export WINEPREFIX=$PWD/build-windows/wine WINEDEBUG=-all
status=0
for arch in x86_64 i686; do
    if [ "$arch" = x86_64 ]; then tag=win_amd64; else tag=win32; fi
    build=build-windows/$tag
    mkdir -p "$build"
    log=$build/build.log
    targets=(dekoconnection)
    [ "$tests" = 0 ] || targets+=(core_tests)
    echo "windows: building ${targets[*]} for $tag with $arch-w64-mingw32-g++-posix against $headers (output in $log)"
    if ! { cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-$arch.cmake -DCMAKE_BUILD_TYPE=Release \
               -DDEKO_PYTHON_HEADERS="$headers" -DDEKO_EXTENSION_DIR="$PWD/$build/extension" &&
           cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"; } >"$log" 2>&1; then
        echo "windows: the $tag build failed; its output ($log):" >&2
        cat "$log" >&2
        exit 1
    fi
    /usr/bin/python3 scripts/checks.py --headers "$headers" "$build/extension/dekoconnection.cp37-$tag.pyd" || status=1
    if [ "$tests" = 1 ]; then
        echo "windows: the C++ unit tests for $tag under $(grep -o '/usr/lib/wine/wine[0-9]*' cmake/mingw-w64-$arch.cmake)"
        ctest --test-dir "$build" -V >"$build/tests.log" 2>&1 || status=1
        grep -E "\[  (PASSED|FAILED|SKIPPED) +\]|\[==========\] .* ran|tests passed" "$build/tests.log" | sed 's/^/  /' || true
        [ "$status" = 0 ] || { echo "windows: the tests' output ($build/tests.log):" >&2; cat "$build/tests.log" >&2; }
    fi
done
exit "$status"
