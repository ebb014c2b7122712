#!/usr/bin/env bash
# Makes the release files in dist/: the Windows files for CPython 3.7 (x64, x86) and the portable
# Linux files for /usr/bin/python3 and CPython 3.7, with the type stubs, and prints each file's checks.
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
    -h|--help)
        cat <<'USAGE'
usage: bash scripts/release.sh [-h]

Makes the release files in dist/ (emptied first) and prints each file's checks:
  dekoconnection.cp37-win_amd64.pyd               Windows x64, CPython 3.7   (scripts/windows.sh)
  dekoconnection.cp37-win32.pyd                   Windows x86, CPython 3.7   (scripts/windows.sh)
  dekoconnection.cpython-311-x86_64-linux-gnu.so  any x86-64 Linux since 2014, /usr/bin/python3's
                                                  version (3.11 on Debian 12)  (scripts/portable.sh)
  dekoconnection.cpython-37m-x86_64-linux-gnu.so  any x86-64 Linux since 2014, CPython 3.7
  dekoconnection.pyi                              the type stubs
  .debug/*.so.debug                               the Linux files' debug information (they are
                                                  stripped), for gdb and crash reports
The checks (scripts/checks.py) read the files without running them: the Windows files are DLLs
for their machine that export the module's entry alone and need python37.dll and Windows' own
DLLs alone; the Linux files need at most glibc 2.17 and no system libstdc++. Exits non-zero when
a build or a check fails. The test command runs the Windows files' unit tests under Wine and the
whole Python suite on the Linux files (bash scripts/test.sh --help). Installs the Debian packages
it needs with scripts/setup.sh first; the 3.7 file needs the PySide2 that scripts/pyside2.sh
builds once per machine (about 6 minutes).

environment:
  DEKO_PY37           the CPython 3.7 (see bash scripts/py37.sh --help)
  DEKO_PORTABLE_DIR   where scripts/portable.sh keeps its copy of the work tree
USAGE
        exit 0 ;;
    "") ;;
    *) echo "release: unknown argument $1" >&2; exit 2 ;;
esac

mkdir -p build-windows
quiet() {  # runs a script, its output shown only when it fails
    if ! "$@" >build-windows/release.log 2>&1; then
        cat build-windows/release.log >&2
        echo "release: $* failed" >&2
        exit 1
    fi
}
echo "release: building the Windows files (scripts/windows.sh) and the portable Linux files (scripts/portable.sh)"
quiet bash scripts/setup.sh  # the Debian packages (and the normal build)
quiet bash scripts/windows.sh
quiet bash scripts/portable.sh
work=${DEKO_PORTABLE_DIR:-$PWD/build-portable}

rm -rf dist
mkdir -p dist
cp -p build-windows/win_amd64/extension/dekoconnection.cp37-win_amd64.pyd \
      build-windows/win32/extension/dekoconnection.cp37-win32.pyd \
      "$work"/apps/deko/libs/connections/dekoconnection.cpython-*-x86_64-linux-gnu.so \
      apps/deko/libs/connections/dekoconnection.pyi dist/
# The Linux files go out stripped, as an install gives them; their debug information stays beside
# them in dist/.debug/ (where gdb looks, through each file's .gnu_debuglink), for crash reports.
mkdir -p dist/.debug
for so in dist/*.so; do
    debug=dist/.debug/$(basename "$so").debug
    objcopy --only-keep-debug "$so" "$debug"
    objcopy --strip-debug --strip-unneeded --add-gnu-debuglink="$debug" "$so"
done
echo "release: the files in dist/ and their checks"
py37=$(bash scripts/py37.sh)
headers=$("$py37" -c "import sysconfig; print(sysconfig.get_paths()['include'])")
/usr/bin/python3 scripts/checks.py --headers "$headers" dist/*.pyd dist/*.so
ls -l dist/dekoconnection.pyi | awk '{print $NF " (" $5 " bytes)"}'
