# Installation and the Debian package.
#
#   cmake --install build [--prefix /usr/local]   bin/bouncewarden (and bin/bouncewarden-milter),
#                                                 share/man/man1/bouncewarden.1,
#                                                 share/man/man8/bouncewarden-milter.8,
#                                                 share/doc/bouncewarden/ (README, examples, service)
#   cpack --config build/CPackConfig.cmake        bouncewarden_<version>_<arch>.deb, for /usr, which
#                                                 also carries the milter's systemd unit, its
#                                                 /etc/default file and the maintainer scripts
include(GNUInstallDirs)

install(TARGETS bouncewarden RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The milter is built where libmilter is found.
if(TARGET bouncewarden-milter)
  install(TARGETS bouncewarden-milter RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${PROJECT_SOURCE_DIR}/man/bouncewarden.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/man/bouncewarden-milter.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_SOURCE_DIR}/man/bouncewarden-ledger.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
# The service files belong at fixed places of the system (/lib/systemd/system,
# /etc/default), outside any prefix: only the package installs them there
# (the "system" component, left out of a plain "cmake --install"). A prefix
# installation gets them as documentation.
install(FILES ${PROJECT_SOURCE_DIR}/dist/bouncewarden-milter.service
        DESTINATION /lib/systemd/system COMPONENT system EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/dist/bouncewarden-milter.default
        DESTINATION /etc/default RENAME bouncewarden-milter COMPONENT system EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/dist/bouncewarden-milter.service ${PROJECT_SOURCE_DIR}/dist/bouncewarden-milter.default
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/service)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The recipes and their wrappers, with the wrappers' execute bits.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
        USE_SOURCE_PERMISSIONS)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME bouncewarden)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the bouncewarden developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "tells backscatter from genuine bounces")
set(CPACK_STRIP_FILES ON)

set(BW_PACKAGE_MAINTAINER "bouncewarden developers <bouncewarden@example.org>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${BW_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "A mail filter runs bouncewarden once per incoming bounce with the bounce's\n\
envelope sender and a regular expression for the Message-IDs of the site's\n\
own mail. It finds the message the bounce returns and answers with one line\n\
and an exit code: backscatter, or not. Recipes for procmail, Dovecot Sieve,\n\
Postfix and Exim are in /usr/share/doc/bouncewarden/examples.\n\
bouncewarden-milter makes the same check during SMTP, as a milter for\n\
Postfix; its systemd service is installed but not enabled.")

# The dependencies are the packages of the libraries the binary links,
# found by dpkg-shlibdeps (dpkg-dev) with versions; without it, the same
# packages of Debian 12 by name. postinst needs adduser.
find_program(BW_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(BW_FILE_COMMAND file)
if(BW_DPKG_SHLIBDEPS AND BW_FILE_COMMAND)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Merged with what dpkg-shlibdeps finds.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
else()
  message(STATUS "dpkg-shlibdeps or file not found: the package's dependencies are listed by name")
  if(BW_GMIME_LINKED_STATICALLY)
    # GMime and GLib are inside the binary; what they need that has no archive is not.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libpcre3, libgpgme11, libidn2-0, libmount1, adduser")
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libgmime-3.0-0, libpcre3, libglib2.0-0, adduser")
  endif()
  if(TARGET bouncewarden-milter)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libmilter1.0.1")
  endif()
endif()

# One package of every component, the system one included.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
get_cmake_property(BW_COMPONENTS COMPONENTS)
set(CPACK_COMPONENTS_ALL ${BW_COMPONENTS})

# postinst makes the system user the service runs as, postrm removes it on
# purge; neither enables nor starts the service. The /etc/default file is a
# conffile.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/dist/debian/postinst
    ${PROJECT_SOURCE_DIR}/dist/debian/prerm
    ${PROJECT_SOURCE_DIR}/dist/debian/postrm
    ${PROJECT_SOURCE_DIR}/dist/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
