#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages, as root) and builds the
# extension into apps/deko/libs/connections/. Safe to run again: it only does what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(g++ make cmake pkg-config python3 python3-dev pybind11-dev libgtest-dev googletest
          python3-pyside2.qtcore python3-urllib3 python3-pytest python3-hypothesis)

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    if [ "$(id -u)" -eq 0 ]; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    elif command -v sudo >/dev/null; then
        sudo apt-get update -qq
        sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    else
        echo "setup: missing Debian packages (${missing[*]}); run this as root" >&2
        exit 1
    fi
fi

BUILD_DIR=${DEKO_BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${DEKO_CMAKE_ARGS:-} >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" >/dev/null
echo "setup: built $(ls apps/deko/libs/connections/dekoconnection*.so)"
