#!/usr/bin/env bash
# Prints the CPython 3.7 that the 3.7 rounds and the release files use: DEKO_PY37, else pyenv's
# newest 3.7, else python3.7 on PATH, the first that runs as a 3.7; prints nothing when there is none.
set -euo pipefail
case "${1:-}" in
    -h|--help)
        echo "usage: bash scripts/py37.sh [-h]"
        echo
        echo "Prints the path of the CPython 3.7 to use: DEKO_PY37, else pyenv's newest 3.7 (under"
        echo "\$PYENV_ROOT or /root/.pyenv), else python3.7 on PATH; nothing when there is none."
        exit 0 ;;
esac
if [ -n "${DEKO_PY37:-}" ]; then
    echo "$DEKO_PY37"
    exit 0
fi
{ ls -d "${PYENV_ROOT:-/root/.pyenv}"/versions/3.7.*/bin/python3.7 2>/dev/null | sort -rV
  command -v python3.7 || true; } | while read -r candidate; do  # a pyenv shim of python3.7 may not run
    if "$candidate" -c "import sys; sys.exit(sys.version_info[:2] != (3, 7))" </dev/null 2>/dev/null; then
        echo "$candidate"
        break
    fi
done
