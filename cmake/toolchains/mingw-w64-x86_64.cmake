# Windows x64, cross-built with Debian's mingw-w64 (the POSIX-threads variant, which has
# std::thread); programs and tests run under wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler's runtime goes into every program and the DLL, so that wine (or a logger's
# Windows host) needs no mingw DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# WINEPREFIX and WINEDEBUG come from the environment (scripts/cross-windows.sh sets them).
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)

set(ORCAN_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources built for the target")
