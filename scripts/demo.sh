#!/usr/bin/env bash
# The gateway road end to end against the embedded simulated provider
# (or another provider: scripts/demo.sh --provider http://host:port).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec /usr/bin/python3 demo/main.py "$@"
