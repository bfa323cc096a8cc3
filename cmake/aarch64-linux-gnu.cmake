# Cross build for the cameras' 64-bit ARM (arm64) with Debian's cross compiler and the
# :arm64 development packages installed through multiarch (scripts/test-arm arm64 installs
# them).
#
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#
# Test binaries run under qemu-user, so gtest_discover_tests and ctest work as on the host.

set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KANZO_CROSS_TRIPLET aarch64-linux-gnu)
set(KANZO_CROSS_ARCH arm64)
set(KANZO_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
