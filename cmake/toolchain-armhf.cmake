# 32-bit ARM Linux (armhf, ARMv7 with hard float) with Debian's cross compiler.
# Test programs run under qemu-user against the armhf sysroot.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(BEXO_TARGET_TRIPLET arm-linux-gnueabihf)
set(BEXO_QEMU qemu-arm)
set(BEXO_DEB_ARCHITECTURE armhf)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-debian-cross.cmake)
