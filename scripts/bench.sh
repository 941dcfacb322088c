#!/usr/bin/env bash
# Runs a benchmark of bench/ with the given arguments in .venv-bench: the peers, and tessarel
# installed from its wheel as users get it.
#   scripts/bench.sh bench_load.py|bench_save.py [arguments] The peers stay out of .venv, where they would
# become part of the test environment. Run scripts/setup.sh first (make does).
set -euo pipefail
. "$(dirname "$0")/common.sh"
bench_venv="$root/.venv-bench"

# open3d's wheel links libusb, which Debian ships separately.
ldconfig -p | grep -q "libusb-1.0.so.0" || install_missing libusb-1.0-0
if [ ! -x "$bench_venv/bin/python" ]; then
    "$("$venv/bin/python" -c 'import sys; print(sys._base_executable)')" -m venv "$bench_venv"
fi
stamp="$bench_venv/.requirements"
if [ ! -f "$stamp" ] || ! cmp -s "$stamp" "$root/bench/requirements.txt"; then
    "$bench_venv/bin/python" -m pip install -q -r "$root/bench/requirements.txt"
    cp "$root/bench/requirements.txt" "$stamp"
fi
wheels="$root/.cache/bench/wheel"
rm -rf "$wheels"
bash "$root/scripts/build_wheel.sh" "$wheels" >/dev/null 2>&1
# The wheel of the bench venv's own CPython, among those of every CPython found.
tag=$("$bench_venv/bin/python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
"$bench_venv/bin/python" -m pip install -q --force-reinstall --no-deps "$wheels"/tessarel-*-"$tag"-*.whl

script="$1"
shift
cd "$root/bench"
exec "$bench_venv/bin/python" "$script" "$@"
