# What the MinGW-w64 toolchain files share; KORVID_MINGW_TRIPLET names the target.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KORVID_MINGW_TRIPLET})

# The "posix" flavour of the compilers: its libstdc++ has std::thread, which the scan's
# read-ahead uses; the "win32" flavour has none in GCC 12.
set(CMAKE_C_COMPILER ${KORVID_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVID_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KORVID_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KORVID_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program stands alone: the C++ runtime, libgcc and winpthread are linked in, so that the
# .exe needs no DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# CLI11 is header-only: the build host's copy serves the target too (see host-cli11/).
set(CLI11_DIR ${CMAKE_CURRENT_LIST_DIR}/host-cli11 CACHE PATH "CLI11 for the cross build")
