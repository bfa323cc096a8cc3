# Shared part of the cross toolchain files: Debian's cross compiler for KANZO_CROSS_TRIPLET,
# the development packages of KANZO_CROSS_ARCH (a Debian architecture) installed through
# multiarch, and KANZO_CROSS_QEMU (a qemu-user program) to run what is built.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${KANZO_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KANZO_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KANZO_CROSS_TRIPLET})

# Libraries, headers and CMake packages come from the cross compiler's own tree and from the
# multiarch directories under /; CMAKE_LIBRARY_ARCHITECTURE keeps the search in lib/<triplet>,
# away from the host's x86_64 libraries. Programs (pkg-config, qemu) are the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${KANZO_CROSS_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must see only the target's .pc files, never the host's. The toolchain file is read
# again for every try_compile, which runs no pkg-config: leave the environment as the project
# set it.
get_property(_kanzo_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT _kanzo_in_try_compile)
    set(_kanzo_cross_pkgconfig /usr/lib/${KANZO_CROSS_TRIPLET}/pkgconfig /usr/share/pkgconfig)

    # uriparser's development package cannot be installed for two architectures side by side
    # (it is not Multi-Arch: same), so the host's copy gives the headers, which are the same on
    # every architecture, and a pkg-config file in the build tree points at the target's library.
    if(NOT EXISTS /usr/lib/${KANZO_CROSS_TRIPLET}/pkgconfig/liburiparser.pc
       AND EXISTS /usr/lib/${KANZO_CROSS_TRIPLET}/liburiparser.so.1
       AND EXISTS /usr/include/uriparser/Uri.h)
        set(_kanzo_shim ${CMAKE_BINARY_DIR}/${KANZO_CROSS_ARCH}-uriparser)
        execute_process(
            COMMAND dpkg-query -W -f=\${source:Upstream-Version} liburiparser1:${KANZO_CROSS_ARCH}
            OUTPUT_VARIABLE _kanzo_uriparser_version)
        string(REGEX REPLACE "[+~].*" "" _kanzo_uriparser_version "${_kanzo_uriparser_version}")
        file(MAKE_DIRECTORY ${_kanzo_shim}/lib ${_kanzo_shim}/pkgconfig)
        file(CREATE_LINK /usr/lib/${KANZO_CROSS_TRIPLET}/liburiparser.so.1
             ${_kanzo_shim}/lib/liburiparser.so SYMBOLIC)
        file(WRITE ${_kanzo_shim}/pkgconfig/liburiparser.pc
             "libdir=${_kanzo_shim}/lib\n"
             "includedir=/usr/include\n\n"
             "Name: liburiparser\n"
             "Description: URI parsing and handling library "
             "(${KANZO_CROSS_ARCH} library, host headers)\n"
             "Version: ${_kanzo_uriparser_version}\n"
             "Libs: -L\${libdir} -luriparser\n"
             "Cflags: -I\${includedir}\n")
        list(APPEND _kanzo_cross_pkgconfig ${_kanzo_shim}/pkgconfig)
    endif()

    list(JOIN _kanzo_cross_pkgconfig ":" _kanzo_cross_pkgconfig)
    set(ENV{PKG_CONFIG_LIBDIR} "${_kanzo_cross_pkgconfig}")
    set(ENV{PKG_CONFIG_PATH} "")
    set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
endif()

# Run target binaries (test discovery, ctest) under user-mode QEMU, with the loader and libc of
# the multiarch libc6 that the target's libraries were built against. QEMU's "-L
# /usr/<triplet>" is left out on purpose: it would start the cross toolchain's older loader,
# which then picks up the multiarch libc through ld.so.cache, and that mismatched pair crashes
# at the first thread.
find_program(KANZO_QEMU_${KANZO_CROSS_ARCH} NAMES ${KANZO_CROSS_QEMU} ${KANZO_CROSS_QEMU}-static)
if(KANZO_QEMU_${KANZO_CROSS_ARCH})
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KANZO_QEMU_${KANZO_CROSS_ARCH}})
else()
    message(WARNING "${KANZO_CROSS_QEMU} not found (Debian package qemu-user): "
                    "${KANZO_CROSS_ARCH} tests cannot run here")
endif()
