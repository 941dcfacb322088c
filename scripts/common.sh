# Paths and build settings that the project's scripts share; sourced, not run.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
deps="$root/.deps"
venv="$root/.venv"

# Where CMake finds fast_float: the headers setup.sh unpacked, when the system's are too old.
fast_float_prefix() {
    if [ -d "$deps/fast_float/usr" ]; then echo "$deps/fast_float/usr"; fi
}
