# The date family for other programs: libfechas.so.1 and libfechas.a, the header,
# fechas.pc, the CMake package (find_package(fechas) -> fechas::fechas), the
# manual pages fechas(3) and fechas(1) and the fechas command. Everything installed
# without a component of its own belongs to acuses (CMAKE_INSTALL_DEFAULT_COMPONENT_NAME,
# top CMakeLists).

include(CMakePackageConfigHelpers)
# The library's own version and soname version, from dates/CMakeLists.txt.
get_target_property(FECHAS_VERSION fechas_compartida VERSION)
get_target_property(FECHAS_SOVERSION fechas_compartida SOVERSION)
find_program(FECHAS_GZIP gzip REQUIRED)
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
# Compressed without a name or time stamp, as for acuses, so two builds give the same bytes.
function(fechas_gzip fuente destino)
  add_custom_command(OUTPUT ${destino}
    COMMAND sh -c "\"$0\" -9n -c \"$1\" >\"$2\"" ${FECHAS_GZIP} ${fuente} ${destino}
    DEPENDS ${fuente}
    VERBATIM)
endfunction()
configure_file(${PROJECT_SOURCE_DIR}/paquete/changelog.in ${FECHAS_DIST_DIR}/changelog @ONLY)
fechas_gzip(${FECHAS_DIST_DIR}/changelog ${FECHAS_DIST_DIR}/changelog.gz)
fechas_gzip(${PROJECT_SOURCE_DIR}/man/fechas.3 ${FECHAS_DIST_DIR}/fechas.3.gz)
fechas_gzip(${PROJECT_SOURCE_DIR}/man/fechas.1 ${FECHAS_DIST_DIR}/fechas.1.gz)
add_custom_target(distribucion_fechas ALL DEPENDS
  ${FECHAS_DIST_DIR}/changelog.gz ${FECHAS_DIST_DIR}/fechas.3.gz ${FECHAS_DIST_DIR}/fechas.1.gz)

install(FILES ${FECHAS_DIST_DIR}/fechas.3.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man3 COMPONENT libfechas_dev)
install(FILES ${FECHAS_DIST_DIR}/fechas.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT fechas)

# --- The installed family, as a site's programs use it ----------------------------------
# The programs built against it carry the build's sanitizers, as the library does.
set(FECHAS_BANDERAS_PRUEBA "")
if(ACUSES_SANITIZE)
  set(FECHAS_BANDERAS_PRUEBA "-fsanitize=address,undefined")
endif()
add_test(NAME fechas.instalacion
  COMMAND ${PROJECT_SOURCE_DIR}/dates/instalacion_test.sh ${PROJECT_BINARY_DIR}
          ${CMAKE_C_COMPILER} ${CMAKE_CXX_COMPILER} "${FECHAS_BANDERAS_PRUEBA}")
