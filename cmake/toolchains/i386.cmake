# SPDX-License-Identifier: MIT

# Cross build for i386 (32-bit x86), run under qemu-i386.
set(LEXSPOT_CROSS_PROCESSOR i686)
set(LEXSPOT_CROSS_TRIPLET i686-linux-gnu)
set(LEXSPOT_CROSS_MULTIARCH i386-linux-gnu)
set(LEXSPOT_CROSS_QEMU i386)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
