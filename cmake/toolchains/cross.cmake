# SPDX-License-Identifier: MIT

# Shared part of the cross toolchains: the including file sets
# LEXSPOT_CROSS_PROCESSOR, LEXSPOT_CROSS_TRIPLET (the compiler's prefix),
# LEXSPOT_CROSS_MULTIARCH (Debian's library directory) and
# LEXSPOT_CROSS_QEMU. Built programs run under qemu-user; the target's
# libraries (libc, GMP) are Debian's multiarch packages (libgmp-dev:<arch>),
# which the cross compiler finds in /usr/lib/<multiarch> by itself.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${LEXSPOT_CROSS_PROCESSOR})
set(CMAKE_CXX_COMPILER ${LEXSPOT_CROSS_TRIPLET}-g++)
set(CMAKE_C_COMPILER ${LEXSPOT_CROSS_TRIPLET}-gcc)
# No -L /usr/<triplet>: the cross toolchain's loader with the multiarch libc
# aborts every program before main. qemu finds the multiarch loader itself.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${LEXSPOT_CROSS_QEMU})
# pkg-config describes the target's GMP, not the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${LEXSPOT_CROSS_MULTIARCH}/pkgconfig:/usr/share/pkgconfig")
# The host's GoogleTest is built for the host: build it from source instead.
set(LEXSPOT_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "")
