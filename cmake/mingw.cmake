# Cross-build for Windows with Debian's MinGW-w64 (posix thread model); the
# including toolchain file sets mingw_triple, and wine_loader and
# TESRAK_WINESERVER for the Wine that runs its tests.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Debian's Wine has no preloader: its loader is a program at the fixed address
# 0x7d000000 and the kernel starts its heap anywhere in the next GiB. About one
# start in three thousand the heap covers 0x7ffe0000, where Wine must map its
# shared user data, and the start fails. setarch -R keeps the heap right after
# the loader; processes the programs start inherit it.
set(CMAKE_CROSSCOMPILING_EMULATOR
    setarch -R env WINEDEBUG=-all WINEPREFIX=${CMAKE_BINARY_DIR}/wine ${wine_loader})
