#!/usr/bin/env bash
# The gateway road end to end against the embedded simulated provider
# (or another provider: scripts/demo.sh --provider http://host:port).
set -euo pipefail
cd "$(dirname "$0")/.."
export DEKO_DEMO_PROG="bash scripts/demo.sh"

for arg in "$@"; do
    case "$arg" in
        -h|--help)  # the demo's own help needs neither the build nor Qt
            if [ -x /usr/bin/python3 ]; then
                exec /usr/bin/python3 demo/main.py --help
            fi
            echo "usage: $DEKO_DEMO_PROG [-h] [--provider URL] [--history-delay SECONDS]"
            echo "(the full help once /usr/bin/python3 is installed: bash scripts/setup.sh)"
            exit 0 ;;
    esac
done

bash scripts/setup.sh
exec /usr/bin/python3 demo/main.py "$@"
