#!/usr/bin/env bash
# Builds the libFuzzer targets over the reading core and runs each for a bounded time.
#   scripts/fuzz.sh [seconds per target] [target...]
# New inputs go to .cache/fuzz/<target>; the seeds in fuzz/corpus/<target> are only read.
# A crashing input is written to .cache/fuzz/crashes/ and fails the run.
set -euo pipefail
. "$(dirname "$0")/common.sh"
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(pcd_file data_section lzf_differential)

# Whether clang can link a libFuzzer target: the runtime's file name varies between releases.
can_link_fuzzer() {
    command -v clang++ >/dev/null || return 1
    echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
        clang++ -x c++ -fsanitize=fuzzer - -o /dev/null 2>/dev/null
}

ensure_clang() {
    can_link_fuzzer && return
    echo "Installing clang and its fuzzer runtime" >&2
    install_missing clang libclang-rt-dev
}

# liblzf's decoder is built from the source that liblzf-dev ships, so the sanitizers and the
# coverage see inside it too. Where the package ships no source, the library is linked as is.
lzf_source=/usr/src/liblzf/lzf_d.c
lzf_objects() {
    if [ ! -f "$lzf_source" ]; then
        echo "-llzf"
        return
    fi
    clang -O1 -g -w -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all \
        -c "$lzf_source" -o "$root/build/fuzz/lzf_d.o"
    echo "$root/build/fuzz/lzf_d.o"
}

build_target() {
    local target="$1" out="$root/build/fuzz/fuzz_$1"
    clang++ -std=c++20 -pthread -O1 -g -fno-omit-frame-pointer \
        -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
        -I"$root/src" -I/usr/include/liblzf $(fast_float_include) \
        "$root/fuzz/fuzz_$target.cpp" $(core_sources) \
        $lzf -o "$out"
}

ensure_clang
mkdir -p "$root/.cache/fuzz/crashes" "$root/build/fuzz"
lzf=$(lzf_objects)
for target in "${targets[@]}"; do
    build_target "$target"
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
    "$root/build/fuzz/fuzz_$target" "$corpus" "${seeds[@]}" \
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
