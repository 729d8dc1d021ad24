# Cross build for 32-bit ARM (armhf) with Debian's cross compiler, against a
# sysroot of Debian's armhf libraries (scripts/test armhf fetches it into
# build/sysroot-armhf). Programs built here run under qemu-arm, which finds
# the armhf loader and libraries through -L.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

if(NOT ZELM_ARMHF_SYSROOT)
  get_filename_component(ZELM_ARMHF_SYSROOT ${CMAKE_CURRENT_LIST_DIR}/../build/sysroot-armhf ABSOLUTE)
endif()
# try_compile projects read this file again and need the same sysroot.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZELM_ARMHF_SYSROOT)
if(NOT EXISTS ${ZELM_ARMHF_SYSROOT}/usr/include)
  message(FATAL_ERROR "no armhf sysroot in ${ZELM_ARMHF_SYSROOT}: scripts/test armhf makes it")
endif()

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_SYSROOT ${ZELM_ARMHF_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config answers for the sysroot's libraries, never the machine's.
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${ZELM_ARMHF_SYSROOT})
set(ENV{PKG_CONFIG_LIBDIR}
    ${ZELM_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:${ZELM_ARMHF_SYSROOT}/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# GCC notes on ARM that the parameter passing of std::vector changed in GCC 7
# (-Wpsabi): nothing here mixes code of compilers older than that.
set(CMAKE_C_FLAGS_INIT -Wno-psabi)
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# The sysroot's libraries depend on each other (libdbus on libsystemd): the linker must find those indirect ones in the sysroot too.
set(zelm_rpath_link
    "-Wl,-rpath-link,${ZELM_ARMHF_SYSROOT}/lib/arm-linux-gnueabihf -Wl,-rpath-link,${ZELM_ARMHF_SYSROOT}/usr/lib/arm-linux-gnueabihf")
set(CMAKE_EXE_LINKER_FLAGS_INIT ${zelm_rpath_link})
set(CMAKE_SHARED_LINKER_FLAGS_INIT ${zelm_rpath_link})
set(CMAKE_MODULE_LINKER_FLAGS_INIT ${zelm_rpath_link})

set(CMAKE_CROSSCOMPILING_EMULATOR "qemu-arm;-L;${ZELM_ARMHF_SYSROOT}"
    CACHE STRING "Runs the armhf test programs on this machine")
