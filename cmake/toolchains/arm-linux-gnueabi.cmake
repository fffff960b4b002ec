# 32-bit ARM with software floating point (armel), the buoy's kind of processor.
# Cross-built with Debian's g++-arm-linux-gnueabi; tests run under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest and test discovery run the target's programs through the emulator, which finds the
# target's C library and loader under the sysroot.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabi)

# No GoogleTest is installed for the target: build it from Debian's sources.
set(ORCAN_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources built for the target")
