#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages, as root) and builds the
# extension into apps/deko/libs/connections/. Safe to run again: it only does what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    cat <<'USAGE'
usage: bash scripts/setup.sh [-h]

Installs the Debian packages that the build and the tests need (as root, or through sudo), then
builds the extension into apps/deko/libs/connections/ with CMake. Run again, it only does what
is missing. The build's output goes to <build directory>/build.log; a failed build shows it.

environment:
  DEKO_BUILD_DIR    build directory (default: build)
  DEKO_CMAKE_ARGS   more CMake options, e.g. -DPYTHON_EXECUTABLE=/usr/bin/python3
USAGE
}
for arg in "$@"; do
    case "$arg" in
        -h|--help) usage; exit 0 ;;
        *) echo "setup: unknown argument $arg" >&2; usage >&2; exit 2 ;;
    esac
done

PACKAGES=(g++ make cmake pkg-config python3 python3-dev pybind11-dev libgtest-dev googletest
          python3-pyside2.qtcore python3-urllib3 python3-pytest python3-hypothesis mypy python3-dbg)

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -eq 0 ]; then
        as_root=()
    elif command -v sudo >/dev/null; then
        as_root=(sudo)
    else
        echo "setup: missing Debian packages (${missing[*]}); run this as root" >&2
        exit 1
    fi
    echo "setup: installing ${missing[*]}"
    apt_log=$(mktemp)
    if ! { "${as_root[@]}" apt-get update -qq &&
           "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"; } \
           >"$apt_log" 2>&1; then
        echo "setup: installing the Debian packages failed:" >&2
        cat "$apt_log" >&2
        exit 1
    fi
    rm -f "$apt_log"
fi

BUILD_DIR=${DEKO_BUILD_DIR:-build}
mkdir -p "$BUILD_DIR"
log="$BUILD_DIR/build.log"
if [ -f "$BUILD_DIR/cmake_install.cmake" ] && compgen -G "apps/deko/libs/connections/dekoconnection*.so" >/dev/null; then
    echo "setup: bringing the build up to date (output in $log)"
else
    echo "setup: building the extension (about a minute on 2 cores; output in $log)"
fi
: >"$log"
logged() {  # logged WHAT COMMAND...: runs COMMAND into the log; shows the log when it fails
    local what=$1
    shift
    if ! "$@" >>"$log" 2>&1; then
        echo "setup: $what failed; its output ($log):" >&2
        cat "$log" >&2
        exit 1
    fi
}
# shellcheck disable=SC2086  # DEKO_CMAKE_ARGS holds several options
logged "configuring the build" cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${DEKO_CMAKE_ARGS:-}
logged "the build" cmake --build "$BUILD_DIR" -j"$(nproc)"
echo "setup: built $(ls apps/deko/libs/connections/dekoconnection*.so)"
