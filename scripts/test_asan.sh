#!/usr/bin/env bash
# Builds the extension and the C++ test programs with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the whole test suite against them. Run scripts/setup.sh
# first (make does).
set -euo pipefail
. "$(dirname "$0")/common.sh"
build="$root/build/asan"

dev_build --dir "$build" -D CMAKE_BUILD_TYPE=RelWithDebInfo -D TESSAREL_MODULE=ON -D TESSAREL_SANITIZE=ON \
    -D "Python_EXECUTABLE=$venv/bin/python" -D "pybind11_DIR=$("$venv/bin/python" -m pybind11 --cmakedir)" \
    all >/dev/null

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
export TESSAREL_DEV_BUILD="$build"  # the tests' C++ programs come from this build too
cd "$root"
"$venv/bin/python" -c "import tessarel, sys; assert tessarel.__file__.startswith(sys.argv[1]), tessarel.__file__" "$build"
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"
