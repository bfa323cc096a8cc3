# Cross build for the camera's 32-bit ARM (armhf) with Debian's cross compiler and the
# :armhf development packages installed through multiarch (scripts/test-arm installs them).
#
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
#
# Test binaries run under qemu-user, so gtest_discover_tests and ctest work as on the host.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(KANZO_ARM_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${KANZO_ARM_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KANZO_ARM_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KANZO_ARM_TRIPLET})

# Libraries, headers and CMake packages come from the cross compiler's own tree and from the
# multiarch directories under /; CMAKE_LIBRARY_ARCHITECTURE keeps the search in lib/<triplet>,
# away from the host's x86_64 libraries. Programs (pkg-config, qemu) are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${KANZO_ARM_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must see only the armhf .pc files, never the host's. The toolchain file is read
# again for every try_compile, which runs no pkg-config: leave the environment as the project
# set it.
get_property(_kanzo_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT _kanzo_in_try_compile)
    set(_kanzo_arm_pkgconfig /usr/lib/${KANZO_ARM_TRIPLET}/pkgconfig /usr/share/pkgconfig)

    # uriparser's development package cannot be installed for two architectures side by side
    # (it is not Multi-Arch: same), so the host's copy gives the headers, which are the same on
    # every architecture, and a pkg-config file in the build tree points at the armhf library.
    if(NOT EXISTS /usr/lib/${KANZO_ARM_TRIPLET}/pkgconfig/liburiparser.pc
       AND EXISTS /usr/lib/${KANZO_ARM_TRIPLET}/liburiparser.so.1
       AND EXISTS /usr/include/uriparser/Uri.h)
        set(_kanzo_shim ${CMAKE_BINARY_DIR}/armhf-uriparser)
        execute_process(COMMAND dpkg-query -W -f=\${source:Upstream-Version} liburiparser1:armhf
                        OUTPUT_VARIABLE _kanzo_uriparser_version)
        string(REGEX REPLACE "[+~].*" "" _kanzo_uriparser_version "${_kanzo_uriparser_version}")
        file(MAKE_DIRECTORY ${_kanzo_shim}/lib ${_kanzo_shim}/pkgconfig)
        file(CREATE_LINK /usr/lib/${KANZO_ARM_TRIPLET}/liburiparser.so.1
             ${_kanzo_shim}/lib/liburiparser.so SYMBOLIC)
        file(WRITE ${_kanzo_shim}/pkgconfig/liburiparser.pc
             "libdir=${_kanzo_shim}/lib\n"
             "includedir=/usr/include\n\n"
             "Name: liburiparser\n"
             "Description: URI parsing and handling library (armhf library, host headers)\n"
             "Version: ${_kanzo_uriparser_version}\n"
             "Libs: -L\${libdir} -luriparser\n"
             "Cflags: -I\${includedir}\n")
        list(APPEND _kanzo_arm_pkgconfig ${_kanzo_shim}/pkgconfig)
    endif()

    list(JOIN _kanzo_arm_pkgconfig ":" _kanzo_arm_pkgconfig)
    set(ENV{PKG_CONFIG_LIBDIR} "${_kanzo_arm_pkgconfig}")
    set(ENV{PKG_CONFIG_PATH} "")
    set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
endif()

# Run ARM binaries (test discovery, ctest) under user-mode QEMU, with the loader and libc of the
# multiarch libc6:armhf that the armhf libraries were built against. QEMU's "-L
# /usr/arm-linux-gnueabihf" is left out on purpose: it would start the cross toolchain's older
# loader, which then picks up the multiarch libc through ld.so.cache, and that mismatched pair
# crashes at the first thread.
find_program(KANZO_QEMU_ARM NAMES qemu-arm qemu-arm-static)
if(KANZO_QEMU_ARM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KANZO_QEMU_ARM})
else()
    message(WARNING "qemu-arm not found (Debian package qemu-user): ARM tests cannot run here")
endif()
