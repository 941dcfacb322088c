#!/usr/bin/env bash
# Builds the libFuzzer targets over the reading core through CMake and runs each for a
# bounded time.
#   scripts/fuzz.sh [seconds per target] [target...]
# New inputs go to .cache/fuzz/<target>; the seeds in fuzz/corpus/<target> are only read.
# A crashing input is written to .cache/fuzz/crashes/ and fails the run.
set -euo pipefail
. "$(dirname "$0")/common.sh"
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(pcd_file data_section lzf_differential lzf_roundtrip)

# clang and its fuzzer runtime, from Debian, where they are missing.
ensure_clang() {
    [ -z "$(missing_packages clang libclang-rt-dev)" ] && return
    echo "Installing clang and its fuzzer runtime" >&2
    install_missing clang libclang-rt-dev
}

ensure_clang
mkdir -p "$root/.cache/fuzz/crashes"
for target in "${targets[@]}"; do
    program=$(dev_build --dir "$root/build/fuzz" -D CMAKE_CXX_COMPILER=clang++ -D CMAKE_C_COMPILER=clang \
        -D CMAKE_BUILD_TYPE=Debug -D CMAKE_CXX_FLAGS=-O1 -D TESSAREL_DEV_TOOLS=OFF -D TESSAREL_FUZZ=ON \
        "fuzz_$target")
    corpus="$root/.cache/fuzz/$target"
    mkdir -p "$corpus"
    echo "fuzz_$target: ${seconds}s" >&2
    # A load reserves no more than its file can fill (8 bytes a value at most), so a block of
    # gigabytes is a fault here; tests/test_damaged_files.py bounds what failing loads reserve.
    log="$root/.cache/fuzz/$target.log"
    status=0
    seeds=("$root/fuzz/corpus/$target")
    if [ "$target" = data_section ]; then
        seeds+=("$root/.cache/fuzz/token_seeds")
        "$venv/bin/python" "$root/fuzz/token_seeds.py" "${seeds[1]}"
    fi
    "$program" "$corpus" "${seeds[@]}" \
        -max_total_time="$seconds" -max_len=4096 -malloc_limit_mb=2200 -rss_limit_mb=2560 \
        -timeout=10 -print_final_stats=1 -artifact_prefix="$root/.cache/fuzz/crashes/$target-" \
        >"$log" 2>&1 || status=$?
    grep -E "^(#[0-9]+[[:space:]]+DONE|stat::(number_of_executed_units|new_units_added|peak_rss_mb))" "$log" >&2 || true
    if [ "$status" -ne 0 ]; then
        tail -40 "$log" >&2
        echo "fuzz_$target found a failure; the input is in .cache/fuzz/crashes/" >&2
        exit 1
    fi
done
