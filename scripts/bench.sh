#!/usr/bin/env bash
# Every benchmark, side by side with the plain-Python versions (bench/reference.py).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec /usr/bin/python3 bench/run.py "$@"
