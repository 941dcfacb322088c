#!/usr/bin/env bash
# Prepares a fresh Debian 12 or 13 machine and builds the module into .venv.
# Idempotent: when everything is already in place it only rebuilds incrementally.
# Prints one line per step; what the tools print goes to a log, shown when a step fails.
set -euo pipefail

. "$(dirname "$0")/common.sh"

log=$(mktemp)
exec 3>&1 4>&2 >>"$log" 2>&1  # 3 and 4 keep the terminal; appending, so a step can empty the log
trap 'status=$?
    if [ "$status" != 0 ] && [ -s "$log" ]; then
        echo "setup: that step failed; its output:" >&4
        cat "$log" >&4
    fi
    rm -f "$log"' EXIT

step() {
    : >"$log"
    echo "setup: $*" >&3
}

# Stops with a message of our own, in place of the log.
fail() {
    : >"$log"
    printf '%s\n' "$@" >&4
    exit 1
}

codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")

major_at_least_6() {
    [ -n "$1" ] && [ "${1%%.*}" -ge 6 ] 2>/dev/null
}

# The newest supported CPython, or with TESSAREL_PYTHON=oldest the oldest one.
find_python() {
    local found
    mapfile -t found < <(supported_pythons)
    [ ${#found[@]} != 0 ] || return 0
    if [ "${TESSAREL_PYTHON:-}" = oldest ]; then
        echo "${found[-1]}"
    else
        echo "${found[0]}"
    fi
}

# Debian packages that stand in for PyPI's where PyPI has no wheel for this machine: on
# i386, NumPy and matplotlib would otherwise be built from source, which fails.
debian_python_packages() {
    [ "$(dpkg --print-architecture)" = i386 ] || return 0
    printf '%s\n' python3-numpy python3-matplotlib
}

# The Debian packages the build needs, one a line. Debian 12 has no fast_float 6: its headers
# are fetched below.
required_packages() {
    # scikit-build-core sets CXX to the compiler Python was built with (g++, or Debian's
    # x86_64-linux-gnu-g++): without g++, CMake only reports that CXX names no compiler.
    echo g++
    echo liblzf-dev
    echo libdragonbox-dev
    [ "$codename" = bookworm ] || echo libfast-float-dev
    # Debian's own python3 (3.11 on Debian 12, 3.13 on Debian 13) serves when no other is found.
    case "$(find_python)" in
        "" | /usr/bin/*) printf '%s\n' python3-dev python3-venv ;;
    esac
    debian_python_packages
}

ensure_system_packages() {
    step "checking system packages"
    local missing
    mapfile -t missing < <(missing_packages $(required_packages))
    [ ${#missing[@]} = 0 ] && return
    if [ "$(id -u)" != 0 ]; then
        fail "setup: these Debian packages are missing: ${missing[*]}" \
            "Install them as root:" "" "    apt install ${missing[*]}" "" \
            "then run the same make command again."
    fi
    step "installing ${missing[*]}"
    install_missing "${missing[@]}"
}

# Debian 12 ships fast_float 3.9, which lacks the integer parser: take the headers
# of the next release's package into a folder of the project, without touching the system.
fetch_fast_float_headers() {
    local mirror state
    mirror=$(debian_mirror)
    [ -n "$mirror" ] || fail "setup: no Debian mirror found in the apt sources, to fetch fast_float from"
    state="$deps/apt"
    rm -rf "$state" "$deps/fast_float"
    mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
    chown -R _apt: "$state" 2>/dev/null || true  # lets apt download without its sandbox warning
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror trixie main" >"$state/sources.list"
    local opts=(-o "Dir::Etc::SourceList=$state/sources.list" -o "Dir::Etc::SourceParts=-"
        -o "Dir::State=$state" -o "Dir::State::status=/var/lib/dpkg/status"
        -o "Dir::Cache=$state/cache" -o "APT::Get::List-Cleanup=0")
    apt-get "${opts[@]}" update
    (cd "$state" && apt-get "${opts[@]}" download libfast-float-dev)
    dpkg-deb -x "$state"/libfast-float-dev_*.deb "$deps/fast_float"
    rm -rf "$state"
}

ensure_fast_float() {
    [ "$codename" = bookworm ] || return 0
    major_at_least_6 "$(installed_version libfast-float-dev)" && return
    [ -d "$deps/fast_float/usr/include/fast_float" ] && return
    step "fetching the fast_float headers"
    fetch_fast_float_headers
}

# A venv left by a failed run may hold an interpreter without pip: only one that runs pip counts,
# and only with the CPython that setup takes now, so that a newer one installed since replaces it.
venv_runs_pip() {
    local version=$1
    [[ "$("$venv/bin/python" -m pip --version 2>/dev/null)" == *"(python $version)" ]]
}

ensure_venv() {
    local python version
    python=$(find_python)
    [ -n "$python" ] || fail "setup: no CPython ${SUPPORTED_PYTHONS[*]} found (looked on PATH, under pyenv's" \
        "versions, in /usr/bin and /usr/local/bin). Install one, for example Debian's python3, then run the" \
        "same make command again."
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    if ! venv_runs_pip "$version"; then
        step "creating $(basename "$venv") with CPython $version"
        local shared=()
        [ -n "$(debian_python_packages)" ] && shared=(--system-site-packages)
        "$python" -m venv --clear "${shared[@]}" "$venv"
    fi
    local stamp="$venv/.requirements"
    local wanted
    wanted=$(cat "$root/requirements-dev.txt" "$root/examples/requirements.txt")
    if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$wanted" ]; then
        step "installing requirements"
        "$venv/bin/python" -m pip install --upgrade pip
        "$venv/bin/python" -m pip install -r "$root/requirements-dev.txt"
        echo "$wanted" >"$stamp"
    fi
}

build_module() {
    step "building tessarel"
    local werror=OFF
    [ -n "${CI:-}" ] && werror=ON
    "$venv/bin/python" -m pip install --no-build-isolation --no-deps \
        --config-settings=cmake.define.TESSAREL_WERROR=$werror "$root"
}

ensure_system_packages
ensure_fast_float
ensure_venv
# TESSAREL_NO_BUILD: the tools alone, for the linters.
[ -n "${TESSAREL_NO_BUILD:-}" ] || build_module
