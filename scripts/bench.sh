#!/usr/bin/env bash
# Installs the benchmark's peers into .venv (once), then runs bench/bench_load.py with the
# given arguments. Run scripts/setup.sh first (make does).
set -euo pipefail
. "$(dirname "$0")/common.sh"

# open3d's wheel links libusb, which Debian ships separately.
if ! ldconfig -p | grep -q "libusb-1.0.so.0"; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libusb-1.0-0 >/dev/null
fi
stamp="$venv/.bench-requirements"
if [ ! -f "$stamp" ] || ! cmp -s "$stamp" "$root/bench/requirements.txt"; then
    "$venv/bin/python" -m pip install -q -r "$root/bench/requirements.txt"
    cp "$root/bench/requirements.txt" "$stamp"
fi
cd "$root/bench"
exec "$venv/bin/python" bench_load.py "$@"
