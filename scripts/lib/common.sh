# Shared by the scripts: install what is missing, non-interactively.
# shellcheck shell=bash

TARSEL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# ensure_packages PKG...: installs the Debian packages that are not installed yet.
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return 0
    fi
    echo "installing: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        sudo=(sudo)
    fi
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

# What the two presets need to build and to run their tests.
TARSEL_BUILD_PACKAGES=(cmake ninja-build g++ googletest g++-mingw-w64-x86-64-posix
    binutils-mingw-w64-x86-64 wine wine64 util-linux)

# What a release ships from the windows preset's build directory, and the
# targets that make it. scripts/reproduce and scripts/package share them.
TARSEL_SHIPPED_TARGETS=(tarsel-helper tarselctl tarsel_client)
TARSEL_SHIPPED_FILES=(bin/tarsel-helper.exe bin/tarselctl.exe bin/tarsel_client.dll
    lib/libtarsel_client.dll.a)
