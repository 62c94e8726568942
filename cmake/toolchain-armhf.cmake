# Cross build for the gateway board: 32-bit ARM, hard-float, glibc
# (Cortex-A8 class). Uses Debian's arm-linux-gnueabihf cross compiler
# (packages g++-arm-linux-gnueabihf, binutils-arm-linux-gnueabihf), the
# board's OpenSSL from libssl-dev:armhf (armhf a foreign architecture), and runs
# target programs on the build machine under qemu user-mode emulation, so
# that gtest_discover_tests and ctest work in the cross build.
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake \
#         -DLAMPGW_BENCH=OFF
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(LAMPGW_TARGET_TRIPLE arm-linux-gnueabihf)
set(LAMPGW_TARGET_ROOT /usr/${LAMPGW_TARGET_TRIPLE})

set(CMAKE_C_COMPILER ${LAMPGW_TARGET_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${LAMPGW_TARGET_TRIPLE}-g++)

# The board's core. NEON and the hard-float calling convention match
# Debian's armhf libraries (VFPv3-D16 is their baseline; NEON adds to it).
set(LAMPGW_TARGET_FLAGS "-mcpu=cortex-a8 -mfpu=neon -mfloat-abi=hard")
# 64-bit file offsets and time_t on the 32-bit target: readdir() otherwise
# fails with EOVERFLOW on file systems with 64-bit directory cookies (and
# under emulation on a 64-bit build machine), and a 32-bit time_t ends in 2038,
# well within a street cabinet's service life.
string(APPEND LAMPGW_TARGET_FLAGS " -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_C_FLAGS_INIT "${LAMPGW_TARGET_FLAGS}")
# -Wno-psabi: GCC notes that the passing of some argument types changed in
# GCC 7.1; everything here is built by one compiler, so the note is noise.
set(CMAKE_CXX_FLAGS_INIT "${LAMPGW_TARGET_FLAGS} -Wno-psabi")

# Libraries and headers come from the target's tree only; programs (cmake
# helpers, the shell) from the build machine.
set(CMAKE_FIND_ROOT_PATH ${LAMPGW_TARGET_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The board's OpenSSL (libssl-dev:armhf) is one of Debian's multiarch
# packages: its headers are /usr/include/openssl (shared by every
# architecture) with /usr/include/arm-linux-gnueabihf/openssl (this one's
# configuration), its libraries are in /usr/lib/arm-linux-gnueabihf. The
# cross compiler and linker search both multiarch directories themselves;
# find_package(OpenSSL) looks only in the target's tree above, so it is
# given the files. /usr/include is one of the compiler's own directories, so
# no -I of the build machine's headers reaches the command line. Without
# libssl-dev:armhf nothing is set and the configure stops at OpenSSL.
set(LAMPGW_TARGET_LIBDIR /usr/lib/${LAMPGW_TARGET_TRIPLE})
if(EXISTS ${LAMPGW_TARGET_LIBDIR}/libssl.so
   AND EXISTS /usr/include/${LAMPGW_TARGET_TRIPLE}/openssl/configuration.h)
  set(OPENSSL_INCLUDE_DIR /usr/include CACHE PATH "OpenSSL headers of the board")
  set(OPENSSL_SSL_LIBRARY ${LAMPGW_TARGET_LIBDIR}/libssl.so CACHE FILEPATH "libssl of the board")
  set(OPENSSL_CRYPTO_LIBRARY ${LAMPGW_TARGET_LIBDIR}/libcrypto.so
      CACHE FILEPATH "libcrypto of the board")
endif()

# Target programs run under qemu; -L points it at the target's loader and
# shared libraries. qemu-arm-static (qemu-user-static) or qemu-arm (qemu-user).
find_program(LAMPGW_QEMU_ARM NAMES qemu-arm-static qemu-arm NO_CMAKE_FIND_ROOT_PATH)
if(LAMPGW_QEMU_ARM)
  # The programs were linked against the cross toolchain's libraries, so they
  # must run with those: -L serves its dynamic loader, and LD_LIBRARY_PATH=/lib
  # (seen under the same prefix) puts its libraries ahead of a Debian armhf
  # libc that may also be installed (the package build needs one for
  # dpkg-shlibdeps); the cross loader with that libc crashes at the first
  # thread. The multiarch directory after it, found outside the prefix,
  # serves libssl and libcrypto (libssl3:armhf), and only what /lib lacks.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LAMPGW_QEMU_ARM} -L ${LAMPGW_TARGET_ROOT}
      -E LD_LIBRARY_PATH=/lib:${LAMPGW_TARGET_LIBDIR})
endif()

# No target build of GoogleTest is installed in the target tree: build it
# from the sources of Debian's googletest package, right after project().
set(CMAKE_PROJECT_lampgw_INCLUDE ${CMAKE_CURRENT_LIST_DIR}/gtest-from-source.cmake)
