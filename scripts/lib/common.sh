# SPDX-License-Identifier: GPL-2.0-or-later
# Shared by the scripts: project root, package installation, build helpers.

BEXO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BEXO_JOBS="$(nproc 2>/dev/null || echo 2)"

# Packages the native build, the simulated world and the system tests need.
BEXO_NATIVE_PACKAGES=(cmake g++ make pkg-config libgtest-dev googletest
    umockdev libumockdev-dev libfuse3-dev fuse3 faketime strace)

# Installs the given Debian packages when any of them is missing.
ensure_packages() {
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$package")
    done
    if [ "${#missing[@]}" -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        if [ "$(id -u)" -ne 0 ]; then
            echo "Missing packages need root: run as root or install them first." >&2
            return 1
        fi
        DEBIAN_FRONTEND=noninteractive apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

# Options every configure passes: with BEXO_WERROR set (scripts/test sets
# ON), warnings are errors; unset, a build keeps what it had.
BEXO_CONFIGURE_OPTIONS=()
[ -z "${BEXO_WERROR:-}" ] || BEXO_CONFIGURE_OPTIONS+=("-DBEXO_WERROR=$BEXO_WERROR")

# configure_and_build DIR [cmake options...]
configure_and_build() {
    local dir="$1"
    shift
    cmake -S "$BEXO_ROOT" -B "$BEXO_ROOT/$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        "${BEXO_CONFIGURE_OPTIONS[@]}" "$@" >/dev/null \
        && cmake --build "$BEXO_ROOT/$dir" -j "$BEXO_JOBS"
}
