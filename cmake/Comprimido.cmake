# What every Debian package of the source shares: manual pages and changelogs are
# compressed without a name or time stamp, so that two builds give the same bytes,
# and each package carries the one changelog. Included by Fechas.cmake and
# Distribucion.cmake.
include_guard(GLOBAL)

find_program(ACUSES_GZIP gzip REQUIRED)
set(ACUSES_DIST_DIR ${PROJECT_BINARY_DIR}/distribucion)

# `destino` is made from `fuente` when a target that depends on it is built.
function(acuses_gzip fuente destino)
  add_custom_command(OUTPUT ${destino}
    COMMAND sh -c "\"$0\" -9n -c \"$1\" >\"$2\"" ${ACUSES_GZIP} ${fuente} ${destino}
    DEPENDS ${fuente}
    VERBATIM)
endfunction()

configure_file(${PROJECT_SOURCE_DIR}/paquete/changelog.in ${ACUSES_DIST_DIR}/changelog @ONLY)
set(ACUSES_CHANGELOG_GZ ${ACUSES_DIST_DIR}/changelog.gz)
acuses_gzip(${ACUSES_DIST_DIR}/changelog ${ACUSES_CHANGELOG_GZ})
add_custom_target(changelog ALL DEPENDS ${ACUSES_CHANGELOG_GZ})
