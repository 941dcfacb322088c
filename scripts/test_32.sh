#!/usr/bin/env bash
# Builds the replay driver over the reading core twice, natively and with -m32, replays the
# fuzz corpora, the damaged-file cases and large sparse files through both, and fails unless
# the 32-bit outcomes equal the 64-bit ones, save the cases a 32-bit build refuses by design
# (listed in the driver). Installs g++-multilib first where it is missing.
# Run scripts/setup.sh first (make does).
set -euo pipefail
. "$(dirname "$0")/common.sh"
cache="$root/.cache/replay"

ensure_multilib() {
    [ -z "$(missing_packages gcc-multilib g++-multilib)" ] && return
    echo "test_32: installing g++-multilib" >&2
    install_missing gcc-multilib g++-multilib
}

ensure_multilib
mkdir -p "$cache"
echo "test_32: building the replay driver at 64 and 32 bits" >&2
replay64=$(dev_build --dir "$root/build/replay64" -D CMAKE_BUILD_TYPE=RelWithDebInfo replay)
replay32=$(dev_build --dir "$root/build/replay32" -D CMAKE_BUILD_TYPE=RelWithDebInfo -D CMAKE_CXX_FLAGS=-m32 replay)

echo "test_32: writing the cases into $cache" >&2
"$venv/bin/python" "$root/replay/replay_cases.py" "$cache/cases"
"$venv/bin/python" "$root/fuzz/token_seeds.py" "$cache/token_seeds"
inputs=("$root/fuzz/corpus/pcd_file" "$cache/cases/damaged" "$cache/cases/large"
    --data-section "$root/fuzz/corpus/data_section" "$cache/token_seeds")

echo "test_32: replaying at 64 bits" >&2
"$replay64" "${inputs[@]}" >"$cache/outcomes64.txt"
echo "test_32: replaying at 32 bits against the 64-bit outcomes" >&2
"$replay32" --expect "$cache/outcomes64.txt" "${inputs[@]}"
