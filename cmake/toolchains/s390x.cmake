# SPDX-License-Identifier: MIT

# Cross build for s390x (64-bit big-endian), run under qemu-s390x.
set(LEXSPOT_CROSS_PROCESSOR s390x)
set(LEXSPOT_CROSS_TRIPLET s390x-linux-gnu)
set(LEXSPOT_CROSS_MULTIARCH s390x-linux-gnu)
set(LEXSPOT_CROSS_QEMU s390x)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
