# Sourced by run.sh and test.sh: installs what is missing, then configures and builds in build/.
# shellcheck shell=bash

PACKAGES=(
    cmake ninja-build g++ pkg-config
    qtbase5-dev qtbase5-dev-tools libfontconfig-dev
    patchelf dfu-util libusb-1.0-0-dev fonts-cabin
    xvfb xauth x11-utils
    valgrind
    dpkg-dev file lintian desktop-file-utils appstream man-db procps
)

upgrade_install_packages() {
    local missing=()
    local p
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing missing packages: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# upgrade_build DIR [cmake options...]: configure once, then build incrementally.
upgrade_build() {
    local dir="$1"
    shift
    if [ ! -f "$dir/build.ninja" ]; then
        cmake -S "$UPGRADE_ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    fi
    cmake --build "$dir" -j "$(nproc)"
}

UPGRADE_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export UPGRADE_ROOT
