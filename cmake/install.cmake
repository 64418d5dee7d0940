# SPDX-License-Identifier: GPL-2.0-or-later
# Installed layout on the Pi, and the Debian package made from it.
#   /usr/sbin/bexod, /usr/bin/bexo         (install rules of daemon/ and tool/)
#                                            with the default prefix /usr
#   /opt/bexod/bexo.cfg                      configuration, made when there is none
#   /usr/share/bexo/bexo.cfg                 its default, for the package's postinst
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

# The shipped default. The Debian package makes /opt/bexod/bexo.cfg from it
# in its postinst, since bexo edits that file and it is no conffile.
install(FILES ${BEXO_DIST_DIR}/bexo.cfg DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bexo)
option(BEXO_INSTALL_CONFIG "Install /opt/bexod/bexo.cfg when there is none (the package's postinst does it)" ON)
# An installation over a running system keeps the configuration it has.
if(BEXO_INSTALL_CONFIG)
install(CODE "
  if(EXISTS \"\$ENV{DESTDIR}${BEXO_OPT_DIR}/bexo.cfg\")
    message(STATUS \"Keeping: \$ENV{DESTDIR}${BEXO_OPT_DIR}/bexo.cfg\")
  else()
    file(INSTALL DESTINATION \"${BEXO_OPT_DIR}\" TYPE FILE FILES \"${BEXO_DIST_DIR}/bexo.cfg\"
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()")
endif()
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
install(FILES ${BEXO_DIST_DIR}/logrotate DESTINATION /etc/logrotate.d RENAME bexo)

# Manual pages and the README go out compressed, as Debian expects. The
# package's copyright, changelog and lintian overrides come from debian/.
set(BEXO_GZ_DIR ${CMAKE_BINARY_DIR}/dist-gz)
file(MAKE_DIRECTORY ${BEXO_GZ_DIR})
set(BEXO_GZ_FILES)
foreach(src ${CMAKE_CURRENT_LIST_DIR}/../man/bexo.8 ${CMAKE_CURRENT_LIST_DIR}/../man/bexod.8
            ${CMAKE_CURRENT_LIST_DIR}/../README.md)
  get_filename_component(name ${src} NAME)
  add_custom_command(OUTPUT ${BEXO_GZ_DIR}/${name}.gz
    COMMAND gzip -9n -c ${src} > ${BEXO_GZ_DIR}/${name}.gz
    DEPENDS ${src} VERBATIM)
  list(APPEND BEXO_GZ_FILES ${BEXO_GZ_DIR}/${name}.gz)
endforeach()
add_custom_target(bexo_dist_files ALL DEPENDS ${BEXO_GZ_FILES})
install(FILES ${BEXO_GZ_DIR}/bexo.8.gz ${BEXO_GZ_DIR}/bexod.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

set(BEXO_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/bexo)
install(FILES ${BEXO_GZ_DIR}/README.md.gz DESTINATION ${BEXO_DOC_DIR})
install(FILES ${BEXO_DIST_DIR}/nut/ups.conf DESTINATION ${BEXO_DOC_DIR}/examples)
install(FILES ${BEXO_DIST_DIR}/completion/bexo ${BEXO_DIST_DIR}/completion/bexod
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)
install(FILES ${BEXO_DIST_DIR}/examples/notify.sh DESTINATION ${BEXO_DOC_DIR}/examples)
