# SPDX-License-Identifier: GPL-2.0-or-later
# GoogleTest for a cross build: Debian ships only host libraries, so the
# sources in /usr/src/googletest are built for the target here. The targets
# get the names that find_package(GTest) gives on a native build.

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
# SYSTEM: warnings in its headers are not ours to fix.
add_subdirectory(${BEXO_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

foreach(lib gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${lib})
    add_library(GTest::${lib} ALIAS ${lib})
  endif()
endforeach()
