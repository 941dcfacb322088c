# Paths and build settings that the project's scripts share; sourced, not run.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
deps="$root/.deps"
# TESSAREL_VENV names another venv, such as the one of the oldest supported CPython.
venv=$(realpath -m "${TESSAREL_VENV:-$root/.venv}")

# The CPythons the module builds for, newest first.
SUPPORTED_PYTHONS=(3.13 3.12 3.11 3.10)

# The interpreter of CPython X.Y: on PATH, under pyenv's versions, or in /usr/bin and /usr/local/bin.
python_of_version() {
    local version=$1 candidate
    for candidate in "$(command -v "python$version" || true)" \
        "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/"python$version" \
        "/usr/bin/python$version" "/usr/local/bin/python$version"; do
        [ -n "$candidate" ] && [ -x "$candidate" ] || continue
        # A pyenv shim of a version that pyenv does not select fails here.
        [ "$("$candidate" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" = "$version" ] &&
            { echo "$candidate"; return; }
    done
}

# Every supported CPython found, newest first, one interpreter a line.
supported_pythons() {
    local version
    for version in "${SUPPORTED_PYTHONS[@]}"; do
        python_of_version "$version"
    done
}

# A venv of the given interpreter that can build the wheel without fetching anything more.
build_venv() {
    local python=$1 version folder
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    folder="$root/.venv-wheel-$version"
    if ! "$folder/bin/python" -c 'import scikit_build_core, pybind11' 2>/dev/null; then
        "$python" -m venv --clear "$folder" >&2
        "$folder/bin/python" -m pip install -q "scikit-build-core>=0.10" "pybind11>=3,<4" >&2
    fi
    echo "$folder"
}

# The installed version of a Debian package; empty when it is not installed.
installed_version() {
    dpkg-query -W -f='${Status} ${Version}\n' "$1" 2>/dev/null | awk '/install ok installed/ {print $4}'
}

# The Debian packages among those given that are not installed, one a line.
missing_packages() {
    local package
    for package in "$@"; do
        [ -n "$(installed_version "$package")" ] || echo "$package"
    done
}

# Installs those of the Debian packages given that are missing.
install_missing() {
    local missing
    missing=$(missing_packages "$@")
    [ -n "$missing" ] || return 0
    apt-get update -qq
    # shellcheck disable=SC2086 # one package a word
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
}

# Builds developer targets through CMake into a build folder and prints their paths:
#   dev_build [--dir FOLDER] [-D NAME=VALUE ...] TARGET...
dev_build() {
    "$venv/bin/python" "$root/devkit/dev_build.py" "$@"
}

# The machine's own Debian mirror, read from its apt sources (one-line or deb822 format).
debian_mirror() {
    local codename
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    {
        grep -hE '^deb[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
            awk -v s="$codename" '{for (i = 2; i <= NF; i++) if ($i == s) {print $(i-1); exit}}'
        awk -v s="$codename" '
            /^URIs:/ {uri = $2}
            /^Suites:/ {for (i = 2; i <= NF; i++) if ($i == s) print uri}
            /^$/ {uri = ""}' /etc/apt/sources.list.d/*.sources 2>/dev/null
    } | head -n 1
}
