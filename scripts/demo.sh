#!/usr/bin/env bash
# The gateway road end to end against the embedded simulated provider
# (or another provider: scripts/demo.sh --provider http://host:port), under /usr/bin/python3 or
# another interpreter (scripts/demo.sh --python PATH); with --gui, the same connection in a
# desktop window (scripts/demo.sh --gui [--auto] [--screenshot FILE]).
set -euo pipefail
here=$PWD
cd "$(dirname "$0")/.."

python=/usr/bin/python3
program=demo/main.py
help=
args=()
while [ $# -gt 0 ]; do
    case "$1" in
        -h|--help) help=1 ;;
        --gui) program=demo/gui.py ;;
        --python) [ $# -ge 2 ] || { echo "demo: --python needs a PATH" >&2; exit 2; }; python=$2; shift ;;
        --python=*) python=${1#--python=} ;;
        *) args+=("$1") ;;
    esac
    shift
done
if [ "$program" = demo/gui.py ]; then
    export DEKO_DEMO_PROG="bash scripts/demo.sh --gui [--python PYTHON]"
else
    export DEKO_DEMO_PROG="bash scripts/demo.sh [--python PYTHON] [--gui]"
fi
if [ -n "$help" ]; then  # the demo's own help needs neither the build nor Qt
    if [ -x /usr/bin/python3 ]; then
        exec /usr/bin/python3 "$program" --help
    fi
    echo "usage: $DEKO_DEMO_PROG [-h] ..."
    echo "(the full help once /usr/bin/python3 is installed: bash scripts/setup.sh)"
    exit 0
fi
if [ "$program" = demo/gui.py ] && [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ] &&
   [[ " ${args[*]-} " != *" --auto "* ]] && [ -x /usr/bin/python3 ]; then
    exec /usr/bin/python3 "$program" "${args[@]}"  # no screen: it says so in one line, before anything is built
fi
case "$python" in
    */*) python=$(cd "$here" && realpath -s -m "$python") ;;
    *) python=$(command -v "$python") || { echo "demo: no interpreter $python" >&2; exit 2; } ;;
esac

if [ "$python" != /usr/bin/python3 ] && ! "$python" -c "import PySide2.QtCore" 2>/dev/null; then
    bash scripts/pyside2.sh "$python" >/dev/null  # what it does shows; the folder it prints is on the path
fi
bash scripts/setup.sh --python "$python"
if [ "$program" = demo/gui.py ] && ! "$python" -c "import PySide2.QtWidgets" 2>/dev/null; then
    echo "demo: the PySide2 of $python has no QtWidgets: the window cannot open" >&2
    exit 1
fi
exec "$python" "$program" "${args[@]}"
