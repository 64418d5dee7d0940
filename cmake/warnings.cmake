# SPDX-License-Identifier: GPL-2.0-or-later
# Warnings for the targets defined in this source tree only: third-party
# code built with the project (GoogleTest's sources in a cross build) keeps
# its own flags. With BEXO_WERROR they are errors; that stays off by default
# so that a packager's compiler cannot fail the build on a new warning.
set(BEXO_WARNING_FLAGS -Wall -Wextra)
if(BEXO_WERROR)
  list(APPEND BEXO_WARNING_FLAGS -Werror)
endif()

# bexo_add_warnings(DIR): every compiled target of DIR and of its
# subdirectories inside the source tree.
function(bexo_add_warnings dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
      target_compile_options(${target} PRIVATE ${BEXO_WARNING_FLAGS})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    cmake_path(IS_PREFIX CMAKE_SOURCE_DIR "${subdir}" NORMALIZE inside)
    if(inside)
      bexo_add_warnings(${subdir})
    endif()
  endforeach()
endfunction()
