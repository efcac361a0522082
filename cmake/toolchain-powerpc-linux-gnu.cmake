# Cross build for a 32-bit big-endian PowerPC switch processor with Debian's
# g++-powerpc-linux-gnu. Target programs (tests, test discovery) run on the build machine
# through qemu-user; the emulator finds the target's dynamic loader and libraries under
# the cross toolchain's library prefix.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)

# Debian's cross compilers already search this prefix for headers and libraries, so it is no
# --sysroot; it only confines find_*() to target files.
set(ORVAD_TARGET_PREFIX /usr/powerpc-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${ORVAD_TARGET_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc -L ${ORVAD_TARGET_PREFIX})
