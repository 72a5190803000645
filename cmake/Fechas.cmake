# The date family for other programs: libfechas.so.1 and libfechas.a, the header,
# fechas.pc, the CMake package (find_package(fechas) -> fechas::fechas), the
# manual pages fechas(3) and fechas(1), the fechas command, and their Debian
# packages, made by the same `cpack -G DEB` that makes the acuses package:
#
#   libfechas1     the shared library (Section libs)
#   libfechas-dev  header, libfechas.so link, archive, .pc, CMake files, fechas(3)
#   fechas         the command and fechas(1)
#
# The command has a package of its own, as Debian does with a library's tools: the
# runtime package holds the library alone, so that libfechas1 and a later
# libfechas2 can be installed side by side, and acuses neither uses nor ships it.
#
# Included before Distribucion.cmake, whose include(CPack) writes out the CPACK_*
# variables set here. Everything installed without a component of its own belongs
# to the acuses package (CMAKE_INSTALL_DEFAULT_COMPONENT_NAME, top CMakeLists).

include(CMakePackageConfigHelpers)
# The library's own version and soname version, from dates/CMakeLists.txt.
get_target_property(FECHAS_VERSION fechas_compartida VERSION)
get_target_property(FECHAS_SOVERSION fechas_compartida SOVERSION)
# The runtime package is named for the soname, as Debian names library packages.
set(FECHAS_PAQUETE libfechas${FECHAS_SOVERSION})
include(${CMAKE_CURRENT_LIST_DIR}/Comprimido.cmake)
set(FECHAS_DIST_DIR ${PROJECT_BINARY_DIR}/distribucion-fechas)

# --- Library, header, pkg-config and CMake package -----------------------------------
install(TARGETS fechas_compartida EXPORT fechas
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libfechas NAMELINK_COMPONENT libfechas_dev)
install(TARGETS fechas EXPORT fechas
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libfechas_dev)
install(FILES ${PROJECT_SOURCE_DIR}/dates/fechas.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT libfechas_dev)

# The .pc file finds its prefix from where it lies, so the tree it describes may
# be installed under any prefix and moved.
file(RELATIVE_PATH FECHAS_PC_PREFIJO /prefijo/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefijo)
string(REGEX REPLACE "/$" "" FECHAS_PC_PREFIJO ${FECHAS_PC_PREFIJO})
configure_file(${PROJECT_SOURCE_DIR}/dates/fechas.pc.in ${FECHAS_DIST_DIR}/fechas.pc @ONLY)
install(FILES ${FECHAS_DIST_DIR}/fechas.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT libfechas_dev)

set(FECHAS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/fechas)
install(EXPORT fechas NAMESPACE fechas:: FILE fechasTargets.cmake
  DESTINATION ${FECHAS_CMAKE_DIR} COMPONENT libfechas_dev)
