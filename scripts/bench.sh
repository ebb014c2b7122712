#!/usr/bin/env bash
# Every benchmark: the module's loops side by side with the plain-Python versions (bench/run.py,
# bench/reference.py), then the end-to-end load against the simulated provider (bench/e2e.py).
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    cat <<'TEXT'
usage: bash scripts/bench.sh [e2e | --instructions | -h | --help]

  (none)          every benchmark: the loop benchmarks (the module against plain-Python
                  versions of the same loops), then the end-to-end load
  e2e             only the end-to-end load: purchases through one connection against the
                  simulated provider in its own process (about 15 s)
  --instructions  the loop benchmarks counted in machine instructions under callgrind
                  (about 3 minutes)
  -h, --help      this text (nothing is built or run)
TEXT
}

case "$*" in
    -h | --help) usage; exit 0 ;;
    "" | e2e | --instructions) ;;
    *) usage >&2; exit 2 ;;
esac

bash scripts/setup.sh
case "$*" in
    e2e) exec /usr/bin/python3 bench/e2e.py ;;
    --instructions) exec /usr/bin/python3 bench/run.py --instructions ;;
    *) /usr/bin/python3 bench/run.py
       echo
       exec /usr/bin/python3 bench/e2e.py ;;
esac
