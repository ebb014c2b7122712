#!/usr/bin/env bash
# Builds the portable Linux files (glibc 2.17, the C++ runtime linked in) for /usr/bin/python3 and
# CPython 3.7 in a copy of the work tree and checks them; with --suite, also runs the whole Python
# suite on those very files under both interpreters.
set -euo pipefail
cd "$(dirname "$0")/.."

suite=0
pytest_args=()
for arg in "$@"; do
    case "$arg" in
        -h|--help)
            cat <<'USAGE'
usage: bash scripts/portable.sh [-h] [--suite [PYTEST-ARGUMENTS...]]

Builds the Linux file that loads on any x86-64 Linux since 2014 (-DDEKO_PORTABLE=ON, see
cmake/portable.cmake) for /usr/bin/python3 and for the CPython 3.7 that scripts/py37.sh finds, in
a copy of the work tree (DEKO_PORTABLE_DIR, default build-portable/ in the work tree: its build/
and build-py37/ folders, the files in its apps/deko/libs/connections/), then checks each without
running it (scripts/checks.py: no GLIBC_ version above 2.17, no GLIBCXX_ or CXXABI_, the module's
entry alone exported). With --suite it then runs the whole Python suite (pytest, given the
arguments that follow) in that copy, on those very files, under each interpreter. The 3.7 build
needs the PySide2 that scripts/pyside2.sh builds for it once per machine.

environment:
  DEKO_PY37           the CPython 3.7 (see bash scripts/py37.sh --help)
  DEKO_PORTABLE_DIR   where the copy of the work tree is kept
USAGE
            exit 0 ;;
        --suite) suite=1 ;;
        *) [ "$suite" = 1 ] || { echo "portable: unknown argument $arg" >&2; exit 2; }; pytest_args+=("$arg") ;;
    esac
done

py37=$(bash scripts/py37.sh)
if [ -z "$py37" ]; then
    echo "portable: no CPython 3.7 (DEKO_PY37, pyenv's versions, python3.7 on PATH) to build the 3.7 file for" >&2
    exit 1
fi
bash scripts/pyside2.sh "$py37" >/dev/null  # what it does shows

# The copy: the work tree's files (kept or not yet added to git), the ones unchanged keeping their
# times so that the builds there are brought up to date, not redone; files gone from the work tree
# go from the copy.
work=${DEKO_PORTABLE_DIR:-$PWD/build-portable}
mkdir -p "$work"
git ls-files -z --cached --others --exclude-standard | sort -z >"$work/.files"
xargs -0 -r cp -p --parents -t "$work" <"$work/.files"
(cd "$work" && find . -type f ! -path './build*' ! -path './apps/deko/libs/connections/dekoconnection*.so' \
     ! -path '*/__pycache__/*' ! -name .files ! -path './.hypothesis/*' -printf '%P\0' | sort -z |
     comm -z -23 - .files | xargs -0 -r rm -f)

cd "$work"
export DEKO_CMAKE_ARGS="-DDEKO_PORTABLE=ON ${DEKO_CMAKE_ARGS:-}"
echo "portable: building the portable Linux files in $work"
DEKO_BUILD_DIR=build bash scripts/setup.sh
DEKO_BUILD_DIR=build-py37 bash scripts/setup.sh --python "$py37"
files=(apps/deko/libs/connections/dekoconnection"$(/usr/bin/python3 -c "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))")"
       apps/deko/libs/connections/dekoconnection"$("$py37" -c "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))")")
/usr/bin/python3 scripts/checks.py "${files[@]/#/$work/}"

if [ "$suite" = 1 ]; then
    export QT_QPA_PLATFORM=offscreen
    echo "portable: the Python suite on $work/${files[0]} under /usr/bin/python3"
    DEKO_BUILD_DIR=build /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/py "${pytest_args[@]}"
    echo "portable: the Python suite on $work/${files[1]} under $py37"
    DEKO_BUILD_DIR=build-py37 "$py37" -m pytest -q -p no:cacheprovider tests/py "${pytest_args[@]}"
fi