write_basic_package_version_file(${FECHAS_DIST_DIR}/fechasConfigVersion.cmake
  VERSION ${FECHAS_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/fechasConfig.cmake
              ${FECHAS_DIST_DIR}/fechasConfigVersion.cmake
  DESTINATION ${FECHAS_CMAKE_DIR} COMPONENT libfechas_dev)

# --- The command ------------------------------------------------------------------------
# Outside the system's library folders it finds libfechas.so.1 through RUNPATH;
# inside them (the Debian package) it needs none, and must have none.
list(FIND CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES ${CMAKE_INSTALL_FULL_LIBDIR} FECHAS_LIB_SISTEMA)
if(FECHAS_LIB_SISTEMA EQUAL -1)
  set_target_properties(fechas_comando PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
else()
  set_target_properties(fechas_comando PROPERTIES INSTALL_RPATH "")
endif()
install(TARGETS fechas_comando RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT fechas)

# A packaging install (cpack strips) strips as dh_strip does: the archive loses its
# debugging sections, and no file keeps the compiler's .comment.
function(fechas_strip ruta componente)
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
  execute_process(COMMAND \"${CMAKE_STRIP}\" ${ARGN} --remove-section=.comment --remove-section=.note
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${ruta}\" COMMAND_ERROR_IS_FATAL ANY)
endif()" COMPONENT ${componente})
endfunction()
fechas_strip(${CMAKE_INSTALL_LIBDIR}/libfechas.a libfechas_dev
  --strip-debug --enable-deterministic-archives)
fechas_strip(${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:fechas_compartida> libfechas)
fechas_strip(${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:fechas_comando> fechas)

# --- Manual pages, copyright and changelog ----------------------------------------------
acuses_gzip(${PROJECT_SOURCE_DIR}/man/fechas.3 ${FECHAS_DIST_DIR}/fechas.3.gz)
acuses_gzip(${PROJECT_SOURCE_DIR}/man/fechas.1 ${FECHAS_DIST_DIR}/fechas.1.gz)
add_custom_target(distribucion_fechas ALL DEPENDS
  ${FECHAS_DIST_DIR}/fechas.3.gz ${FECHAS_DIST_DIR}/fechas.1.gz)

install(FILES ${FECHAS_DIST_DIR}/fechas.3.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT libfechas_dev)
install(FILES ${FECHAS_DIST_DIR}/fechas.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT fechas)

# Each Debian package carries the copyright and the changelog in its own folder,
# and the library's, where the marker's Spanish "funcion" would read as a
# misspelling, says so.
foreach(paquete ${FECHAS_PAQUETE}:libfechas libfechas-dev:libfechas_dev fechas:fechas)
  string(REPLACE ":" ";" paquete ${paquete})
  list(GET paquete 0 nombre)
  list(GET paquete 1 componente)
  install(FILES ${PROJECT_SOURCE_DIR}/paquete/copyright ${ACUSES_CHANGELOG_GZ}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${nombre} COMPONENT ${componente})
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/paquete/libfechas1.lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME ${FECHAS_PAQUETE}
  COMPONENT libfechas)

# --- Debian packages ------------------------------------------------------------------
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL acuses libfechas libfechas_dev fechas)
set(CPACK_DEBIAN_ACUSES_PACKAGE_NAME acuses)
# The acuses package's control file is written from Distribucion.cmake's settings,
# as before; this cpack-time file moves them where component packaging reads them.
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/FechasCPack.cmake)

set(CPACK_DEBIAN_LIBFECHAS_PACKAGE_NAME ${FECHAS_PAQUETE})
set(CPACK_DEBIAN_LIBFECHAS_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBFECHAS_DESCRIPTION "date routines between arrays, texts and day numbers
The fechas library moves a calendar date between three forms: an array of day,
month and year; an eight-character text (05032014); and a day number counted
from 1 January 1900. It validates dates, normalises two-digit years, tells leap
years and weekdays, measures and shifts by days, and reads today's date.
.
This package holds the shared library.")
# shlibs and symbols files as Debian's library packages have them; the symbols are
# those of the version script.
file(WRITE ${FECHAS_DIST_DIR}/control/shlibs
  "libfechas ${FECHAS_SOVERSION} ${FECHAS_PAQUETE} (>= ${PROJECT_VERSION})\n")
file(STRINGS ${PROJECT_SOURCE_DIR}/dates/fechas.map FECHAS_SIMBOLOS REGEX "^    [a-z_]+;$")
set(FECHAS_SYMBOLS "libfechas.so.${FECHAS_SOVERSION} ${FECHAS_PAQUETE} #MINVER#\n")
string(APPEND FECHAS_SYMBOLS "* Build-Depends-Package: libfechas-dev\n")
string(APPEND FECHAS_SYMBOLS " FECHAS_${FECHAS_SOVERSION}@FECHAS_${FECHAS_SOVERSION} ${PROJECT_VERSION}\n")
foreach(simbolo IN LISTS FECHAS_SIMBOLOS)
  string(REGEX REPLACE "^ +([a-z_]+);$" "\\1" simbolo "${simbolo}")
  string(APPEND FECHAS_SYMBOLS " ${simbolo}@FECHAS_${FECHAS_SOVERSION} ${PROJECT_VERSION}\n")
endforeach()
file(WRITE ${FECHAS_DIST_DIR}/control/symbols "${FECHAS_SYMBOLS}")
# ldconfig runs through dpkg's trigger, as debhelper arranges it. cpack would add
# postinst and postrm scripts that call ldconfig themselves (which lintian
# rejects) unless the control files name a postinst and a postrm; the two named
# here do not exist, and cpack, with a warning, leaves them out.
file(WRITE ${FECHAS_DIST_DIR}/control/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_LIBFECHAS_PACKAGE_CONTROL_EXTRA
  ${FECHAS_DIST_DIR}/control/shlibs ${FECHAS_DIST_DIR}/control/symbols
  ${FECHAS_DIST_DIR}/control/triggers
  ${FECHAS_DIST_DIR}/sin-guion/postinst ${FECHAS_DIST_DIR}/sin-guion/postrm)
set(CPACK_DEBIAN_LIBFECHAS_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_LIBFECHAS_DEV_PACKAGE_NAME libfechas-dev)
set(CPACK_DEBIAN_LIBFECHAS_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBFECHAS_DEV_PACKAGE_DEPENDS "${FECHAS_PAQUETE} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_LIBFECHAS_DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_LIBFECHAS_DEV_DESCRIPTION "date routines between arrays, texts and day numbers (development)
The fechas library moves a calendar date between three forms: an array of day,
month and year; an eight-character text (05032014); and a day number counted
from 1 January 1900.
.
This package holds the header fechas.h, the static archive, the pkg-config
file, the CMake package (find_package(fechas) gives fechas::fechas) and the
manual page fechas(3).")

set(CPACK_DEBIAN_FECHAS_PACKAGE_NAME fechas)
set(CPACK_DEBIAN_FECHAS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FECHAS_PACKAGE_DEPENDS "${FECHAS_PAQUETE} (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_FECHAS_DESCRIPTION "date conversions for shell scripts
The fechas command answers one date question a run: the day number of a
date text, the date text of a day number, the weekday of a date, the days
between two dates, or today's date. It uses the fechas library, so its
answers are those of every program built on it.")
# dpkg-shlibdeps must find libfechas.so.1, which no installed package provides yet;
# the dependency on libfechas1 is the one stated above.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/dates)

foreach(componente LIBFECHAS LIBFECHAS_DEV FECHAS)
  set(CPACK_DEBIAN_${componente}_PACKAGE_SOURCE acuses)
endforeach()

# --- The installed family, as a site's programs use it ----------------------------------
# The programs built against it carry the build's sanitizers, as the library does.
set(FECHAS_BANDERAS_PRUEBA "")
if(ACUSES_SANITIZE)
  set(FECHAS_BANDERAS_PRUEBA "-fsanitize=address,undefined")
endif()
add_test(NAME fechas.instalacion
  COMMAND ${PROJECT_SOURCE_DIR}/dates/instalacion_test.sh ${PROJECT_BINARY_DIR}
          ${CMAKE_C_COMPILER} ${CMAKE_CXX_COMPILER} "${FECHAS_BANDERAS_PRUEBA}")

# The packages, made by the acuses package's test (Distribucion.cmake) or by
# scripts/paquete before it.
if(ACUSES_PAQUETE_TEST)
  add_test(NAME paquete_fechas
    COMMAND ${PROJECT_SOURCE_DIR}/tests/paquete_fechas.sh ${PROJECT_BINARY_DIR} ${PROJECT_VERSION})
  set_tests_properties(paquete_fechas PROPERTIES DEPENDS paquete)
endif()
