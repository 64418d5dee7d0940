# SPDX-License-Identifier: GPL-2.0-or-later
# Installed layout on the Pi, and the Debian package made from it.
#   /usr/sbin/bexod, /usr/bin/bexo         (install rules of daemon/ and tool/)
#                                            with the default prefix /usr
#   /opt/bexod/bexo.cfg                      configuration, a conffile
#   /opt/bexod/start/bexod.service           unit that bexod installs itself
#   /lib/systemd/system/bexod.service        the same unit for "systemctl enable bexod"
#   /opt/bexod/scripts/mail.py               supply-loss mail notice
#   /opt/bexod/tools/                        place for the flashing tool twiboot
#   /usr/share/man/man8/bexo.8.gz, bexod.8.gz
#   /usr/share/doc/bexo/README.md.gz, examples/ups.conf   README, NUT's ups.conf section
#   /usr/share/bash-completion/completions/bexo, bexod   bash completion
# The programs use these paths as they are, so /opt/bexod is absolute; the
# prefix defaults to /usr (CMakeLists.txt, before the programs' rules).

set(BEXO_OPT_DIR /opt/bexod)
set(BEXO_DIST_DIR ${CMAKE_CURRENT_LIST_DIR}/../dist)
set(BEXO_DEB_MAINTAINER "B.EXO UPS host software <bexo@example.org>"
  CACHE STRING "Maintainer field of the Debian package")

