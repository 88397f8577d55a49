# Sourced by the scripts: installs with apt-get whatever Debian packages are missing.
corvalen_install_packages() {
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -q
    # A package's own service (the prometheus package's server, say) is not started
    # by the install: the tests start each engine themselves, with their own settings.
    local policy=/usr/sbin/policy-rc.d
    local ownPolicy=0
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' | "${sudo[@]}" tee "$policy" > /dev/null
        "${sudo[@]}" chmod 755 "$policy"
        ownPolicy=1
    fi
    local status=0
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" \
        || status=$?
    [ "$ownPolicy" -eq 0 ] || "${sudo[@]}" rm -f "$policy"
    return "$status"
}

CORVALEN_BUILD_PACKAGES=(
    build-essential cmake pkg-config libcap-dev libpcap-dev libmnl-dev libyaml-cpp-dev
    nlohmann-json3-dev libcli11-dev libsystemd-dev prometheus-cpp-dev
    qt6-base-dev qt6-base-dev-tools qt6-svg-dev libqt6svg6 qt6-qpa-plugins
    libgl-dev libxkbcommon-dev
    fonts-liberation
)

# The Windows program: cross compiler, resource tools, Wine and a display for its tests, makensis.
CORVALEN_WINDOWS_PACKAGES=(
    cmake g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 icoutils nsis
    nlohmann-json3-dev libcli11-dev
    wine wine64 fonts-wine fonts-liberation xvfb xauth iproute2 util-linux passwd procps
)
