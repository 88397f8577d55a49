# Cross-compiles the Windows program with Debian's MinGW-w64 (g++-mingw-w64-x86-64).
# The posix thread model's compiler is used, linked statically, so that
# corvalen.exe needs no DLL beyond those Windows ships.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CORVALEN_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CORVALEN_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CORVALEN_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${CORVALEN_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${CORVALEN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread go into the program itself.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

