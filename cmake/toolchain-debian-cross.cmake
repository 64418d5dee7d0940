# SPDX-License-Identifier: GPL-2.0-or-later
# Shared by the per-architecture toolchain files, which set
# CMAKE_SYSTEM_PROCESSOR, BEXO_TARGET_TRIPLET and BEXO_QEMU, and
# may set BEXO_TARGET_FLAGS (code generation) and
# BEXO_TARGET_STATIC (static programs), before including it: Debian's cross
# compiler for the triplet, its sysroot, and qemu-user to run test programs
# against it.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${BEXO_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${BEXO_TARGET_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${BEXO_TARGET_TRIPLET})
# After a packager's CFLAGS and CXXFLAGS: the target's code generation is
# not theirs to change.
set(CMAKE_C_FLAGS_INIT "${BEXO_TARGET_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${BEXO_TARGET_FLAGS}")

set(CMAKE_FIND_ROOT_PATH /usr/${BEXO_TARGET_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${BEXO_QEMU} -L /usr/${BEXO_TARGET_TRIPLET})
if(BEXO_TARGET_STATIC)
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,-z,relro,-z,now")
else()
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-z,relro,-z,now")
endif()
