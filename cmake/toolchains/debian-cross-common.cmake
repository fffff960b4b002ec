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

# Header-only Boost serves every target alike. The cross compiler gets Debian's Boost headers
# through a folder that holds nothing else, so that this machine's C headers in /usr/include
# stay out of its way.
if(EXISTS /usr/include/boost/version.hpp)
  set(_orcan_boost_dir ${CMAKE_BINARY_DIR}/cross-boost-headers)
  if(NOT EXISTS ${_orcan_boost_dir}/boost)
    file(MAKE_DIRECTORY ${_orcan_boost_dir})
    file(CREATE_LINK /usr/include/boost ${_orcan_boost_dir}/boost SYMBOLIC)
  endif()
  set(Boost_NO_BOOST_CMAKE ON CACHE BOOL "")
  set(Boost_INCLUDE_DIR ${_orcan_boost_dir} CACHE PATH "Boost headers for the target")
endif()
