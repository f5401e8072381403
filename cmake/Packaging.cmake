# Installation.
#
#   cmake --install build [--prefix /usr/local]   bin/bouncewarden, bin/bouncewarden-ledger (and
#                                                 bin/bouncewarden-milter),
#                                                 share/man/man1/bouncewarden.1,
#                                                 share/man/man8/bouncewarden-milter.8 and -ledger.8,
#                                                 share/doc/bouncewarden/ (README, examples, service)
#
# The Debian package (debian/) is built from these rules with
# BW_INSTALL_SYSTEM_FILES on.
include(GNUInstallDirs)

# The service files belong at fixed places of the system, outside any prefix:
# only a package puts them there. A prefix installation gets them as
# documentation, for the administrator to copy.
option(BW_INSTALL_SYSTEM_FILES
       "Install the milter's unit in /lib/systemd/system and its settings in /etc/bouncewarden (for a package)" OFF)

install(TARGETS bouncewarden bouncewarden-ledger RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The milter is built where libmilter is found.
if(TARGET bouncewarden-milter)
  install(TARGETS bouncewarden-milter RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/man/bouncewarden.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/man/bouncewarden-milter.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_SOURCE_DIR}/man/bouncewarden-ledger.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
if(BW_INSTALL_SYSTEM_FILES)
  install(FILES ${PROJECT_SOURCE_DIR}/dist/bouncewarden-milter.service DESTINATION /lib/systemd/system)
  install(FILES ${PROJECT_SOURCE_DIR}/dist/bouncewarden-milter.conf
          DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/bouncewarden)
else()
  install(FILES ${PROJECT_SOURCE_DIR}/dist/bouncewarden-milter.service ${PROJECT_SOURCE_DIR}/dist/bouncewarden-milter.conf
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/service)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The recipes and their wrappers, with the wrappers' execute bits.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
        USE_SOURCE_PERMISSIONS)
