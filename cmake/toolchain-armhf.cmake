# SPDX-License-Identifier: GPL-2.0-or-later
# 32-bit Raspberry Pi OS (armhf) on every Pi it runs on, the Pi 1 and the
# first Zero (ARM1176, ARMv6 with VFPv2) included: ARMv6 code in ARM state
# with VFP instructions, linked statically.
#
# Debian's armhf libraries (start files, libgcc, libstdc++, libc) are ARMv7
# Thumb-2 code and stop a Pi 1 with SIGILL. Debian's armel libraries are
# ARMv5TE code in ARM state, which every Pi runs; they pass floating-point
# values in core registers, so the programs use the VFP instructions with
# that calling convention (-mfloat-abi=softfp; hard-float calls cannot be
# linked against them). Linked statically, the programs need nothing from
# the Pi's own C library. Test programs run under qemu-arm as an ARM1176.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(BEXO_TARGET_TRIPLET arm-linux-gnueabi)
set(BEXO_TARGET_FLAGS "-march=armv6 -marm -mfpu=vfp -mfloat-abi=softfp")
set(BEXO_TARGET_STATIC ON)
set(BEXO_QEMU qemu-arm -cpu arm1176)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-debian-cross.cmake)
