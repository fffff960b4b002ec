# 32-bit ARM with software floating point (armel), the buoy's kind of processor.
# Cross-built with Debian's g++-arm-linux-gnueabi; tests run under qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross-common.cmake)

# CTest and test discovery run the target's programs through the emulator, which finds the
# target's C library and loader under the sysroot.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabi)
