# Cross-compiles the console program for another Debian architecture with Debian's
# cross toolchain (crossbuild-essential-<arch>) and multiarch development packages.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/debian-cross.cmake -DCORVALEN_DEB_ARCH=arm64 ...
# packaging/build-deb --arch arm64 does this, and installs what is missing.
#
# The development packages that cannot sit beside the build machine's own (no
# Multi-Arch: same), or would bring far more than the console needs, are unpacked
# into CORVALEN_CROSS_OVERLAY instead (scripts/deps.sh lists them); their CMake files
# find the libraries beside themselves.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES CORVALEN_DEB_ARCH CORVALEN_CROSS_OVERLAY)
if(NOT CORVALEN_DEB_ARCH)
    message(FATAL_ERROR "Name the Debian architecture to build for: -DCORVALEN_DEB_ARCH=arm64 (or armhf)")
endif()

execute_process(COMMAND dpkg-architecture -a${CORVALEN_DEB_ARCH} -qDEB_HOST_MULTIARCH
                OUTPUT_VARIABLE CORVALEN_CROSS_TRIPLET OUTPUT_STRIP_TRAILING_WHITESPACE
                ERROR_QUIET RESULT_VARIABLE result)
execute_process(COMMAND dpkg-architecture -a${CORVALEN_DEB_ARCH} -qDEB_HOST_GNU_CPU
                OUTPUT_VARIABLE CORVALEN_CROSS_CPU OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT result EQUAL 0 OR NOT CORVALEN_CROSS_TRIPLET)
    message(FATAL_ERROR "dpkg-architecture does not know the architecture '${CORVALEN_DEB_ARCH}'")
endif()

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${CORVALEN_CROSS_CPU})
set(CMAKE_C_COMPILER ${CORVALEN_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CORVALEN_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${CORVALEN_CROSS_TRIPLET})

# Multiarch puts the target's libraries under /usr/lib/<triplet>, beside the build
# machine's; headers of both are in /usr/include. Programs (moc among them) are the
# build machine's own.
set(CMAKE_FIND_ROOT_PATH ${CORVALEN_CROSS_OVERLAY} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads only the target's .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${CORVALEN_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
unset(ENV{PKG_CONFIG_PATH})

# Qt's tools (moc) run on the build machine: Debian installs them once, for it.
set(QT_HOST_PATH /usr)
execute_process(COMMAND dpkg-architecture -qDEB_BUILD_MULTIARCH
                OUTPUT_VARIABLE build_triplet OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${build_triplet}/cmake)
