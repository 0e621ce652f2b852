# SPDX-License-Identifier: MIT

# Cross build for armhf (32-bit ARM, hard float, unsigned char), run under qemu-arm.
set(LEXSPOT_CROSS_PROCESSOR arm)
set(LEXSPOT_CROSS_TRIPLET arm-linux-gnueabihf)
set(LEXSPOT_CROSS_MULTIARCH arm-linux-gnueabihf)
set(LEXSPOT_CROSS_QEMU arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
