# Cross build for the camera's 32-bit ARM (armhf) with Debian's cross compiler and the
# :armhf development packages installed through multiarch (scripts/test-arm installs them).
#
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
#
# Test binaries run under qemu-user, so gtest_discover_tests and ctest work as on the host.

set(CMAKE_SYSTEM_PROCESSOR arm)
set(KANZO_CROSS_TRIPLET arm-linux-gnueabihf)
set(KANZO_CROSS_ARCH armhf)
set(KANZO_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
