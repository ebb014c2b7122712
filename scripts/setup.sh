#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages, as root) and builds the
# extension into apps/deko/libs/connections/. Safe to run again: it only does what is missing.
set -euo pipefail
here=$PWD
cd "$(dirname "$0")/.."

usage() {
    cat <<'USAGE'
usage: bash scripts/setup.sh [-h] [--build-only] [--python PYTHON]

Installs the Debian packages that the build and the tests need (as root, or through sudo), then
builds the extension for the interpreter PYTHON (a path; default /usr/bin/python3) into
apps/deko/libs/connections/ with CMake: dekoconnection.<PYTHON's ABI tag>.so, so that builds for
several interpreters sit side by side and each imports its own. Each interpreter has a build
directory of its own: build/ for /usr/bin/python3, build-pyXY/ for another (build-py37/ for a
3.7). PYTHON must import PySide2.QtCore: for one without it, bash scripts/pyside2.sh PYTHON
builds one first. Another interpreter that cannot import urllib3, pytest or hypothesis gets
Debian's (pure Python) on its path, through deko-debian-python.pth in its site-packages. Run
again, it only does what is missing. The build's output goes to <build directory>/build.log; a
failed build shows it.

--build-only installs only what a build needs (for a host that builds the extension and runs no
test): g++ make cmake binutils and, for /usr/bin/python3, python3-dev python3-pyside2.qtcore
python3-urllib3 (the module imports urllib3 as it loads; another interpreter without urllib3 gets
Debian's).
Supported interpreters: CPython 3.7 to 3.11 with PySide2 5.15 (3.7 and 3.11 are tested).

environment:
  DEKO_BUILD_DIR    build directory (default: build, or build-pyXY for another interpreter)
  DEKO_CMAKE_ARGS   more CMake options, e.g. -DCMAKE_BUILD_TYPE=Debug
  DEKO_PY_CACHE     where another interpreter's Python packages go (as in scripts/pyside2.sh)
USAGE
}
python=/usr/bin/python3
build_only=
while [ $# -gt 0 ]; do
    case "$1" in
        -h|--help) usage; exit 0 ;;
        --build-only) build_only=1 ;;
        --python) [ $# -ge 2 ] || { usage >&2; exit 2; }; python=$2; shift ;;
        --python=*) python=${1#--python=} ;;
        *) echo "setup: unknown argument $1" >&2; usage >&2; exit 2 ;;
    esac
    shift
