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
    nlohmann-json3-dev libcli11-dev libsystemd-dev prometheus-cpp-dev libmosquitto-dev
    qt6-base-dev qt6-base-dev-tools qt6-svg-dev libqt6svg6 qt6-qpa-plugins
    libgl-dev libxkbcommon-dev
    fonts-liberation
)

# The Windows program: cross compiler, resource tools, Wine and a display for its tests, makensis.
CORVALEN_WINDOWS_PACKAGES=(
    cmake g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 icoutils nsis
    nlohmann-json3-dev libcli11-dev
    wine wine64 fonts-wine fonts-liberation xvfb xauth iproute2 util-linux passwd procps tcpdump
)

# The console program for another architecture (packaging/build-deb --arch): Debian's
# cross toolchain, and the target's development packages beside this machine's own.
CORVALEN_CROSS_PACKAGES=(
    libcap-dev libpcap-dev libmnl-dev libsystemd-dev libcivetweb-dev zlib1g-dev libcurl4-openssl-dev
    libmosquitto-dev libqt6core6 libyaml-cpp0.7 libprometheus-cpp-core1.0 libprometheus-cpp-pull1.0
)
# These the build unpacks into a folder of its own, with the libraries their CMake
# files name, instead of installing them: libyaml-cpp-dev is not Multi-Arch: same,
# prometheus-cpp-dev needs civetweb, which is not either, so neither can be installed
# for two architectures at once; and qt6-base-dev would bring the target's OpenGL, X11
# and Vulkan development files (over 100 packages) for a program that uses Qt Core
# alone; qmake6 holds Qt's mkspecs.
CORVALEN_CROSS_OVERLAY_PACKAGES=(
    libyaml-cpp-dev libyaml-cpp0.7
    prometheus-cpp-dev libprometheus-cpp-core1.0 libprometheus-cpp-pull1.0 libprometheus-cpp-push1.0
    qt6-base-dev qmake6 libqt6core6
)
corvalen_install_cross_packages() { # Debian architecture, such as arm64
    local arch=$1
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    local known
    known=$(dpkg --print-architecture; dpkg --print-foreign-architectures)
    if ! grep -qx "$arch" <<< "$known"; then
        echo "Adding the architecture $arch to dpkg"
        "${sudo[@]}" dpkg --add-architecture "$arch"
        "${sudo[@]}" apt-get update -q
    fi
    corvalen_install_packages "crossbuild-essential-$arch" cmake pkg-config dpkg-dev file qt6-base-dev-tools \
        nlohmann-json3-dev libcli11-dev "${CORVALEN_CROSS_PACKAGES[@]/%/:$arch}"
}
