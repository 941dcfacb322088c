#!/usr/bin/env bash
# Prepares a fresh Debian 12 or 13 machine and builds the module into .venv.
# Idempotent: when everything is already in place it only rebuilds incrementally.
set -euo pipefail

. "$(dirname "$0")/common.sh"

apt_updated=0
apt_install() {
    if [ "$apt_updated" = 0 ]; then
        apt-get update -qq
        apt_updated=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

installed_version() {
    dpkg-query -W -f='${Status} ${Version}\n' "$1" 2>/dev/null | awk '/install ok installed/ {print $4}'
}

candidate_version() {
    apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ {print $2}'
}

major_at_least_6() {
    [ -n "$1" ] && [ "$1" != "(none)" ] && [ "${1%%.*}" -ge 6 ] 2>/dev/null
}

# The machine's own Debian mirror, read from its apt sources (one-line or deb822 format).
debian_mirror() {
    local codename=$1
    {
        grep -hE '^deb[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
            awk -v s="$codename" '{for (i = 2; i <= NF; i++) if ($i == s) {print $(i-1); exit}}'
        awk -v s="$codename" '
            /^URIs:/ {uri = $2}
            /^Suites:/ {for (i = 2; i <= NF; i++) if ($i == s) print uri}
            /^$/ {uri = ""}' /etc/apt/sources.list.d/*.sources 2>/dev/null
    } | head -n 1
}

# Debian 12 ships fast_float 3.9, which lacks the integer parser: take the headers
# of the next release's package into a folder of the project, without touching the system.
fetch_fast_float_headers() {
    local codename mirror state
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    mirror=$(debian_mirror "$codename")
    [ -n "$mirror" ] || { echo "setup: no Debian mirror found in the apt sources" >&2; exit 1; }
    state="$deps/apt"
    rm -rf "$state" "$deps/fast_float"
    mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
    chown -R _apt: "$state" 2>/dev/null || true  # lets apt download without its sandbox warning
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror trixie main" >"$state/sources.list"
    local opts=(-o "Dir::Etc::SourceList=$state/sources.list" -o "Dir::Etc::SourceParts=-"
        -o "Dir::State=$state" -o "Dir::State::status=/var/lib/dpkg/status"
        -o "Dir::Cache=$state/cache" -o "APT::Get::List-Cleanup=0")
    apt-get "${opts[@]}" update -qq
    (cd "$state" && apt-get "${opts[@]}" download -qq libfast-float-dev)
    dpkg-deb -x "$state"/libfast-float-dev_*.deb "$deps/fast_float"
    rm -rf "$state"
}

ensure_system_packages() {
    [ -n "$(installed_version liblzf-dev)" ] || apt_install liblzf-dev
    major_at_least_6 "$(installed_version libfast-float-dev)" && return
    [ -d "$deps/fast_float/usr/include/fast_float" ] && return
    [ "$apt_updated" = 1 ] || { apt-get update -qq; apt_updated=1; }
    if major_at_least_6 "$(candidate_version libfast-float-dev)"; then
        apt_install libfast-float-dev
    else
        fetch_fast_float_headers
    fi
}

find_python() {
    local candidate
    for candidate in "$(command -v python3.13 || true)" \
        "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13; do
        [ -n "$candidate" ] && [ -x "$candidate" ] || continue
        "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null && { echo "$candidate"; return; }
    done
    echo "setup: CPython 3.13 not found (looked on PATH and under pyenv's versions)" >&2
    exit 1
}

ensure_venv() {
    if [ ! -x "$venv/bin/python" ]; then
        "$(find_python)" -m venv "$venv"
    fi
    local stamp="$venv/.requirements"
    local wanted
    wanted=$(cat "$root/requirements-dev.txt" "$root/examples/requirements.txt")
    if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$wanted" ]; then
        "$venv/bin/python" -m pip install -q --upgrade pip
        "$venv/bin/python" -m pip install -q -r "$root/requirements-dev.txt"
        echo "$wanted" >"$stamp"
    fi
}

build_module() {
    local prefix
    prefix=$(fast_float_prefix)
    local werror=OFF
    [ -n "${CI:-}" ] && werror=ON
    CMAKE_PREFIX_PATH="$prefix${CMAKE_PREFIX_PATH:+:$CMAKE_PREFIX_PATH}" \
        "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps \
        --config-settings=cmake.define.TESSAREL_WERROR=$werror "$root"
}

ensure_system_packages
ensure_venv
build_module
