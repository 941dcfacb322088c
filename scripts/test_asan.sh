#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer and runs the whole
# test suite against it. Run scripts/setup.sh first (make does).
set -euo pipefail
. "$(dirname "$0")/common.sh"
build="$root/build/asan"

prefix="$("$venv/bin/python" -m pybind11 --cmakedir)"
[ -n "$(fast_float_prefix)" ] && prefix="$(fast_float_prefix);$prefix"

sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
"$venv/bin/cmake" -S "$root" -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_PREFIX_PATH="$prefix" \
    -DPython_EXECUTABLE="$venv/bin/python" -DTESSAREL_WERROR=ON \
    -DCMAKE_CXX_FLAGS="$sanitize" -DCMAKE_SHARED_LINKER_FLAGS="$sanitize" >/dev/null
"$venv/bin/cmake" --build "$build"

# The interpreter is not built with the sanitizers, so their runtimes are preloaded, and
# Python's own allocator is bypassed so that ASan sees every block. The interpreter keeps
# much of its memory until exit, so leak reports would be its own: leaks are checked by the
# fuzzers (the C++ core) and by the memory tests (the binding) instead.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONMALLOC=malloc
export PYTHONPATH="$build"  # holds the package folder tessarel/
export TESSAREL_SANITIZED=1
cd "$root"
"$venv/bin/python" -c "import tessarel, sys; assert tessarel.__file__.startswith(sys.argv[1]), tessarel.__file__" "$build"
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
