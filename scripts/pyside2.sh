#!/usr/bin/env bash
# Builds shiboken2 and PySide2 (QtCore only) from Debian's own pyside2 source package for an
# interpreter that has no PySide2 (the host's CPython 3.7, say), once per machine, into a cache
# outside the work tree, and puts it on that interpreter's path. What it does goes to standard
# error; standard output has one line, the folder that holds PySide2/ and shiboken2/.
set -euo pipefail
here=$PWD
cd "$(dirname "$0")/.."

usage() {
    cat <<'USAGE'
usage: bash scripts/pyside2.sh [-h] PYTHON

Builds shiboken2 and PySide2 with QtCore alone for the interpreter PYTHON (a path, e.g.
/root/.pyenv/versions/3.7.16/bin/python3.7) from Debian's own source package (pyside2, against
Debian's Qt 5 and libclang), once per machine: about 6 minutes on 2 cores, about 10 MB installed.
It installs the Debian packages the build needs (as root, or through sudo), builds into
<cache>/<interpreter's ABI tag>/pyside2/ and writes deko-pyside2.pth into the interpreter's
site-packages (or its user site when that is not writable), so that PYTHON imports PySide2.QtCore
with no more settings. Each step's output goes to <cache>/<tag>/logs/; a failed step shows it.
Run again once built, it only prints the folder. What it does goes to standard error; its last
line, the only one on standard output, is the folder that holds PySide2/ and shiboken2/ (for an
interpreter with a PySide2 of its own, that one's).

environment:
  DEKO_PY_CACHE   the cache (default: /var/cache/deko-python as root, else ~/.cache/deko-python)
USAGE
}
python=
for arg in "$@"; do
    case "$arg" in
        -h|--help) usage; exit 0 ;;
        -*) echo "pyside2: unknown option $arg" >&2; usage >&2; exit 2 ;;
        *) [ -z "$python" ] || { usage >&2; exit 2; }; python=$arg ;;
    esac
done
[ -n "$python" ] || { usage >&2; exit 2; }
case "$python" in  # a path as the caller gave it, or a command on PATH
    */*) python=$(cd "$here" && realpath -s -m "$python") ;;
    *) python=$(command -v "$python") || { echo "pyside2: no interpreter $python on PATH" >&2; exit 1; } ;;
esac
if ! tag=$("$python" -c "import sysconfig; print(sysconfig.get_config_var('SOABI'))" 2>/dev/null) || [ -z "$tag" ]; then
    echo "pyside2: $python cannot be run as a Python interpreter" >&2
    exit 1
fi

if [ "$(id -u)" -eq 0 ]; then cache=${DEKO_PY_CACHE:-/var/cache/deko-python}; else cache=${DEKO_PY_CACHE:-$HOME/.cache/deko-python}; fi
dest=$cache/$tag/pyside2
site=$dest/site
logs=$cache/$tag/logs
mkdir -p "$logs"
exec 9>"$cache/.lock"
flock 9  # one build at a time on this machine

install_pth() { "$python" scripts/onpath.py deko-pyside2 "$site"; }
imports_qtcore() { "$python" -c "import PySide2.QtCore" >/dev/null 2>&1; }

if [ -f "$dest/.built" ]; then
    imports_qtcore || install_pth
    echo "$site"
    exit 0
fi
if own=$("$python" -c "import os, PySide2.QtCore; print(os.path.dirname(os.path.dirname(PySide2.__file__)))" 2>/dev/null); then
    echo "pyside2: $python imports PySide2.QtCore of its own, nothing to build" >&2
    echo "$own"
    exit 0
fi

started=$SECONDS
step() { echo "pyside2: $1 ($(( (SECONDS - started) / 60 )) min $(( (SECONDS - started) % 60 )) s so far)" >&2; }
logged() {  # logged NAME COMMAND...: runs COMMAND into logs/NAME.log; shows its end when it fails
    local log=$logs/$1.log
    shift
    if ! "$@" >"$log" 2>&1; then
        echo "pyside2: this step failed; the end of its output ($log):" >&2
        tail -n 60 "$log" >&2
        exit 1
    fi
}
if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null; then
    as_root=(sudo)
else
    as_root=(sh -c 'echo "pyside2: this step needs root (or sudo)"; exit 1' sh)  # into the step's log
fi

echo "pyside2: building shiboken2 and PySide2 (QtCore) for $python ($tag) into $dest:" \
     "once per machine, about 6 minutes on 2 cores; logs in $logs" >&2

headers=$("$python" -c "import sysconfig; print(sysconfig.get_config_var('INCLUDEPY'))")
library=$("$python" -c "import os, sysconfig as s; print(os.path.join(s.get_config_var('LIBDIR'), s.get_config_var('LDLIBRARY')))")
version=$("$python" -c "import sys; print('%d.%d' % sys.version_info[:2])")
if [ ! -f "$headers/Python.h" ]; then
    echo "pyside2: $python has no C headers ($headers/Python.h); install the interpreter with its headers" >&2
    exit 1
fi

PACKAGES=(dpkg-dev g++ cmake ninja-build patchelf qtbase5-dev qtbase5-private-dev libclang-dev llvm-dev)
missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    step "installing ${missing[*]}"
    logged packages "${as_root[@]}" sh -c 'apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@"' sh "${missing[@]}"
fi

# Debian's source package, with Debian's patches applied, shared by every interpreter's build.
source=$(ls -d "$cache"/src/pyside2-*/sources 2>/dev/null | tail -n 1 || true)
if [ -z "$source" ]; then
    if [ -z "$(apt-cache showsrc pyside2 2>/dev/null)" ]; then
        . /etc/os-release
        uri=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT) $(TARGET_OF)' |
              awk -v suite="$VERSION_CODENAME" '$2 == suite && $3 == "main" && $4 == "deb" { print $1; exit }')
        step "adding Debian's source archive ($uri, $VERSION_CODENAME main) as /etc/apt/sources.list.d/deko-deb-src.sources"
        printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
            "$uri" "$VERSION_CODENAME" >"$logs/deb-src.sources"
        logged sources "${as_root[@]}" sh -c 'cp "$1" /etc/apt/sources.list.d/deko-deb-src.sources && apt-get update -qq' \
            sh "$logs/deb-src.sources"
    fi
    step "fetching Debian's pyside2 source package"
    rm -rf "$cache/src" "$cache/src.new"
    mkdir -p "$cache/src.new"
    logged source sh -c 'cd "$1" && apt-get source pyside2' sh "$cache/src.new"
    mv "$cache/src.new" "$cache/src"  # only a whole one is taken as fetched
    source=$(ls -d "$cache"/src/pyside2-*/sources | tail -n 1)
