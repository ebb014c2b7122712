#!/usr/bin/env bash
# The gateway road end to end against the embedded simulated provider
# (or another provider: scripts/demo.sh --provider http://host:port), under /usr/bin/python3 or
# another interpreter (scripts/demo.sh --python PATH).
set -euo pipefail
here=$PWD
cd "$(dirname "$0")/.."
export DEKO_DEMO_PROG="bash scripts/demo.sh [--python PYTHON]"

python=/usr/bin/python3
args=()
while [ $# -gt 0 ]; do
    case "$1" in
        -h|--help)  # the demo's own help needs neither the build nor Qt
            if [ -x /usr/bin/python3 ]; then
                exec /usr/bin/python3 demo/main.py --help
            fi
            echo "usage: $DEKO_DEMO_PROG [-h] [--provider URL] [--history-delay SECONDS]"
            echo "(the full help once /usr/bin/python3 is installed: bash scripts/setup.sh)"
            exit 0 ;;
        --python) [ $# -ge 2 ] || { echo "demo: --python needs a PATH" >&2; exit 2; }; python=$2; shift ;;
        --python=*) python=${1#--python=} ;;
        *) args+=("$1") ;;
    esac
    shift
done
case "$python" in
    */*) python=$(cd "$here" && realpath -s -m "$python") ;;
    *) python=$(command -v "$python") || { echo "demo: no interpreter $python" >&2; exit 2; } ;;
esac

if [ "$python" != /usr/bin/python3 ] && ! "$python" -c "import PySide2.QtCore" 2>/dev/null; then
    bash scripts/pyside2.sh "$python" >/dev/null  # what it does shows; the folder it prints is on the path
fi
bash scripts/setup.sh --python "$python"
exec "$python" demo/main.py "${args[@]}"
