# What the Debian cross toolchains share; included by the toolchain files beside it after
# they set CMAKE_FIND_ROOT_PATH to the target's sysroot.

# Libraries, headers and packages come from the target's sysroot only; programs (pkg-config,
# bash, objdump) from this machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must not offer this machine's libraries to the target's linker: a test-only
# dependency that the target lacks is then simply not found.
set(ENV{PKG_CONFIG_LIBDIR} "${CMAKE_FIND_ROOT_PATH}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# No GoogleTest is installed for the target: build it from Debian's sources.
set(ORCAN_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources built for the target")

# Header-only packages come from this machine through folders of their own (see header-only/).
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/header-only CACHE PATH "nlohmann_json for the target")
