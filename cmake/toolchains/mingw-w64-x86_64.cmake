# Windows x64, cross-built with Debian's mingw-w64 (the POSIX-threads variant, which has
# std::thread); programs and tests run under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross-common.cmake)

# printf and friends as C99 has them (%zu, two-digit exponents in %g), not the system DLL's
# older ones; the tests build their expected texts with them.
set(CMAKE_C_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")
set(CMAKE_CXX_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")

# The compiler's runtime goes into every program and the DLL, so that wine (or a logger's
# Windows host) needs no mingw DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# WINEPREFIX and WINEDEBUG come from the environment (scripts/cross-windows.sh sets them).
# The programs and tests find libeddyrate.dll through WINEPATH, as Windows would on PATH.
set(CMAKE_CROSSCOMPILING_EMULATOR env "WINEPATH=Z:${CMAKE_BINARY_DIR}/eddyrate" /usr/lib/wine/wine64)