# An installation over a running system keeps the configuration it has.
install(CODE "
  if(EXISTS \"\$ENV{DESTDIR}${BEXO_OPT_DIR}/bexo.cfg\")
    message(STATUS \"Keeping: \$ENV{DESTDIR}${BEXO_OPT_DIR}/bexo.cfg\")
  else()
    file(INSTALL DESTINATION \"${BEXO_OPT_DIR}\" TYPE FILE FILES \"${BEXO_DIST_DIR}/bexo.cfg\"
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()")
# The unit names the installed bexod. It is written at install time, so that
# a prefix given only to "cmake --install --prefix" is the one it names. The
# same file goes to systemd's folder for packages, where "systemctl enable
# bexod" finds it; the copy in /etc/systemd/system that bexod makes from
# /opt/bexod/start takes precedence.
install(CODE "
  set(BEXOD_PROGRAM \"${CMAKE_INSTALL_SBINDIR}/bexod\")
  if(NOT IS_ABSOLUTE \"\${BEXOD_PROGRAM}\")
    set(BEXOD_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/\${BEXOD_PROGRAM}\")
  endif()
  configure_file(\"${BEXO_DIST_DIR}/bexod.service.in\" \"${CMAKE_BINARY_DIR}/dist/bexod.service\" @ONLY)
  file(INSTALL DESTINATION \"${BEXO_OPT_DIR}/start\" TYPE FILE
       FILES \"${CMAKE_BINARY_DIR}/dist/bexod.service\")
  file(INSTALL DESTINATION \"/lib/systemd/system\" TYPE FILE
       FILES \"${CMAKE_BINARY_DIR}/dist/bexod.service\")")
install(PROGRAMS ${BEXO_DIST_DIR}/mail.py DESTINATION ${BEXO_OPT_DIR}/scripts)
install(DIRECTORY DESTINATION ${BEXO_OPT_DIR}/tools)
install(FILES ${BEXO_DIST_DIR}/deb/logrotate DESTINATION /etc/logrotate.d RENAME bexo)

# Manual pages, the changelog and the README go out compressed, as Debian expects.
set(BEXO_GZ_DIR ${CMAKE_BINARY_DIR}/dist-gz)
configure_file(${BEXO_DIST_DIR}/deb/changelog.in ${BEXO_GZ_DIR}/changelog @ONLY)
set(BEXO_GZ_FILES)
foreach(src ${CMAKE_CURRENT_LIST_DIR}/../man/bexo.8 ${CMAKE_CURRENT_LIST_DIR}/../man/bexod.8
            ${BEXO_GZ_DIR}/changelog ${CMAKE_CURRENT_LIST_DIR}/../README.md)
  get_filename_component(name ${src} NAME)
  add_custom_command(OUTPUT ${BEXO_GZ_DIR}/${name}.gz
    COMMAND gzip -9n -c ${src} > ${BEXO_GZ_DIR}/${name}.gz
    DEPENDS ${src} VERBATIM)
  list(APPEND BEXO_GZ_FILES ${BEXO_GZ_DIR}/${name}.gz)
endforeach()
add_custom_target(bexo_dist_files ALL DEPENDS ${BEXO_GZ_FILES})
install(FILES ${BEXO_GZ_DIR}/bexo.8.gz ${BEXO_GZ_DIR}/bexod.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

set(BEXO_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/bexo)
install(FILES ${BEXO_GZ_DIR}/changelog.gz ${BEXO_GZ_DIR}/README.md.gz ${BEXO_DIST_DIR}/deb/copyright
  DESTINATION ${BEXO_DOC_DIR})
install(FILES ${BEXO_DIST_DIR}/nut/ups.conf DESTINATION ${BEXO_DOC_DIR}/examples)
install(FILES ${BEXO_DIST_DIR}/completion/bexo ${BEXO_DIST_DIR}/completion/bexod
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)
install(FILES ${BEXO_DIST_DIR}/examples/notify.sh DESTINATION ${BEXO_DOC_DIR}/examples)
install(FILES ${BEXO_DIST_DIR}/deb/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
  RENAME bexo)

# Debian package: cpack -G DEB in a cross build directory.
if(NOT BEXO_DEB_ARCHITECTURE)
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(BEXO_DEB_ARCHITECTURE arm64)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
    set(BEXO_DEB_ARCHITECTURE armhf)
  elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64)$")
    set(BEXO_DEB_ARCHITECTURE amd64)
  endif()
endif()

# The Pis a package runs on, for its description.
set(BEXO_DEB_MODELS)
if(BEXO_DEB_ARCHITECTURE STREQUAL "armhf")
  set(BEXO_DEB_MODELS "
This package is for 32-bit Raspberry Pi OS and runs on every Raspberry Pi
that it supports, the Pi 1, Zero and Zero W (ARMv6) included: the programs
are ARMv6 code, linked statically.")
elseif(BEXO_DEB_ARCHITECTURE STREQUAL "arm64")
  set(BEXO_DEB_MODELS "
This package is for 64-bit Raspberry Pi OS, which runs on the Raspberry
Pi 3, 4, 400, 5 and Zero 2 W.")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME bexo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "B.EXO UPS daemon and control tool for the Raspberry Pi")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "The B.EXO UPS is a battery board on the GPIO header of a Raspberry Pi.
bexod watches the board's event line and powers the system off cleanly
when the board's shutdown button is pressed, when the battery runs low or
when a configured time on battery has passed; it reboots for the reboot
button, can mail a notice on supply loss, and programs the board's timed
boot. bexo shows the board's state and changes its settings.
${BEXO_DEB_MODELS}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${BEXO_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${BEXO_DEB_ARCHITECTURE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# bexod powers off, reboots and manages its unit through "sudo systemctl";
# it starts the mail script with "python". The libraries are added to
# Depends by cpack-project.cmake.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "sudo")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "systemd, python3, python-is-python3")
# The postinst carries the sums of the units earlier versions shipped.
file(STRINGS ${BEXO_DIST_DIR}/deb/shipped-units BEXO_EARLIER_UNITS REGEX "^[0-9a-f]+$")
list(JOIN BEXO_EARLIER_UNITS "\n" BEXO_EARLIER_UNITS)
configure_file(${BEXO_DIST_DIR}/deb/postinst.in ${CMAKE_BINARY_DIR}/deb/postinst @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
  WORLD_EXECUTE)
# NUT serves the board's state that bexod exports ([NUT] export=1); the
# user's choice, not a dependency.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "nut-server")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${BEXO_DIST_DIR}/deb/conffiles ${CMAKE_BINARY_DIR}/deb/postinst
  ${BEXO_DIST_DIR}/deb/prerm ${BEXO_DIST_DIR}/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(BEXO_PROGRAM_LIST ${CMAKE_BINARY_DIR}/bexo-programs.txt)
file(GENERATE OUTPUT ${BEXO_PROGRAM_LIST} CONTENT "$<TARGET_FILE:bexod>\n$<TARGET_FILE:bexo>\n")
configure_file(${CMAKE_CURRENT_LIST_DIR}/cpack-project.cmake.in ${CMAKE_BINARY_DIR}/cpack-project.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/cpack-project.cmake)
configure_file(${CMAKE_CURRENT_LIST_DIR}/cpack-strip.cmake.in ${CMAKE_BINARY_DIR}/cpack-strip.cmake @ONLY)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_BINARY_DIR}/cpack-strip.cmake)
include(CPack)