done
# shellcheck disable=SC2086  # DEKO_CMAKE_ARGS holds several options; an interpreter named there wins
for option in ${DEKO_CMAKE_ARGS:-}; do
    case "$option" in -DPYTHON_EXECUTABLE=* | -DPYTHON_EXECUTABLE:*=*) python=${option#*=} ;; esac
done
case "$python" in  # a path as the caller gave it, or a command on PATH
    */*) python=$(cd "$here" && realpath -s -m "$python") ;;
    *) python=$(command -v "$python") || { echo "setup: no interpreter $python on PATH" >&2; exit 1; } ;;
esac

# What a build needs (--build-only): the compiler, CMake, binutils (objcopy keeps the debug
# information apart), and Debian's interpreter with its headers, PySide2's QtCore and urllib3.
BUILD_PACKAGES=(g++ make cmake binutils)
if [ "$python" = /usr/bin/python3 ]; then
    BUILD_PACKAGES+=(python3 python3-dev python3-pyside2.qtcore python3-urllib3)
fi
# Then the tests (the C++ unit tests, the compile checks, pytest and hypothesis, the stub check,
# the debug interpreter, valgrind), the desktop demo (Qt Widgets, a font; Xvfb for its test on a
# display) and the Windows files (MinGW-w64, wine).
PACKAGES=("${BUILD_PACKAGES[@]}" pkg-config python3 python3-dev libgtest-dev googletest python3-pyside2.qtcore
          python3-urllib3 python3-pytest python3-hypothesis mypy python3-dbg python3-greenlet valgrind
          g++-11 clang
          python3-pyside2.qtgui python3-pyside2.qtwidgets fonts-dejavu-core xvfb xauth x11-utils
          g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 wine32)  # these: the Windows files (wine32: i386)
if [ -n "$build_only" ]; then
    PACKAGES=("${BUILD_PACKAGES[@]}")
fi
# What the module (urllib3) and the tests (pytest, hypothesis) import, with what they need on a
# Python older than Debian's: pure-Python packages that another interpreter can take as they are.
DEBIAN_PYTHON=(python3-urllib3 python3-six python3-pytest python3-pluggy python3-iniconfig python3-packaging
               python3-attr python3-py python3-exceptiongroup python3-tomli python3-importlib-metadata
               python3-zipp python3-typing-extensions python3-more-itertools python3-hypothesis
               python3-sortedcontainers)

debian_python=
if [ "$python" != /usr/bin/python3 ]; then  # Debian's own comes with the packages above
    if ! tag=$("$python" -c "import sysconfig; print(sysconfig.get_config_var('SOABI'))" 2>/dev/null) || [ -z "$tag" ]; then
        echo "setup: $python cannot be run as a Python interpreter" >&2
        exit 1
    fi
    needed="urllib3, pytest, hypothesis"
    if [ -n "$build_only" ]; then  # what the module imports, no more
        needed=urllib3
        DEBIAN_PYTHON=(python3-urllib3 python3-six)
    fi
    if ! "$python" -c "import $needed" 2>/dev/null; then
        if [ "$(id -u)" -eq 0 ]; then cache=${DEKO_PY_CACHE:-/var/cache/deko-python}; else cache=${DEKO_PY_CACHE:-$HOME/.cache/deko-python}; fi
        debian_python=$cache/$tag/debian-python
        PACKAGES+=("${DEBIAN_PYTHON[@]}")
    fi
fi

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
    add_i386=(true)  # wine32, which runs the 32-bit Windows tests, is a package of Debian's i386 architecture
    if [[ " ${missing[*]} " == *" wine32 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        add_i386=("${as_root[@]}" dpkg --add-architecture i386)
    fi
    if ! { "${add_i386[@]}" && "${as_root[@]}" apt-get update -qq &&
           "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"; } \
           >"$apt_log" 2>&1; then
        echo "setup: installing the Debian packages failed:" >&2
        cat "$apt_log" >&2
        exit 1
    fi
    rm -f "$apt_log"
fi

if [ -n "$debian_python" ]; then
    echo "setup: putting Debian's ${DEBIAN_PYTHON[*]} on the path of $python ($debian_python)"
    rm -rf "$debian_python.new"
    mkdir -p "$debian_python.new"
    for p in "${DEBIAN_PYTHON[@]}"; do
        dpkg -L "$p" | grep -E '^/usr/lib/python3/dist-packages/[^/]+$' | xargs -r cp -r -t "$debian_python.new"
    done
    find "$debian_python.new" -name __pycache__ -prune -exec rm -rf {} +
    rm -rf "$debian_python"
    mv "$debian_python.new" "$debian_python"
    "$python" scripts/onpath.py deko-debian-python "$debian_python"
    if ! failed=$("$python" -c "import $needed" 2>&1); then
        echo "setup: $python still cannot import $needed: $failed" >&2
        exit 1
    fi
fi

if [ "$python" = /usr/bin/python3 ]; then
    BUILD_DIR=${DEKO_BUILD_DIR:-build}
else
    BUILD_DIR=${DEKO_BUILD_DIR:-build-py$("$python" -c "import sys; print('%d%d' % sys.version_info[:2])")}
fi
extension=apps/deko/libs/connections/dekoconnection$("$python" -c "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))")
mkdir -p "$BUILD_DIR"
log="$BUILD_DIR/build.log"
if [ -f "$BUILD_DIR/cmake_install.cmake" ] && [ -f "$extension" ]; then
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
# A build directory configured for another interpreter starts afresh (CMake keeps the interpreter it found first).
fresh=()
if [ -f "$BUILD_DIR/CMakeCache.txt" ] &&
   ! grep -qxF "PYTHON_EXECUTABLE:FILEPATH=$python" "$BUILD_DIR/CMakeCache.txt"; then
    fresh=(--fresh)
fi
# shellcheck disable=SC2086  # DEKO_CMAKE_ARGS holds several options
logged "configuring the build" cmake "${fresh[@]}" -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPYTHON_EXECUTABLE="$python" ${DEKO_CMAKE_ARGS:-}
logged "the build" cmake --build "$BUILD_DIR" -j"$(nproc)"
echo "setup: built $extension"
# What the built file asks of the machine that loads it: the newest glibc and libstdc++ symbol
# versions it uses, which come from the machine that built it.
newest() { objdump -T "$extension" | { grep -oE "\b$1_[0-9][0-9.]*" || true; } | sed "s/^$1_//" | sort -uV | tail -n 1; }
glibc=$(newest GLIBC)
glibcxx=$(newest GLIBCXX)
case "$glibcxx" in  # the GCC whose libstdc++ first had that symbol version
    3.4.2[0-4]) gcc=5-7 ;; 3.4.25) gcc=8 ;; 3.4.2[67]) gcc=9 ;; 3.4.28) gcc=10 ;; 3.4.29) gcc=11 ;;
    3.4.30) gcc=12 ;; 3.4.31) gcc=13 ;; 3.4.32) gcc=14 ;; *) gcc="" ;;
esac
if [ -z "$glibcxx" ]; then  # a portable build (DEKO_PORTABLE): the C++ runtime linked in
    echo "setup: wherever it is copied, it needs glibc $glibc or newer and no system libstdc++ (linked in)"
else
    echo "setup: wherever it is copied, it needs glibc $glibc and the libstdc++ of GCC ${gcc:-?} (GLIBCXX_$glibcxx) or newer"
fi
