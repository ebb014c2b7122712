#!/usr/bin/env bash
# Seeds faults into the C++ one at a time and shows which tests catch each (see scripts/mutants.py).
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in -h|--help) exec /usr/bin/python3 scripts/mutants.py --help ;; esac
bash scripts/setup.sh
exec /usr/bin/python3 scripts/mutants.py "$@"