fi
# Debian's patches for Python 3.11 use Py_SET_TYPE, which Python has only from 3.9 on.
pep384=$source/shiboken2/libshiboken/pep384impl.h
if ! grep -q "define Py_SET_TYPE" "$pep384"; then
    sed -i 's/^#  define Py_SET_REFCNT(obj, refcnt) .*/&\n#  define Py_SET_TYPE(obj, type) ((Py_TYPE(obj) = (type)), (void)0)/' "$pep384"
fi

rm -rf "$dest" "$cache/$tag/build"
common=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$dest" -DPYTHON_SITE_PACKAGES="$site"
        -DPYTHON_EXECUTABLE="$python" -DPYTHON_INCLUDE_DIR="$headers" -DPYTHON_LIBRARY="$library"
        -DUSE_PYTHON_VERSION="$version" -DBUILD_TESTS=OFF -DFORCE_LIMITED_API=no)
step "configuring shiboken2"
logged shiboken2-configure cmake -S "$source/shiboken2" -B "$cache/$tag/build/shiboken2" "${common[@]}" -DDISABLE_DOCSTRINGS=ON
step "building shiboken2 (its generator and libshiboken2)"
logged shiboken2-build cmake --build "$cache/$tag/build/shiboken2" -j"$(nproc)" --target install
step "configuring PySide2 (QtCore)"
logged pyside2-configure cmake -S "$source/pyside2" -B "$cache/$tag/build/pyside2" "${common[@]}" \
    -DCMAKE_PREFIX_PATH="$dest" -DMODULES=Core -DSKIP_DOCS=ON
step "building PySide2 (QtCore)"
logged pyside2-build cmake --build "$cache/$tag/build/pyside2" -j"$(nproc)" --target install

# The modules find libshiboken2 and libpyside2 beside the install's lib/, wherever the cache lies.
step "linking the modules to their libraries"
for module in "$site"/shiboken2/shiboken2.*.so "$site"/PySide2/*.so; do
    patchelf --set-rpath "\$ORIGIN/../../lib" "$module"
done
for library in "$dest"/lib/lib*.so.*; do
    [ -L "$library" ] || patchelf --set-rpath "\$ORIGIN" "$library"
done
rm -rf "$cache/$tag/build"
logged check env -u LD_LIBRARY_PATH -u PYTHONPATH "$python" -c \
    "import sys; sys.path.insert(0, sys.argv[1]); import PySide2.QtCore as q; print(q.qVersion(), q.__file__)" "$site"
touch "$dest/.built"
install_pth
step "done: $(du -sh "$dest" | cut -f1) in $dest, on the path of $python through deko-pyside2.pth"
echo "$site"
