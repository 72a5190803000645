# What ships beside the program: the manual page, the systemd units and the systemd and
# cron examples, the copyright and changelog, and the Debian package made by `cpack -G DEB`.
#
# scripts/paquete builds the package: prefix /usr, and ACUSES_LIBDIR set to
# lib/<multiarch>/acuses so that our libSockVor.so, private to the program, stays
# out of the system's shared library folders (no soname, no shlibs, no ldconfig).

# The gzip recipe, ACUSES_DIST_DIR and the compressed changelog.
include(${CMAKE_CURRENT_LIST_DIR}/Comprimido.cmake)

set(ACUSES_MAN_GZ ${ACUSES_DIST_DIR}/acuses.1.gz)
acuses_gzip(${PROJECT_SOURCE_DIR}/man/acuses.1 ${ACUSES_MAN_GZ})
add_custom_target(distribucion ALL DEPENDS ${ACUSES_MAN_GZ})

install(FILES ${ACUSES_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/paquete/copyright ${ACUSES_CHANGELOG_GZ}
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The routine marker's text "funcion: " is what it is meant to be.
install(FILES ${PROJECT_SOURCE_DIR}/paquete/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME acuses)
install(FILES
  ${PROJECT_SOURCE_DIR}/contrib/acuses.service
  ${PROJECT_SOURCE_DIR}/contrib/acuses.timer
  ${PROJECT_SOURCE_DIR}/contrib/acuses.default
  ${PROJECT_SOURCE_DIR}/contrib/acuses.cron
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
# The template units, one instance per host, are units of the package rather than
# examples: nothing runs until an operator enables an instance's timer, and an upgrade
# keeps the installed units current. Under the prefix, so /usr/lib/systemd/system in the
# package (/lib is /usr/lib on Debian 12).
set(ACUSES_PROGRAMA ${CMAKE_INSTALL_FULL_BINDIR}/acuses)
configure_file(${PROJECT_SOURCE_DIR}/contrib/acuses@.service.in ${ACUSES_DIST_DIR}/acuses@.service
  @ONLY)
install(FILES ${ACUSES_DIST_DIR}/acuses@.service ${PROJECT_SOURCE_DIR}/contrib/acuses@.timer
  DESTINATION lib/systemd/system)

# What the install rules take, without the tests and benchmarks: the package and the
# demo build this alone.
add_custom_target(instalables DEPENDS acuses SockVor fechas fechas_compartida fechas_comando
  distribucion distribucion_fechas changelog)

# --- Debian package ---------------------------------------------------------------
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" AND ACUSES_LIBDIR STREQUAL "lib")
  message(WARNING "libSockVor.so would go to /usr/lib, among the system's libraries; "
                  "build the package with scripts/paquete (ACUSES_LIBDIR=lib/<multiarch>/acuses)")
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME acuses)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The acuses developers")
set(CPACK_PACKAGE_CONTACT "The acuses developers <acuses@example.org>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The acuses developers <acuses@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "fetch acknowledgment files from a Windows host over SFTP")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "The acuses command collects, from a Windows host running an SFTP server, the
XML acknowledgment files (Acuses) of the current month and of the month before
kept in one login's folder, and deposits them in a local folder. Each file is
written atomically and durably. It is meant to run unattended once a day:
the systemd units acuses@.service and acuses@.timer fetch from one host per
instance, configured in /etc/acuses/<instance>.conf; a single-host service
and timer and a cron line come as examples.
.
Authentication is by public key only, and the host key is checked strictly
against known_hosts.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
find_program(ACUSES_DPKG dpkg)
if(ACUSES_DPKG)
  execute_process(COMMAND ${ACUSES_DPKG} --print-architecture
    OUTPUT_VARIABLE ACUSES_ARQUITECTURA OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${ACUSES_ARQUITECTURA})
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# Runtime dependencies (libssh, the C++ runtime, ...) from dpkg-shlibdeps, which
# finds our own library through the program's RUNPATH inside the package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)

# Installs the package into a throwaway root and runs the program from there
# against the test SFTP host; scripts/paquete turns it on.
option(ACUSES_PAQUETE_TEST "Test the Debian package (runs cpack)" OFF)
if(ACUSES_PAQUETE_TEST)
  add_test(NAME paquete
    COMMAND sh -c "\"$0\" -G DEB >/dev/null && \"$1\" \"$2\""
            ${CMAKE_CPACK_COMMAND} ${PROJECT_SOURCE_DIR}/tests/paquete.sh
            ${PROJECT_BINARY_DIR}/${CPACK_PACKAGE_NAME}_${PROJECT_VERSION}_${ACUSES_ARQUITECTURA}.deb
    WORKING_DIRECTORY ${PROJECT_BINARY_DIR})
  set_tests_properties(paquete PROPERTIES SKIP_RETURN_CODE 77)
endif()
