# SPDX-License-Identifier: GPL-2.0-or-later
# 64-bit ARM Linux (arm64) with Debian's cross compiler.
# Test programs run under qemu-user against the arm64 sysroot.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(BEXO_TARGET_TRIPLET aarch64-linux-gnu)
set(BEXO_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-debian-cross.cmake)
